// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QComboBox>
#include <QDir>
#include <QStringList>

/// The settings window's drive chooser: the mounted file systems data can be saved to,
/// listed by mount point. Its value is the selected mount point.
class DriveList : public QComboBox {
    Q_OBJECT
public:
    explicit DriveList(QWidget* parent = nullptr);

    /// Replaces the listed mount points; the selection moves to the one holding the path last
    /// selected for, at first the current folder.
    void setDrives(const QStringList& mountPoints);
    /// Selects the listed mount that holds `path`; emits driveChanged only if that moves it.
    void selectDriveOf(const QString& path);
    QString currentDrive() const;

    /// Mount points of ready, writable, real file systems; the root is always among them.
    static QStringList saveableDrives();
    /// The longest of `mountPoints` that holds `path`, or an empty text if none does.
    static QString driveOf(const QString& path, const QStringList& mountPoints);

Q_SIGNALS:
    void driveChanged(const QString& mountPoint);

private:
    QStringList drives() const;

    QString m_pathShown = QDir::currentPath();
};
