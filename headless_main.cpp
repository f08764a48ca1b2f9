// SPDX-License-Identifier: GPL-3.0-or-later
#include "acquisition/headless_program.h"
#include "acquisition/start_options.h"

#include <QCoreApplication>

int main(int argc, char* argv[]) {
    const ParsedOptions parsed = parseStartOptions(commandLineArguments(argc, argv));
    if (const std::optional<int> code =
            answerStartOptions(parsed, QStringLiteral("tessaline-headless")))
        return *code;
    QCoreApplication app(argc, argv);
    return runHeadless(parsed.options);
}
