// SPDX-License-Identifier: GPL-3.0-or-later
// The logger inside the rig's virtual machine, on the kernel's own serial drivers: the real
// Logger, SerialPort and data file writer behind the main window, offscreen, wired by the test
// kit as the window tests wire it. Commands arrive on stdin, one a line; what the operator
// would see leaves on stdout as "@@ <what> <text>" lines, for the harness on the host.

#include "support/pty_instrument.h"
#include "support/window_kit.h"

#include "acquisition/core/varlin_def.h"
#include "acquisition/serial/serial_port.h"
#include "acquisition/serial/threaded_port.h"

#include "acquisition/platform/platform_serial.h"
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QSocketNotifier>
#include <QTimer>

#include <cstdio>
#include <ctime>
#include <unistd.h>

namespace {

void say(const QString& what, const QString& text = {}) {
    std::printf("@@ %s %s\n", qPrintable(what), qPrintable(text));
    std::fflush(stdout);
}

// What the window shows, said each time it changes.
class Reporter {
public:
    explicit Reporter(const LoggerWindow& main) : m_main(main) {}
    void look() {
        tell("title", m_main.title(), m_title);
        tell("state", m_main.panel(3), m_state);
        for (; m_messages < m_main.sink.messages.size(); ++m_messages)
            say(QStringLiteral("message"), m_main.sink.messages[m_messages]);
        for (; m_beeps < m_main.sink.beeps; ++m_beeps)
            say(QStringLiteral("beep"));
    }

private:
    static void tell(const char* what, const QString& now, QString& last) {
        if (now != last)
            say(QLatin1String(what), now);
        last = now;
    }
    const LoggerWindow& m_main;
    QString m_title, m_state;
    qsizetype m_messages = 0;
    int m_beeps = 0;
};

// This process's CPU time so far, in milliseconds.
long cpuMs() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec * 1000 + t.tv_nsec / 1'000'000;
}

void obey(LoggerWindow& main, Reporter& reporter, SerialPort& serial, CommPort& read,
          CountingPort& held, const QStringList& words) {
    const QString verb = words.value(0);
    if (verb == QLatin1String("port")) { // port <n> <baud>
        varlin_def.PortNumber = static_cast<int16_t>(words.value(1).toInt());
        varlin_def.BaudRate = words.value(2).toLatin1();
    } else if (verb == QLatin1String("folder")) {
        QDir().mkpath(words.value(1));
        varlin_def.SavePath = QFile::encodeName(words.value(1));
    } else if (verb == QLatin1String("start")) {
        main.click("Command1");
        // In step once the port is open and what it held is discarded.
        while (main.logger.loop().phase() != AcquisitionLoop::Phase::Sync)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        reporter.look();
    } else if (verb == QLatin1String("stop")) {
        main.click("Command4");
    } else if (verb == QLatin1String("hold")) { // the loop falls behind, the port reads on
        held.held = true;
    } else if (verb == QLatin1String("release")) {
        held.release();
    } else if (verb == QLatin1String("received")) { // what the port holds for the loop
        say(QStringLiteral("received"), QString::number(read.bytesWaiting()));
    } else if (verb == QLatin1String("speed")) { // the rate the driver took
        const auto* qt = serial.findChild<SystemSerialPort*>();
        say(QStringLiteral("speed"), QString::number(qt ? lineSpeed(qt->handle()) : 0));
    } else if (verb == QLatin1String("ports")) {
        QStringList paths;
        for (const SerialDevice& device : main.logger.presentDevices())
            paths << device.path;
        say(QStringLiteral("ports"), paths.join(u' '));
    } else if (verb == QLatin1String("cpu")) {
        say(QStringLiteral("cpu"), QString::number(cpuMs()));
    } else if (verb == QLatin1String("quit")) {
        QCoreApplication::quit();
    }
    say(QStringLiteral("done"), verb);
}

} // namespace

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    SystemClock clock;
    // As the program wires it: read on a thread of its own.
    auto* serial = new SerialPort(clock);
    ThreadedPort read{std::unique_ptr<CommPort>(serial)};
    CountingPort port(read);
    LoggerWindow main(port, clock, QString::fromLocal8Bit(argc > 1 ? argv[1] : "/tmp"));
    Reporter reporter(main);
    QTimer looking;
    QObject::connect(&looking, &QTimer::timeout, &app, [&reporter] { reporter.look(); });
    looking.start(20);
    QSocketNotifier commands(STDIN_FILENO, QSocketNotifier::Read);
    QByteArray pending;
    QObject::connect(&commands, &QSocketNotifier::activated, &app, [&] {
        char buffer[512];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n <= 0) {
            QCoreApplication::quit();
            return;
        }
        pending.append(buffer, n);
        for (qsizetype end; (end = pending.indexOf('\n')) >= 0; pending.remove(0, end + 1))
            obey(main, reporter, *serial, read, port,
                 QString::fromLocal8Bit(pending.left(end)).simplified().split(u' '));
    });
    say(QStringLiteral("hello"));
    return QApplication::exec();
}
