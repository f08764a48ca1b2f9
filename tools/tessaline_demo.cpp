// SPDX-License-Identifier: GPL-3.0-or-later
// The real logger windows with COM1 wired to the simulated balance, for trying the program
// without serial hardware. The logger itself stays free of options: only this program knows
// where the simulated instrument is.

#include "ui/logger_program.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTextStream>

#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>

namespace {

// Starts the simulator that sits beside this executable; returns its device path, or an empty
// string with the reason in `error`.
QString startSimulator(QProcess& sim, const QStringList& options, QString& error) {
    const QString program =
        QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral(TESSALINE_SIMULATOR));
    if (!QFileInfo(program).isExecutable()) {
        error = QStringLiteral("%1 not found").arg(program);
        return {};
    }
    sim.setProgram(program);
    sim.setArguments(options);
    sim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    // The simulator and the logger end together: END leaves the process at once, so the
    // kernel, not a destructor, has to stop the child.
    const pid_t parent = ::getpid();
    sim.setChildProcessModifier([parent] {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent)
            ::_exit(0); // the parent is already gone
    });
    sim.start();
    while (!sim.canReadLine()) {
        if (!sim.waitForReadyRead(5000)) {
            error = QStringLiteral("%1 did not report its device").arg(program);
            return {};
        }
    }
    QString device = QString::fromLocal8Bit(sim.readLine()).trimmed();
    if (!device.startsWith(QStringLiteral("/dev/"))) {
        error = QStringLiteral("%1 said %2").arg(program, device); // its usage, for --help
        return {};
    }
    return device;
}

} // namespace

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QTextStream out(stdout);

    QProcess sim;
    QString error;
    // Whatever follows the demo's name goes to the balance (--on-demand, --interval-ms 200, ...).
    const QStringList options = app.arguments().mid(1);
    const QString device = startSimulator(sim, options, error);
    if (device.isEmpty()) {
        QTextStream(stderr) << "tessaline-demo: " << error << Qt::endl;
        return 1;
    }
    out << "Simulated balance on " << device << " is COM1. ";
    if (options.contains(QStringLiteral("--on-demand")))
        out << "It prints only when asked: open Setting, tick Ask, type P, press Close, then "
            << "START; the logger asks every 10 s." << Qt::endl;
    else
        out << "Press START to receive; what Send sends is shown below. For a reading at once, "
            << "pick CR LF right of the Send field, type P and press Send." << Qt::endl;
    // What the logger sends arrives at the simulator, which reports it as "received: ...".
    QObject::connect(&sim, &QProcess::readyReadStandardOutput, &sim, [&sim, &out] {
        out << QString::fromUtf8(sim.readAllStandardOutput()) << Qt::flush;
    });

    LoggerProgram demo;
    demo.ports = [device] { return QList<SerialDevice>{nodeDevice(device)}; };
    const int rc = runLogger(demo);

    sim.terminate();
    sim.waitForFinished(2000);
    return rc;
}
