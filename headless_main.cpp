// SPDX-License-Identifier: GPL-3.0-or-later
#include "acquisition/headless_program.h"
#include "acquisition/start_options.h"

#include <QCoreApplication>
#include <csignal>

int main(int argc, char* argv[]) {
    // The journal's reader gone (a pipe closed) must not end a run before its END.
    ::signal(SIGPIPE, SIG_IGN);
    const ParsedOptions parsed = parseStartOptions(commandLineArguments(argc, argv));
    if (const std::optional<int> code =
            answerStartOptions(parsed, QStringLiteral("tessaline-headless")))
        return *code;
    QCoreApplication app(argc, argv);
    return runHeadless(parsed.options);
}
