// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QDir>
#include <QListWidget>
#include <QString>
#include <QStringList>
#include <optional>

/// The settings window's folder chooser in the classic style: the current folder's path from
/// the root down, each ancestor one indented entry, and its sub-folders below. Opening an entry
/// (double-click, Enter or Return) makes it current; a highlight alone changes nothing. A folder
/// on a share that does not answer shows "(not answering)" in place of its sub-folders, and the
/// window goes on; they appear if the share answers while it is shown.
class FolderList : public QListWidget {
    Q_OBJECT
public:
    explicit FolderList(QWidget* parent = nullptr);

    /// Shows `path`, or its nearest existing parent when it is gone. A relative path is taken
    /// from the root.
    void setCurrentFolder(const QString& path);
    /// Full path of the current folder, never of a merely highlighted entry.
    QString currentFolder() const;

Q_SIGNALS:
    /// The operator opened an entry, which is now the current folder.
    void folderOpened();

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    void openEntry(const QListWidgetItem* item);
    void addEntry(const QString& path, const QString& text, int depth, bool open);
    void refill();
    void fill(const std::optional<QStringList>& subFolders);

    QString m_root = QDir::rootPath(); // "/", or on Windows the drive's "C:/"
    QStringList m_names;               // of the current folder, from the root down
};
