// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QString>

/// How much a line of the journal matters, as syslog ranks it.
enum class JournalLevel { Error = 3, Warning = 4, Notice = 5, Info = 6 };

/// What the acquisition loop touches of the main window.
class LoopView {
public:
    virtual ~LoopView() = default;
    virtual void setStateText(const QString& text) = 0;    // status bar panel 3
    virtual void showRecord(const QByteArray& record) = 0; // txt_meas element 0
    virtual void setTitleText(const QString& text) = 0;    // lbl_title
    virtual void endProgram() = 0; // close the main window, then end the process at once
    /// The device the port opened, for the operator to see which one COMn is (panel 2).
    virtual void showPortDevice(const QString& /*description*/) {}
    /// Whether another logger of this account receives into the data folder too (panel 1).
    virtual void showFolderShared(bool /*shared*/) {}
    /// What the operator must know of the data folder and the records on their way to it
    /// (panel 1); empty when all is well.
    virtual void showStorageState(const QString& /*word*/) {}
    /// Whether records of an earlier run wait for a folder that fails or hangs: the operator
    /// may have them written into the current folder instead.
    virtual void showLeftoversWaiting(bool /*waiting*/) {}
    /// What the logger asks the instrument for while acquisition runs ("asks P CR LF every
    /// 10 s"); empty when it asks nothing.
    virtual void showAsking(const QString& /*word*/) {}
    /// A record on its way to the data file: the text the instrument sent, without the stamp,
    /// and when its line end arrived (ms since the epoch). For drawing; nothing may change it.
    virtual void traceRecord(const QByteArray& /*text*/, qint64 /*arrivalMs*/) {}
    /// What happened to the run that nobody may be there to see (START, a spool taken up):
    /// for the journal, which an unattended logger is known by. Never one per record.
    virtual void journal(JournalLevel /*level*/, const QString& /*text*/) {}
};
