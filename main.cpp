// SPDX-License-Identifier: GPL-3.0-or-later
#include "acquisition/start_options.h"
#include "ui/logger_program.h"

#include <QApplication>
#include <QFile>
#include <QFileInfo>
#include <csignal>
#include <cstdio>
#ifndef Q_OS_WIN
#include <unistd.h>
#endif

int main(int argc, char* argv[]) {
#ifndef Q_OS_WIN
    // The journal's reader gone (a pipe closed) must not end a run before its END.
    ::signal(SIGPIPE, SIG_IGN);
#endif
    // Before any window: a refused option opens none, and needs no display to say so.
    const ParsedOptions parsed = parseStartOptions(commandLineArguments(argc, argv));
    if (const std::optional<int> code = answerStartOptions(parsed, QStringLiteral("tessaline")))
        return *code;
    if (parsed.options.headless) {
#ifdef Q_OS_WIN
        std::fputs("tessaline: --headless is for Linux; --start logs from the window\n", stderr);
        return 2;
#else
        // The logger without a window is a program of its own, which links no widgets.
        const QByteArray headless =
            QFile::encodeName(QFileInfo(QStringLiteral("/proc/self/exe")).canonicalPath() +
                              QStringLiteral("/tessaline-headless"));
        argv[0] = const_cast<char*>(headless.constData());
        ::execv(headless.constData(), argv);
        std::perror("tessaline: tessaline-headless");
        return 1;
#endif
    }
    QApplication app(argc, argv);
    LoggerProgram program;
    program.options = parsed.options;
    return runLogger(program);
}
