// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/drive_list.h"

#include "acquisition/core/answer_in_time.h"

#include <QDir>
#include <QFileInfo>
#include <QStorageInfo>
#include <algorithm>

namespace {

// Kernel and container file systems that hold no operator data. Qt already hides most of them;
// the rest keep showing up on some distributions.
bool isPseudoFileSystem(const QByteArray& type) {
    // Plain text, nothing to destroy at exit: a look-up left behind on a share that hangs may
    // still be asking when the program ends.
    static constexpr const char* kPseudo[] = {
        "proc",       "sysfs",      "devpts",   "devtmpfs", "cgroup",      "cgroup2",
        "securityfs", "debugfs",    "tracefs",  "pstore",   "bpf",         "mqueue",
        "hugetlbfs",  "configfs",   "fusectl",  "autofs",   "binfmt_misc", "efivarfs",
        "nsfs",       "rpc_pipefs", "squashfs", "overlay",  "ramfs",       "tmpfs"};
    return std::any_of(std::begin(kPseudo), std::end(kPseudo),
                       [&type](const char* pseudo) { return type == pseudo; });
}

// System folders that only carry run-time state; removable media under /run/media stay.
bool isSystemMount(const QString& root) {
    if (root.startsWith(QLatin1StringView("/run/media/")))
        return false;
    for (const char* prefix : {"/proc", "/sys", "/dev", "/run", "/boot", "/snap"}) {
        const QString p = QLatin1StringView(prefix);
        if (root == p || root.startsWith(p + QLatin1Char('/')))
            return true;
    }
    return false;
}

#ifdef Q_OS_WIN
constexpr Qt::CaseSensitivity kNameCase = Qt::CaseInsensitive;
#else
constexpr Qt::CaseSensitivity kNameCase = Qt::CaseSensitive;
#endif

bool holds(const QString& mountPoint, const QString& path) {
    if (mountPoint == QLatin1StringView("/"))
        return path.startsWith(QLatin1Char('/'));
    // A drive's root ends in its slash: "C:/".
    const QString folder = mountPoint.endsWith(u'/') ? mountPoint.chopped(1) : mountPoint;
    return path.compare(folder, kNameCase) == 0 ||
           path.startsWith(folder + QLatin1Char('/'), kNameCase);
}

} // namespace

DriveList::DriveList(QWidget* parent) : QComboBox(parent) {
    connect(this, &QComboBox::currentIndexChanged, this,
            [this] { Q_EMIT driveChanged(currentDrive()); });
    // Asking a volume that hangs for its state hangs too; until the list comes, the root stands
    // alone, and the list follows quietly, with the selection where it was.
    const auto found = answerInTime<QStringList>(
        QStringLiteral("volumes"), [] { return saveableDrives(); }, kFolderAnswerWait, this,
        [this](const QStringList& mountPoints) { setDrives(mountPoints); });
    setDrives(found.value_or(QStringList{QDir::rootPath()}));
}

void DriveList::setDrives(const QStringList& mountPoints) {
    const QSignalBlocker quiet(this);
    clear();
    // Shown as the system spells it (C:\ on Windows), kept as Qt spells paths.
    for (const QString& mountPoint : mountPoints)
        addItem(QDir::toNativeSeparators(mountPoint), mountPoint);
    setCurrentIndex(findData(driveOf(m_pathShown, mountPoints)));
}

void DriveList::selectDriveOf(const QString& path) {
    m_pathShown = QDir::cleanPath(path);
    const int index = findData(driveOf(QDir::cleanPath(path), drives()));
    if (index >= 0)
        setCurrentIndex(index);
}

QString DriveList::currentDrive() const {
    return currentData().toString();
}

QStringList DriveList::drives() const {
    QStringList listed;
    for (int i = 0; i < count(); ++i)
        listed << itemData(i).toString();
    return listed;
}

QStringList DriveList::saveableDrives() {
    // Windows has no one root above its drives.
#ifdef Q_OS_WIN
    QStringList roots;
#else
    QStringList roots{QStringLiteral("/")};
#endif
    for (const QStorageInfo& volume : QStorageInfo::mountedVolumes()) {
        const QString root = volume.rootPath();
        if (!volume.isValid() || !volume.isReady() || volume.isReadOnly() || roots.contains(root))
            continue;
        // Containers bind single files such as /etc/hosts; only folders can hold data files.
        if (isPseudoFileSystem(volume.fileSystemType()) || isSystemMount(root) ||
            !QFileInfo(root).isDir())
            continue;
        roots << root;
    }
    roots.sort();
    return roots;
}

QString DriveList::driveOf(const QString& path, const QStringList& mountPoints) {
    QString best;
    for (const QString& mountPoint : mountPoints) {
        if (holds(mountPoint, path) && mountPoint.size() > best.size())
            best = mountPoint;
    }
    return best;
}
