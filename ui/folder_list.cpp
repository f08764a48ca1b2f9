// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/folder_list.h"

#include "acquisition/core/answer_in_time.h"

#include <QDir>
#include <QFileInfo>
#include <QKeyEvent>
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

// The folders' names from the root down. A relative path is taken from the root, never from
// the process's current folder, which may be gone; ".." goes no higher than the root.
QStringList namesFromRoot(const QString& path) {
    QStringList names;
    for (const QString& name : QDir::fromNativeSeparators(path).split(u'/', Qt::SkipEmptyParts)) {
        if (name == u"..") {
            if (!names.isEmpty())
                names.removeLast();
        } else if (name != u".") {
            names << name;
        }
    }
    return names;
}

QString joinedFromRoot(const QStringList& names) {
    return QDir::rootPath() + names.join(u'/');
}

// Each step drops one name, so the walk ends at the root at the latest.
QStringList nearestExistingFolder(QStringList names) {
    while (!names.isEmpty() && !QFileInfo(joinedFromRoot(names)).isDir())
        names.removeLast();
    return names;
}

// "/a/b/c" -> "/", "/a", "/a/b", "/a/b/c".
QStringList pathFromRoot(const QStringList& names) {
    QStringList chain{QDir::rootPath()};
    for (qsizetype i = 1; i <= names.size(); ++i)
        chain << joinedFromRoot(names.first(i));
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
    const QStringList asked = namesFromRoot(path);
    const auto found = answerInTime<QStringList>(
        QStringLiteral("nearest:") + path, [asked] { return nearestExistingFolder(asked); },
        kFolderAnswerWait, this,
        [this, asked](const QStringList& names) {
            if (m_names == asked && names != asked) {
                m_names = names;
                refill();
            }
        });
    m_names = found.value_or(asked);
    refill();
}

QString FolderList::currentFolder() const {
    return joinedFromRoot(m_names);
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
    const QStringList chain = pathFromRoot(m_names);
    for (int depth = 0; depth < chain.size(); ++depth) {
        const QString& folder = chain.at(depth);
        const QString name = QFileInfo(folder).fileName();
        addEntry(folder, name.isEmpty() ? folder : name, depth, true);
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
