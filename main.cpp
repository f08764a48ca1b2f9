// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/logger_program.h"

#include <QApplication>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    return runLogger();
}
