// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/message_box_sink.h"

#include <QApplication>
#include <QMessageBox>

void MessageBoxSink::showMessage(const QString& text) {
    QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Tessaline"), text, QMessageBox::Ok,
                    m_parent);
    box.setWindowModality(Qt::ApplicationModal);
    box.exec();
}

void MessageBoxSink::beep() {
    QApplication::beep();
}
