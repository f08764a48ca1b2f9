// SPDX-License-Identifier: GPL-3.0-or-later
// The simulated balance as the demo and a tester use it: what it says it sent is what arrives
// on its device, line by line, and what is written to the device comes back on its stdout.

#include "support/pty_instrument.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {

// Reverses the simulator's escaping of bytes: \r, \n, \t, \\ and \xNN.
QByteArray unescape(const QByteArray& text) {
    QByteArray out;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 >= text.size()) {
            out += text[i];
            continue;
        }
        const char kind = text[++i];
        if (kind == 'x') {
            out += static_cast<char>(text.mid(i + 1, 2).toInt(nullptr, 16));
            i += 2;
        } else {
            out += kind == 'r' ? '\r' : kind == 'n' ? '\n' : kind == 't' ? '\t' : kind;
        }
    }
    return out;
}

/// One run of the simulator with its device opened as the logger would open it.
class SimRun {
public:
    explicit SimRun(const QStringList& args) {
        m_sim.start(QStringLiteral(TESSALINE_SIMULATOR_PATH), args);
        if (m_sim.waitForStarted() && m_sim.waitForReadyRead(5000))
            device = m_sim.readLine().trimmed();
        if (!device.isEmpty())
            m_fd = ::open(device.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    }
    ~SimRun() {
        if (QTest::currentTestFailed())
            qWarning("simulator's stderr: %s", m_sim.readAllStandardError().constData());
        if (m_fd >= 0)
            ::close(m_fd);
        m_sim.kill();
        m_sim.waitForFinished();
    }
    bool ok() const { return m_fd >= 0; }

    // Reads the device, `chunk` bytes every `pauseMs`, until the simulator closes it or
    // nothing came for `quietMs`.
    QByteArray readToEnd(int chunk = 4096, int pauseMs = 0, int quietMs = 20000) {
        QByteArray data;
        QElapsedTimer timer;
        timer.start();
        pollfd fd{m_fd, POLLIN, 0};
        int ready = 0;
        while (timer.elapsed() < 20000 && (ready = ::poll(&fd, 1, std::min(1000, quietMs))) >= 0) {
            if (ready == 0 && quietMs < 20000)
                break;
            QByteArray buf(chunk, '\0');
            const ssize_t n = ::read(m_fd, buf.data(), static_cast<size_t>(chunk));
            if (n <= 0 && (fd.revents & (POLLHUP | POLLERR)) != 0)
                break; // the simulator has gone and closed the device
            data += buf.left(n > 0 ? n : 0);
            QTest::qWait(pauseMs);
        }
        return data;
    }
    void write(const QByteArray& bytes) {
        QCOMPARE(::write(m_fd, bytes.constData(), static_cast<size_t>(bytes.size())), bytes.size());
    }
    // The simulator's stdout after the device path, once it has exited.
    QList<QByteArray> reportLines() {
        m_sim.waitForFinished(10000);
        return m_sim.readAllStandardOutput().split('\n');
    }

    QProcess m_sim;
    QByteArray device;

private:
    int m_fd = -1;
};

QByteArray sentBytes(const QList<QByteArray>& report) {
    QByteArray sent;
    for (const QByteArray& line : report)
        if (line.startsWith("sent: "))
            sent += unescape(line.mid(6));
    return sent;
}

} // namespace

class TstSimInstrument : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() {
        if (!canStartPrograms())
            QSKIP("this process cannot start the simulator (user-mode emulation refuses "
                  "QProcess's vfork-style clone)");
    }
    void linesArriveAsSentThenItExits() {
        // A loaded machine may keep this reader from its turn for seconds; the device closes
        // when everything has been read, so a long wait costs nothing when all is well.
        SimRun run({"--count", "9", "--interval-ms", "0", "--empty-every", "3", "--noise", "2",
                    "--seed", "7", "--show-sent", "--drain-ms", "15000"});
        QVERIFY2(run.ok(), (run.device + " " + strerror(errno)).constData());
        const QByteArray received = run.readToEnd();
        QCOMPARE(received, sentBytes(run.reportLines()));
        QCOMPARE(run.m_sim.exitStatus(), QProcess::NormalExit);
        QCOMPARE(run.m_sim.exitCode(), 0);

        QList<QByteArray> lines = received.split('\n');
        QCOMPARE(lines.takeLast(), QByteArray()); // the last line is ended too
        QCOMPARE(lines.size(), 9);
        const QRegularExpression reading(QStringLiteral(R"(^(ST|US),[+-]\d{4}\.\d{3} g\r$)"));
        for (int n = 1; n <= 9; ++n) {
            const QByteArray& line = lines[n - 1];
            if (n % 3 == 0) {
                QCOMPARE(line, QByteArray("\r"));
            } else if (n % 2 == 0) {
                QVERIFY2(line.contains('\t') && line.contains('\0') &&
                             static_cast<unsigned char>(line[line.size() - 2]) >= 0x80,
                         line.toHex(' ').constData());
            } else {
                QVERIFY2(reading.match(QString::fromLatin1(line)).hasMatch(), line.constData());
            }
        }
    }

    void burstLongerThanTheDeviceBufferReachesASlowReaderWhole() {
        SimRun run({"--count", "600", "--burst", "600", "--show-sent", "--drain-ms", "15000"});
        QVERIFY(run.ok());
        const QByteArray received = run.readToEnd(512, 5);
        QCOMPARE(received.count('\n'), 600);
        QCOMPARE(received, sentBytes(run.reportLines()));
    }

    // 20 lines of 16 bytes at 960 B/s take 333 ms; timed from before the simulator starts, as it
    // may send before the test has opened the device. Unpaced they take a few milliseconds.
    void byteRatePacesTheLine() {
        QElapsedTimer timer;
        timer.start();
        SimRun run({"--count", "20", "--interval-ms", "0", "--byte-rate", "960"});
        QVERIFY(run.ok());
        QCOMPARE(run.readToEnd().size(), 20 * 16);
        QVERIFY2(timer.elapsed() >= 300, QByteArray::number(timer.elapsed()).constData());
    }

    // Commands as a balance takes them: only with the end it expects; P and Q print a reading
    // at once, Z zeroes it; --lf-only ends its own lines with LF alone.
    void answersCommandsWithTheirEnd_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QByteArray>("command");
        QTest::addColumn<QByteArray>("lineEnd"); // of the reading it answers with; empty: none
        QTest::newRow("P, CR LF") << QStringList() << QByteArray("P\r\n") << QByteArray("\r\n");
        QTest::newRow("Q, CR LF, LF-only lines")
            << QStringList{"--lf-only"} << QByteArray("Q\r\n") << QByteArray("\n");
        QTest::newRow("P without its end") << QStringList() << QByteArray("P") << QByteArray();
        QTest::newRow("P with CR where CR LF is expected")
            << QStringList() << QByteArray("P\r") << QByteArray();
        QTest::newRow("P, CR expected")
            << QStringList{"--command-end", "cr"} << QByteArray("P\r") << QByteArray("\r\n");
        QTest::newRow("unknown command") << QStringList() << QByteArray("X\r\n") << QByteArray();
    }
    void answersCommandsWithTheirEnd() {
        QFETCH(QStringList, args);
        QFETCH(QByteArray, command);
        QFETCH(QByteArray, lineEnd);
        SimRun run(args + QStringList{"--interval-ms", "60000", "--seed", "3"});
        QVERIFY(run.ok());
        run.readToEnd(4096, 0, 300); // the reading sent at start, if it came yet
        run.write(command);
        const QByteArray answer = run.readToEnd(4096, 0, 1000);
        if (lineEnd.isEmpty()) {
            QCOMPARE(answer, QByteArray());
            return;
        }
        const QRegularExpression reading(QStringLiteral(R"(^(ST|US),[+-]\d{4}\.\d{3} g$)"));
        QVERIFY2(answer.endsWith(lineEnd) &&
                     reading.match(QString::fromLatin1(answer.chopped(lineEnd.size()))).hasMatch(),
                 answer.toHex(' ').constData());
    }
    void zeroMakesTheReadingZero() {
        SimRun run({"--interval-ms", "60000", "--seed", "3"});
        QVERIFY(run.ok());
        run.readToEnd(4096, 0, 300);
        run.write("Z\r\nP\r\n");
        const QByteArray answer = run.readToEnd(4096, 0, 1000);
        QVERIFY2(answer.startsWith("ST,+0000.0") || answer.startsWith("ST,-0000.0"),
                 answer.constData());
    }

    void reportsWhatTheLoggerSendsAndStopsOnTerm() {
        SimRun run({"--interval-ms", "60000"});
        QVERIFY(run.ok());
        run.write(QByteArray("AB\x01\xff\\", 5));
        QTRY_VERIFY(run.m_sim.canReadLine());
        QCOMPARE(run.m_sim.readLine(), QByteArray("received: AB\\x01\\xFF\\\\\n"));
        run.m_sim.terminate();
        QVERIFY(run.m_sim.waitForFinished(5000));
        QCOMPARE(run.m_sim.exitStatus(), QProcess::NormalExit);
        QCOMPARE(run.m_sim.exitCode(), 0);
    }
};

QTEST_GUILESS_MAIN(TstSimInstrument)
#include "tst_sim_instrument.moc"
