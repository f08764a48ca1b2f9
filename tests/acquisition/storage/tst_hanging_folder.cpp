// SPDX-License-Identifier: GPL-3.0-or-later
// The real logger, in a child process as the operator runs it, writing to a folder that stops
// answering (a FUSE passthrough, hanging_folder) while an instrument on a pty sends without
// ever waiting. Nothing may be refused at the line, every record must be in its file once
// and in order, stamped within half a second of its sending, and the window must go on.

#include "support/pty_instrument.h"
#include "support/test_kit.h"

#include "acquisition/core/message_sink.h"
#include "acquisition/core/varlin_def.h"
#include "acquisition/platform/serial_device.h"
#include "ui/frm_varlin.h"
#include "ui/logger_program.h"

#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProcess>
#include <QPushButton>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <cstdio>
#include <sys/mount.h>
#include <unistd.h>

namespace {

void say(const char* what, const QString& text) {
    std::printf("@@ %s %s\n", what, qPrintable(text));
    std::fflush(stdout);
}

class SayingSink final : public MessageSink {
public:
    void showMessage(const QString& text) override { say("message", text); }
    void beep() override {}
};

// The logger as the program wires it, on the pty; it says what txt_meas and panel 1 show, and
// takes "start", "stop", "end" (END), "setting" and "close" (the settings window's) on standard
// input. With the settings window open it also says what its folder list shows.
int runLoggerChild(char** argv) {
    const QString device = QString::fromLocal8Bit(argv[2]);
    SayingSink sink;
    LoggerProgram child;
    child.ports = [device] { return QList<SerialDevice>{nodeDevice(device)}; };
    child.messages = &sink;
    child.savePath = argv[3];
    child.shown = [](Frm_Varlin& window) {
        // As the operator sets them in Setting: stamps to the millisecond.
        varlin_def.StampDateTime = kTrue;
        varlin_def.StampMillis = kTrue;
        auto* looking = new QTimer(&window);
        QObject::connect(looking, &QTimer::timeout, &window, [&window] {
            static QString shown, panel, state, folders;
            const QString nowShown = window.findChild<QLineEdit*>("txt_meas_0")->text();
            const QString nowPanel = window.findChild<QLabel*>("panel1")->text();
            const QString nowState = window.findChild<QLabel*>("panel3")->text();
            if (nowShown != std::exchange(shown, nowShown))
                say("shown", nowShown);
            if (nowPanel != std::exchange(panel, nowPanel))
                say("panel1", nowPanel);
            if (nowState != std::exchange(state, nowState))
                say("state", nowState);
            if (const auto* list = window.findChild<QListWidget*>("Dir1")) {
                QStringList entries;
                for (int i = 0; i < list->count(); ++i)
                    entries << list->item(i)->text();
                if (entries.join(u'|') != std::exchange(folders, entries.join(u'|')))
                    say("folders", folders);
            }
        });
        looking->start(20);
        auto* commands = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, &window);
        QObject::connect(commands, &QSocketNotifier::activated, &window, [&window] {
            char buffer[64];
            const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
            if (n <= 0) {
                window.close();
                return;
            }
            for (const QByteArray& what : QByteArray(buffer, n).split('\n')) {
                const char* button = what == "start"     ? "Command1"
                                     : what == "stop"    ? "Command4"
                                     : what == "end"     ? "Command3"
                                     : what == "setting" ? "Command2"
                                                         : nullptr;
                if (button)
                    window.findChild<QPushButton*>(QLatin1String(button))->click();
                if (what == "close")
                    window.findChild<QWidget*>("Frm_Savepath")
                        ->findChild<QPushButton*>("Command1")
                        ->click();
            }
        });
    };
    return runLogger(child);
}

// A child process that says things on standard output, one a line.
class Talking : public QProcess {
public:
    QStringList said;
    bool waitFor(const QString& start, int timeoutMs = 10'000) {
        return QTest::qWaitFor([&] { return saidStarting(start) >= 0; }, timeoutMs);
    }
    // txt_meas shows a record whose line is `line` (after its stamp).
    bool waitForShown(const QByteArray& line, int timeoutMs = 10'000) {
        const QString end = u',' + QString::fromLatin1(line);
        return QTest::qWaitFor(
            [&] {
                collect();
                return std::any_of(said.begin(), said.end(), [&](const QString& s) {
                    return s.startsWith(QLatin1String("@@ shown ")) && s.endsWith(end);
                });
            },
            timeoutMs);
    }
    // True once the process has ended (waitForFinished alone says false if it already has).
    bool ended(int timeoutMs = 30'000) {
        return state() == QProcess::NotRunning || waitForFinished(timeoutMs);
    }
    qsizetype saidStarting(const QString& start) {
        collect();
        for (qsizetype i = 0; i < said.size(); ++i)
            if (said[i].startsWith(start))
                return i;
        return -1;
    }
    void collect() {
        m_pending += readAllStandardOutput();
        for (qsizetype end; (end = m_pending.indexOf('\n')) >= 0; m_pending.remove(0, end + 1))
            said << QString::fromUtf8(m_pending.left(end));
    }

private:
    QByteArray m_pending;
};

// The line the instrument sends: its number and when it was sent.
QByteArray line(int n) {
    return "L" + QByteArray::number(n).rightJustified(6, '0') + " " +
           QByteArray::number(QDateTime::currentMSecsSinceEpoch()) + ",+0012.345 g,PASS\r\n";
}

} // namespace

class TstHangingFolder : public QObject {
    Q_OBJECT

    QTemporaryDir m_tmp;
    QString m_backing, m_mount, m_state;
    Talking m_folder;
    std::unique_ptr<PtyInstrument> m_instrument;
    qsizetype m_refused = 0;
    int m_sent = 0;
    QList<qint64> m_sentAt; // of each line, ms since the epoch
    static constexpr int kCrashRounds = 20;

    bool folder(const char* command) {
        m_folder.collect();
        const qsizetype before = m_folder.said.size();
        m_folder.write(QByteArray(command) + '\n');
        const QString done = QStringLiteral("done ") + QLatin1String(command);
        return QTest::qWaitFor([&] {
            m_folder.collect();
            return m_folder.said.indexOf(done, before) >= 0;
        });
    }
    bool startLogger(Talking& logger) {
        logger.setProcessEnvironment([this] {
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert("XDG_STATE_HOME", m_state);
            return env;
        }());
        logger.start(QCoreApplication::applicationFilePath(),
                     {"--logger-child", m_instrument->slavePath(), m_mount});
        if (!logger.waitForStarted())
            return false;
        logger.write("start\n");
        // The port is open and what it held discarded; then in step, and the run's first
        // record (shown only) spent.
        return logger.waitFor(QStringLiteral("@@ state Initialize...")) &&
               m_instrument->write("x\ry\rz\rfirst\r\n") && logger.waitForShown("first");
    }
    // Lines at `bytesPerSecond` for `ms`, offered as a UART sends them: what the pty does not
    // take at once is refused and counted.
    void send(int ms, int bytesPerSecond, const std::function<void(qint64)>& meanwhile = {}) {
        QElapsedTimer clock;
        clock.start();
        qint64 due = 0;
        while (clock.elapsed() < ms) {
            due += bytesPerSecond / 100;
            while (due > 0) {
                m_sentAt.append(QDateTime::currentMSecsSinceEpoch());
                const QByteArray next = line(m_sent++);
                m_refused += next.size() - m_instrument->offer(next);
                due -= next.size();
            }
            if (meanwhile)
                meanwhile(clock.elapsed());
            QTest::qWait(10);
        }
    }
    // The data file's records, once it holds `count` after the header.
    QList<QByteArray> records(int count, int timeoutMs = 30'000) {
        QList<QByteArray> found;
        const QString file = m_backing + '/' + QDate::currentDate().toString(u"yyyyMMdd") + ".txt";
        (void)QTest::qWaitFor(
            [&] {
                found = fileText(file).split('\n');
                found.removeFirst(); // the header
                found.removeLast();  // after the last line end
                return found.size() >= count;
            },
            timeoutMs);
        return found;
    }
    // The lines in the file are distinct, in order and stamped in time; a line is missing only
    // when it was sent within the loss window before the kill at `killedAt`. `hang`: when the
    // share stopped answering and answered again (at the kill, at the latest), in ms since the
    // epoch; -1 when it did not hang.
    bool onceInOrderWithin(qint64 killedAt, std::pair<qint64, qint64> hang, QString& why) {
        static const QRegularExpression record(
            "^(\\d{4}/\\d\\d/\\d\\d,\\d\\d:\\d\\d:\\d\\d\\.\\d{3}),L(\\d{6}) (\\d+),\\+0012\\.345 "
            "g,PASS\\r$");
        const QString file = m_backing + '/' + QDate::currentDate().toString(u"yyyyMMdd") + ".txt";
        QList<QByteArray> found = fileText(file).split('\n');
        found.removeFirst(); // the header
        found.removeLast();  // after the last line end
        int expected = 0;
        for (const QByteArray& line : std::as_const(found)) {
            const auto match = record.match(QString::fromLatin1(line));
            const int n = match.captured(2).toInt();
            const QDateTime stamp =
                QDateTime::fromString(match.captured(1), u"yyyy/MM/dd,hh:mm:ss.zzz");
            const qint64 late = stamp.toMSecsSinceEpoch() - match.captured(3).toLongLong();
            if (!match.hasMatch() || n < expected || late < -50 || late > 500) {
                why = QStringLiteral("after line %1: %2")
                          .arg(expected - 1)
                          .arg(QString::fromLatin1(line));
                return false;
            }
            for (; expected < n; ++expected) {
                const qint64 sentAt = m_sentAt.value(expected);
                const bool inWindow = sentAt >= killedAt - 500 ||
                                      (hang.first >= 0 && hang.second - hang.first < 3000 &&
                                       killedAt - hang.second < 500 && sentAt >= hang.first - 500);
                if (!inWindow) {
                    why = QStringLiteral("line %1 missing, sent %2 ms before the kill")
                              .arg(expected)
                              .arg(killedAt - sentAt);
                    return false;
                }
            }
            ++expected;
        }
        if (expected != m_sent) {
            why = QStringLiteral("%1 lines in the file for %2 sent").arg(expected).arg(m_sent);
            return false;
        }
        return true;
    }

    // Every line sent, once, in order, each stamped within half a second of its sending.
    static bool allOnceInOrder(const QList<QByteArray>& found, int sent, QString& why) {
        static const QRegularExpression record(
            "^(\\d{4}/\\d\\d/\\d\\d,\\d\\d:\\d\\d:\\d\\d\\.\\d{3}),L(\\d{6}) (\\d+),\\+0012\\.345 "
            "g,PASS\\r$");
        if (found.size() != sent) {
            why = QStringLiteral("%1 records for %2 lines").arg(found.size()).arg(sent);
            return false;
        }
        for (int i = 0; i < sent; ++i) {
            const auto match = record.match(QString::fromLatin1(found[i]));
            const QDateTime stamp =
                QDateTime::fromString(match.captured(1), u"yyyy/MM/dd,hh:mm:ss.zzz");
            const qint64 late = stamp.toMSecsSinceEpoch() - match.captured(3).toLongLong();
            if (!match.hasMatch() || match.captured(2).toInt() != i || late < -50 || late > 500) {
                why = QStringLiteral("record %1: %2").arg(i).arg(QString::fromLatin1(found[i]));
                return false;
            }
        }
        return true;
    }

private Q_SLOTS:
    void initTestCase() {
        m_backing = m_tmp.filePath("backing");
        m_mount = m_tmp.filePath("share");
        m_state = m_tmp.filePath("state");
        QVERIFY(QDir().mkpath(m_backing) && QDir().mkpath(m_mount) && QDir().mkpath(m_state));
        m_folder.start(TESSALINE_HANGING_FOLDER, {m_backing, m_mount});
        QVERIFY(m_folder.waitForStarted());
        if (!m_folder.waitFor(QStringLiteral("ready"), 10'000)) {
            const QByteArray why =
                "cannot mount a FUSE folder here: " + m_folder.readAllStandardError().trimmed();
            if (qEnvironmentVariableIntValue("TESSALINE_RIG_REQUIRED") != 0)
                QFAIL(why.constData());
            QSKIP(why.constData());
        }
    }
    void init() {
        m_instrument = std::make_unique<PtyInstrument>();
        QVERIFY(m_instrument->isOpen());
        m_refused = 0;
        m_sent = 0;
        m_sentAt.clear();
        QDir(m_backing).removeRecursively();
        QDir().mkpath(m_backing);
    }
    // Crash rounds, driven by a seed that is printed (TESSALINE_CRASH_SEED replays one): numbered,
    // stamped lines at 100 a second; the share hangs and answers at random moments; the logger
    // is killed outright at a random moment, then a new one starts and receives. No line may
    // be in the file twice or out of order, each must be stamped within half a second of its
    // sending, and a line may be missing only within the loss window the README states: the
    // half second before the kill, and when the share had stopped answering for less than 3 s
    // just before, the lines since it stopped. Nothing may be left in the spool.
    void crashRounds() {
        const quint32 seed = qEnvironmentVariableIsSet("TESSALINE_CRASH_SEED")
                                 ? qgetenv("TESSALINE_CRASH_SEED").toUInt()
                                 : QRandomGenerator::global()->generate();
        qInfo("crash rounds with TESSALINE_CRASH_SEED=%u", seed);
        QRandomGenerator random(seed);
        for (int round = 0; round < kCrashRounds; ++round) {
            QDir(m_backing).removeRecursively();
            QDir().mkpath(m_backing);
            m_instrument = std::make_unique<PtyInstrument>();
            m_sent = 0;
            m_sentAt.clear();
            Talking first;
            QVERIFY(startLogger(first));
            // Rounds of three kinds: no hang; a kill while the share hangs; a kill while what
            // waited during a hang of over 2 s is being written.
            const auto within = [&random](int from, int span) {
                return from + static_cast<int>(random.bounded(span));
            };
            const int kind = within(0, 3);
            const bool hangs = kind != 0;
            const int hangAt = within(300, 1000);
            const int answerAt = kind == 2 ? within(hangAt + 2200, 1000) : 1 << 30;
            const int sending = kind == 0   ? within(1500, 2000)
                                : kind == 1 ? within(hangAt + 300, 3000)
                                            : within(answerAt, 1200);
            std::pair<qint64, qint64> hang{-1, -1};
            bool obeyed = true;
            send(sending, 4000, [&](qint64 at) {
                if (hangs && hang.first < 0 && at >= hangAt && at < answerAt) {
                    obeyed = obeyed && folder("hang");
                    hang.first = QDateTime::currentMSecsSinceEpoch();
                } else if (hang.first >= 0 && hang.second < 0 && at >= answerAt) {
                    obeyed = obeyed && folder("answer");
                    hang.second = QDateTime::currentMSecsSinceEpoch();
                }
            });
            QVERIFY(obeyed);
            first.kill();
            const qint64 killedAt = QDateTime::currentMSecsSinceEpoch();
            // A process killed in a call to a share that hangs ends only when the share
            // answers; a write the killed logger began lands then.
            if (hang.first >= 0 && hang.second < 0) {
                hang.second = killedAt;
                QVERIFY(folder("answer"));
            }
            QVERIFY(first.ended());
            QTest::qWait(200);

            Talking next;
            QVERIFY(startLogger(next));
            send(500, 4000);
            const QString file =
                m_backing + '/' + QDate::currentDate().toString(u"yyyyMMdd") + ".txt";
            const QByteArray last = line(m_sent - 1).left(7);
            QVERIFY(QTest::qWaitFor([&] { return fileText(file).contains(last); }, 10'000));
            next.closeWriteChannel();
            QVERIFY(next.ended());
            QString why;
            QVERIFY2(onceInOrderWithin(killedAt, hang, why),
                     qPrintable(QStringLiteral("round %1 (kind %2, hang at %3 ms, answer at %4 "
                                               "ms, kill at %5 ms): %6")
                                    .arg(round)
                                    .arg(kind)
                                    .arg(hangAt)
                                    .arg(answerAt)
                                    .arg(sending)
                                    .arg(why)));
            QCOMPARE(QDir(m_state + "/tessaline").entryList({"*.spool", "*.damaged"}),
                     QStringList());
        }
    }

    void cleanupTestCase() {
        m_folder.closeWriteChannel();
        if (!m_folder.waitForFinished(5000))
            m_folder.kill();
        ::umount2(QFile::encodeName(m_mount).constData(), MNT_DETACH);
    }

    // A share that stops answering while 30 s of a 9600-baud instrument arrive (here in 10 s,
    // the same bytes against the pty's buffer).
    void aShareThatStopsAnswering() {
        Talking logger;
        QVERIFY(startLogger(logger));
        send(2000, 960);
        QVERIFY(folder("hang"));
        QString shownEarly, shownLate;
        send(10'000, 2880, [&](qint64 at) {
            logger.collect();
            const QString shown = logger.said.filter(QStringLiteral("@@ shown")).last();
            if (at < 3000)
                shownEarly = shown;
            else if (at < 7000)
                shownLate = shown;
        });
        logger.collect();
        QVERIFY(logger.saidStarting("@@ panel1 Data folder not answering") >= 0);
        QVERIFY(folder("answer"));
        send(2000, 960);
        QString why;
        QVERIFY2(allOnceInOrder(records(m_sent), m_sent, why), qPrintable(why));
        QCOMPARE(m_refused, 0);
        QVERIFY2(shownEarly != shownLate, "the window stood still during the hang");
        QVERIFY(logger.waitFor("@@ panel1 " + m_mount)); // the word went
        QCOMPARE(logger.saidStarting("@@ message"), -1);

        // Setting, on the share while it hangs: the window answers, and the folder's
        // sub-folders come when the share does.
        QVERIFY(folder("hang"));
        QDir().mkpath(m_backing + "/inner");
        logger.write("stop\nsetting\n");
        const auto folders = [&logger] {
            logger.collect();
            const QStringList said = logger.said.filter(QStringLiteral("@@ folders "));
            return said.isEmpty() ? QString() : said.last();
        };
        QVERIFY(QTest::qWaitFor([&] { return !folders().isEmpty(); }, 5000));
        QVERIFY2(folders().endsWith(u"|share|(not answering)"), qPrintable(folders()));
        QVERIFY(folder("answer"));
        QTRY_VERIFY2(folders().endsWith(u"|share|inner"), qPrintable(folders()));
        logger.write("close\n");
        logger.closeWriteChannel();
        QVERIFY(logger.ended());
    }

    // Every flush takes 1.5 s while an instrument sends at 115200 baud.
    void slowFlushesAtFullSpeed() {
        QVERIFY(folder("fsync 1500"));
        Talking logger;
        QVERIFY(startLogger(logger));
        send(6000, 11'520);
        QString why;
        QVERIFY2(allOnceInOrder(records(m_sent), m_sent, why), qPrintable(why));
        QCOMPARE(m_refused, 0);
        QVERIFY(folder("fsync 0"));
        logger.closeWriteChannel();
        QVERIFY(logger.ended());
    }

    // END while the share hangs: the program ends at once, the records are kept in the spool,
    // and the next START writes them, before any new record.
    void endDuringAHangThenRestart() {
        Talking first;
        QVERIFY(startLogger(first));
        send(1000, 960);
        QVERIFY(folder("hang"));
        send(2000, 960);
        const QByteArray last = line(m_sent - 1).left(7);
        QVERIFY(QTest::qWaitFor([&] {
            first.collect();
            return first.said.filter(QStringLiteral("@@ shown"))
                .last()
                .contains(QString::fromLatin1(last));
        }));
        first.write("stop\n");
        first.write("end\n");
        QElapsedTimer ending;
        ending.start();
        QVERIFY(first.waitFor(QStringLiteral("@@ message The data folder did not answer"), 8000));
        qInfo("END told where the records are after %lld ms", ending.elapsed());
        QVERIFY(first.said.last().contains(m_state));
        QVERIFY(folder("answer")); // the call left behind returns; the process can go
        QVERIFY2(first.ended(), first.readAllStandardError().constData());
        QCOMPARE(QDir(m_state + "/tessaline").entryList({"*.spool"}).size(), 1);

        Talking next;
        QVERIFY(startLogger(next));
        // "Writing N records kept from an earlier run", then "N records ... written".
        QVERIFY(QTest::qWaitFor([&] {
            next.collect();
            return !next.said.filter(QStringLiteral("records kept from an earlier run")).isEmpty();
        }));
        send(1000, 960);
        QString why;
        QVERIFY2(allOnceInOrder(records(m_sent), m_sent, why), qPrintable(why));
        QCOMPARE(m_refused, 0);
        QTRY_COMPARE(QDir(m_state + "/tessaline").entryList({"*.spool"}), QStringList());
        next.closeWriteChannel();
        QVERIFY(next.ended());
    }
};

int main(int argc, char** argv) {
    if (argc == 4 && qstrcmp(argv[1], "--logger-child") == 0) {
        QApplication app(argc, argv);
        return runLoggerChild(argv);
    }
    QApplication app(argc, argv);
    TstHangingFolder test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_hanging_folder.moc"
