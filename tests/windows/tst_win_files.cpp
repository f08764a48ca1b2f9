// SPDX-License-Identifier: GPL-3.0-or-later
// The data file's and the spool's file calls on Windows, under Wine: appends, cuts, flushes and
// reads by paths no code page can spell or deeper than Windows' 260 characters, and files that
// stay removable while open.

#include "acquisition/platform/file_calls.h"
#include "acquisition/platform/platform_files.h"
#include "acquisition/platform/windows/platform_windows_files.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>

class TstWinFiles : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void appendsCutsAndReadsByAWidePath_data();
    void appendsCutsAndReadsByAWidePath();
    void missingFilesAndFolders();
    void pathsAsWin32TakesThem_data();
    void pathsAsWin32TakesThem();
    void whereFilesGo();
};

namespace {

QByteArray contents(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// Six levels of 50 characters: past MAX_PATH (260) from any temporary folder.
QString deepFolder() {
    QStringList levels;
    for (int level = 1; level <= 6; ++level)
        levels << QStringLiteral("level %1 ").arg(level).leftJustified(50, u'x');
    return levels.join(u'/');
}

} // namespace

void TstWinFiles::appendsCutsAndReadsByAWidePath_data() {
    QTest::addColumn<QString>("below");
    // Japanese and Greek in one name: no single ANSI code page holds both.
    QTest::newRow("a name no code page spells") << QStringLiteral("測定データ-μετρήσεις");
    QTest::newRow("a folder deeper than 260 characters") << deepFolder();
}

void TstWinFiles::appendsCutsAndReadsByAWidePath() {
    QFETCH(QString, below);
    QTemporaryDir dir;
    const QString folder = dir.filePath(below);
    QVERIFY(QDir().mkpath(folder));
    QVERIFY(canCreateFilesIn(folder));
    const QString file = folder + QStringLiteral("/20261207.txt");
    const QByteArray path = encodePath(file);
    QCOMPARE(decodePath(path), file);
    FileCalls& calls = systemFileCalls();

    int error = -1;
    int fd = calls.openForAppend(path, error);
    QVERIFY2(fd >= 0, qPrintable(QString::number(error)));
    QCOMPARE(calls.appendWhole(fd, "r1\r\n"), 0);
    qint64 at = -1;
    QCOMPARE(calls.offsetOf(fd, at), 0);
    QCOMPARE(at, 4);
    QCOMPARE(calls.dataSync(fd), 0);
    QCOMPARE(calls.closeFile(fd), 0);

    // A second open appends after what is there, never over it; a cut takes back exactly the
    // bytes asked.
    fd = calls.openForAppend(path, error);
    QVERIFY(fd >= 0);
    qint64 length = -1;
    QCOMPARE(calls.fileLength(fd, length), 0);
    QCOMPARE(length, 4);
    QCOMPARE(calls.appendWhole(fd, "r2\r\nhalf"), 0);
    QCOMPARE(calls.offsetOf(fd, at), 0);
    QCOMPARE(at, 12);
    QCOMPARE(truncateFile(fd, 8), 0);
    QCOMPARE(calls.appendWhole(fd, "r3\r\n"), 0);
    QCOMPARE(syncFile(calls, path), 0);
    QCOMPARE(syncFolder(calls, encodePath(folder)), 0);
    QCOMPARE(contents(file), QByteArray("r1\r\nr2\r\nr3\r\n"));
    QByteArray bytes;
    QCOMPARE(calls.readAt(path, 4, 100, bytes), 0);
    QCOMPARE(bytes, QByteArray("r2\r\nr3\r\n"));

    // A second writer on the same file (another logger) appends after the first, and the
    // first after it, never over each other.
    int other = calls.openForAppend(path, error);
    QVERIFY(other >= 0);
    QCOMPARE(calls.appendWhole(other, "x1\r\n"), 0);
    QCOMPARE(calls.appendWhole(fd, "r4\r\n"), 0);
    QCOMPARE(calls.closeFile(other), 0);
    QCOMPARE(contents(file), QByteArray("r1\r\nr2\r\nr3\r\nx1\r\nr4\r\n"));

    // Spent spool segments are removed while the writer may still hold them.
    const QByteArray fresh = path + ".new";
    other = calls.openForAppend(fresh, error);
    QCOMPARE(calls.appendWhole(other, "fresh"), 0);
    QCOMPARE(calls.closeFile(other), 0);
    QVERIFY(QFile::remove(file));
    QCOMPARE(calls.closeFile(fd), 0);
    QVERIFY(!QFile::exists(file));

    // The spool's marks are replaced by a fresh copy, where a file stands and where none does.
    QVERIFY(QFile(file).open(QIODevice::WriteOnly));
    QCOMPARE(replaceFile(fresh, path), 0);
    QCOMPARE(contents(file), QByteArray("fresh"));
    QVERIFY(!QFile::exists(decodePath(fresh)));
    QCOMPARE(replaceFile(path, fresh), 0);
    QCOMPARE(contents(decodePath(fresh)), QByteArray("fresh"));
}

void TstWinFiles::missingFilesAndFolders() {
    QTemporaryDir dir;
    FileCalls& calls = systemFileCalls();
    int error = 0;
    const QByteArray inMissing = encodePath(dir.filePath(QStringLiteral("gone/20261207.txt")));
    QCOMPARE(calls.openForAppend(inMissing, error), -1);
    QCOMPARE(error, ENOENT);
    QByteArray bytes = "stale";
    QCOMPARE(calls.readAt(inMissing, 0, 10, bytes), ENOENT);
    QVERIFY(bytes.isEmpty());
    // A file already gone has nothing left to flush.
    QCOMPARE(syncFile(calls, inMissing), 0);
}

// Wine takes long paths in any form; Windows only in the extended one, which it takes as it
// stands (no "..", no forward slashes).
void TstWinFiles::pathsAsWin32TakesThem_data() {
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("given");
    QTest::newRow("on a drive") << "C:/Lab Data/20261207.txt"
                                << "\\\\?\\C:\\Lab Data\\20261207.txt";
    QTest::newRow("on a share") << "//lab-nas/data/b1/x.txt"
                                << "\\\\?\\UNC\\lab-nas\\data\\b1\\x.txt";
    QTest::newRow("dots taken out first") << "D:/a/./b/../c.txt"
                                          << "\\\\?\\D:\\a\\c.txt";
    QTest::newRow("already extended") << "//?/C:/x.txt"
                                      << "\\\\?\\C:\\x.txt";
    QTest::newRow("relative: as it is") << "data/x.txt"
                                        << "data\\x.txt";
}

void TstWinFiles::pathsAsWin32TakesThem() {
    QFETCH(QString, path);
    QFETCH(QString, given);
    QCOMPARE(QString::fromStdWString(win32Path(path)), given);
}

void TstWinFiles::whereFilesGo() {
    const QString local = QDir::fromNativeSeparators(qEnvironmentVariable("LOCALAPPDATA"));
    QVERIFY(!local.isEmpty());
    QCOMPARE(spoolHome(), local + QStringLiteral("/tessaline"));
    QTemporaryDir dir;
    QVERIFY(canCreateFilesIn(dir.path()));
    QVERIFY(!canCreateFilesIn(dir.filePath(QStringLiteral("missing"))));
    QVERIFY(!canCreateFilesIn(dir.filePath(deepFolder())));
    // The probe leaves nothing behind.
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList());
}

QTEST_GUILESS_MAIN(TstWinFiles)
#include "tst_win_files.moc"
