// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/folder_list.h"

#include "acquisition/core/answer_in_time.h"

#include <QDir>
#include <QFileInfo>
#include <QKeyEvent>
#include <QRegularExpression>
#include <QStyle>
#include <QStyledItemDelegate>

namespace {

constexpr int kPathRole = Qt::UserRole;
constexpr int kDepthRole = Qt::UserRole + 1;
constexpr int kIndentPx = 8;
constexpr QLatin1StringView kNotAnswering("(not answering)");

// Shifts each entry right by its depth, so the path reads as a staircase from the root.
class IndentDelegate final : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        QStyleOptionViewItem shifted(option);
        shifted.rect.setLeft(option.rect.left() + indentOf(index));
        QStyledItemDelegate::paint(painter, shifted, index);
    }
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        return QStyledItemDelegate::sizeHint(option, index) + QSize(indentOf(index), 0);
    }

private:
    static int indentOf(const QModelIndex& index) {
        return index.data(kDepthRole).toInt() * kIndentPx;
    }
};

// The root a path hangs from: "/" on Linux; on Windows its drive ("C:/") or its share
// ("//server/share/"), the root of the program's own drive for a path without either.
QString rootOf(const QString& path) {
#ifdef Q_OS_WIN
    static const QRegularExpression drive(QStringLiteral("^[A-Za-z]:(?=/|$)"));
    static const QRegularExpression share(QStringLiteral("^//[^/]+/[^/]+(?=/|$)"));
    const QString spelled = QDir::fromNativeSeparators(path);
    if (const auto m = drive.match(spelled); m.hasMatch())
        return m.captured().toUpper() + u'/';
    if (const auto m = share.match(spelled); m.hasMatch())
        return m.captured() + u'/';
#else
    Q_UNUSED(path);
#endif
    return QDir::rootPath();
}

// The folders' names from the root down. A relative path is taken from the root, never from
// the process's current folder, which may be gone; ".." goes no higher than the root.
QStringList namesFromRoot(const QString& root, const QString& path) {
    QString below = QDir::fromNativeSeparators(path);
    if (below.startsWith(root.chopped(1), Qt::CaseInsensitive))
        below.remove(0, root.size() - 1);
    QStringList names;
    for (const QString& name : below.split(u'/', Qt::SkipEmptyParts)) {
        if (name == u"..") {
            if (!names.isEmpty())
                names.removeLast();
        } else if (name != u".") {
            names << name;
        }
    }
    return names;
}

QString joinedFromRoot(const QString& root, const QStringList& names) {
    return root + names.join(u'/');
}

// Each step drops one name, so the walk ends at the root at the latest.
QStringList nearestExistingFolder(const QString& root, QStringList names) {
    while (!names.isEmpty() && !QFileInfo(joinedFromRoot(root, names)).isDir())
        names.removeLast();
    return names;
}

// "/a/b/c" -> "/", "/a", "/a/b", "/a/b/c".
QStringList pathFromRoot(const QString& root, const QStringList& names) {
    QStringList chain{root};
    for (qsizetype i = 1; i <= names.size(); ++i)
        chain << joinedFromRoot(root, names.first(i));
    return chain;
}

} // namespace

FolderList::FolderList(QWidget* parent) : QListWidget(parent) {
    setItemDelegate(new IndentDelegate(this));
    setSelectionMode(QAbstractItemView::SingleSelection);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setTextElideMode(Qt::ElideRight);
    connect(this, &QListWidget::itemDoubleClicked, this, &FolderList::openEntry);
    setCurrentFolder(QDir::rootPath());
}

void FolderList::setCurrentFolder(const QString& path) {
    // A folder that does not answer is taken as it is; its real nearest parent follows if the
    // answer comes while the operator is still there.
    const QString root = rootOf(path);
    const QStringList asked = namesFromRoot(root, path);
    const auto found = answerInTime<QStringList>(
        QStringLiteral("nearest:") + path,
        [root, asked] { return nearestExistingFolder(root, asked); }, kFolderAnswerWait, this,
        [this, root, asked](const QStringList& names) {
            if (m_root == root && m_names == asked && names != asked) {
                m_names = names;
                refill();
            }
        });
    m_root = root;
    m_names = found.value_or(asked);
    refill();
}

QString FolderList::currentFolder() const {
    return joinedFromRoot(m_root, m_names);
}

void FolderList::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        openEntry(currentItem());
        event->accept();
        return;
    }
    QListWidget::keyPressEvent(event);
}

void FolderList::openEntry(const QListWidgetItem* item) {
    if (!item || !item->data(kPathRole).isValid())
        return;
    setCurrentFolder(item->data(kPathRole).toString());
    Q_EMIT folderOpened();
}

void FolderList::addEntry(const QString& path, const QString& text, int depth, bool open) {
    const auto icon = open ? QStyle::SP_DirOpenIcon : QStyle::SP_DirClosedIcon;
    auto* item = new QListWidgetItem(style()->standardIcon(icon), text, this);
    item->setData(kPathRole, path);
    item->setData(kDepthRole, depth);
}

void FolderList::refill() {
    const QString folder = currentFolder();
    const auto subFolders = answerInTime<QStringList>(
        QStringLiteral("folders:") + folder,
        [folder] {
            return QDir(folder).entryList(QDir::Dirs | QDir::NoDotAndDotDot,
                                          QDir::Name | QDir::IgnoreCase);
        },
        kFolderAnswerWait, this,
        [this, folder](const QStringList& names) {
            if (currentFolder() == folder)
                fill(names);
        });
    fill(subFolders);
}

void FolderList::fill(const std::optional<QStringList>& subFolders) {
    clear();
    const QStringList chain = pathFromRoot(m_root, m_names);
    for (int depth = 0; depth < chain.size(); ++depth) {
        const QString& folder = chain.at(depth);
        const QString name = QFileInfo(folder).fileName();
        addEntry(folder, name.isEmpty() ? QDir::toNativeSeparators(folder) : name, depth, true);
    }
    const QDir current(currentFolder());
    for (const QString& name : subFolders.value_or(QStringList()))
        addEntry(current.filePath(name), name, static_cast<int>(chain.size()), false);
    if (!subFolders) {
        auto* waiting = new QListWidgetItem(QString(kNotAnswering), this);
        waiting->setFlags(Qt::NoItemFlags);
        waiting->setData(kDepthRole, static_cast<int>(chain.size()));
    }
    setCurrentRow(static_cast<int>(chain.size()) - 1);
    // Show the path from the root whenever it fits, as the list reads top down.
    scrollToTop();
    scrollToItem(currentItem());
}
