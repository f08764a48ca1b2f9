#pragma once

#include <QListWidget>
#include <QString>

/// The settings window's folder chooser in the classic style: the current folder's path from
/// the root down, each ancestor one indented entry, and its sub-folders below. Opening an entry
/// (double-click, Enter or Return) makes it current; a highlight alone changes nothing.
class FolderList : public QListWidget {
    Q_OBJECT
public:
    explicit FolderList(QWidget* parent = nullptr);

    /// Shows `path`, or its nearest existing parent when it is gone.
    void setCurrentFolder(const QString& path);
    /// Full path of the current folder, never of a merely highlighted entry.
    QString currentFolder() const;

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    void openEntry(const QListWidgetItem* item);
    void addEntry(const QString& path, const QString& text, int depth, bool open);
    void refill();

    QString m_current;
};
