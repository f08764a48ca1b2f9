// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/window_kit.h"

#include "acquisition/core/varlin_def.h"
#include "ui/frm_savepath.h"
#include "ui/status_bar.h"

#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QTest>

void click(const QWidget* window, const char* name) {
    QTest::mouseClick(control(window, name), Qt::LeftButton);
}

LoggerWindow::StartValues::StartValues(const QString& dataFolder) {
    loadStartValues(QFile::encodeName(dataFolder));
}

LoggerWindow::LoggerWindow(CommPort& port, const Clock& clock, const QString& dataFolder,
                           FileCalls& files, const QString& spoolFolder)
    : m_startValues(dataFolder),
      logger(port, clock, sink, files, spoolFolder.isEmpty() ? ownSpool.path() : spoolFolder),
      window(logger, [this] { ++ends; }) {
    window.show();
}

QString LoggerWindow::panel(int n) const {
    return control<StatusBar>("SB1")->panelText(n);
}

QString LoggerWindow::shown() const {
    return control<QLineEdit>("txt_meas_0")->text();
}

QString LoggerWindow::title() const {
    return control<QLabel>("lbl_title")->text();
}

Frm_Savepath* LoggerWindow::settings() const {
    const auto open = window.findChildren<Frm_Savepath*>();
    return open.size() == 1 ? open.first() : nullptr;
}
