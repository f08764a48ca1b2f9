#include "ui/folder_list.h"

#include <QDir>
#include <QFileInfo>
#include <QKeyEvent>
#include <QStyle>
#include <QStyledItemDelegate>

namespace {

constexpr int kPathRole = Qt::UserRole;
constexpr int kDepthRole = Qt::UserRole + 1;
constexpr int kIndentPx = 8;

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

QString nearestExistingFolder(QString path) {
    path = QDir::cleanPath(QDir(path).absolutePath());
    while (!QFileInfo(path).isDir() && !QDir(path).isRoot())
        path = QFileInfo(path).path();
    return path;
}

// "/a/b/c" -> "/", "/a", "/a/b", "/a/b/c".
QStringList pathFromRoot(const QString& folder) {
    QStringList chain;
    for (QDir dir(folder);; dir.setPath(QFileInfo(dir.path()).path())) {
        chain.prepend(dir.path());
        if (dir.isRoot())
            break;
    }
    return chain;
}

} // namespace

FolderList::FolderList(QWidget* parent) : QListWidget(parent) {
    setItemDelegate(new IndentDelegate(this));
    setSelectionMode(QAbstractItemView::SingleSelection);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setTextElideMode(Qt::ElideRight);
    connect(this, &QListWidget::itemDoubleClicked, this, &FolderList::openEntry);
    setCurrentFolder(QDir::currentPath());
}

void FolderList::setCurrentFolder(const QString& path) {
    m_current = nearestExistingFolder(path);
    refill();
}

QString FolderList::currentFolder() const {
    return m_current;
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
    if (item)
        setCurrentFolder(item->data(kPathRole).toString());
}

void FolderList::addEntry(const QString& path, const QString& text, int depth, bool open) {
    const auto icon = open ? QStyle::SP_DirOpenIcon : QStyle::SP_DirClosedIcon;
    auto* item = new QListWidgetItem(style()->standardIcon(icon), text, this);
    item->setData(kPathRole, path);
    item->setData(kDepthRole, depth);
}

void FolderList::refill() {
    clear();
    const QStringList chain = pathFromRoot(m_current);
    for (int depth = 0; depth < chain.size(); ++depth) {
        const QString& folder = chain.at(depth);
        const QString name = QFileInfo(folder).fileName();
        addEntry(folder, name.isEmpty() ? folder : name, depth, true);
    }
    const QDir current(m_current);
    const auto subFolders =
        current.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name | QDir::IgnoreCase);
    for (const QString& name : subFolders)
        addEntry(current.filePath(name), name, static_cast<int>(chain.size()), false);
    setCurrentRow(static_cast<int>(chain.size()) - 1);
    // Show the path from the root whenever it fits, as the list reads top down.
    scrollToTop();
    scrollToItem(currentItem());
}
