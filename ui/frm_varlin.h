// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "acquisition/core/loop_view.h"
#include "ui/trend.h"

#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <array>
#include <functional>

class Frm_Savepath;
class Frm_Trend;
class Logger;
class ShutdownReason;
class QAction;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class StatusBar;

/// The start-up window: START, STOP, Setting, END and Send, the latest record, the line's
/// messages and the status bar. It shows what the logger's loop reports and commands it.
class Frm_Varlin : public QWidget, public LoopView {
    Q_OBJECT
public:
    /// `endProcess` runs once the window has closed through END, the close box or the loop's
    /// end sequence.
    Frm_Varlin(Logger& logger, std::function<void()> endProcess, QWidget* parent = nullptr);
    ~Frm_Varlin() override;

    /// Ends the process at once, without another event or any clean-up.
    static void endAtOnce();

    void setStateText(const QString& text) override;
    void showRecord(const QByteArray& record) override;
    void setTitleText(const QString& text) override;
    void endProgram() override;
    void showPortDevice(const QString& description) override;
    void showFolderShared(bool shared) override;
    void showStorageState(const QString& word) override;
    void showLeftoversWaiting(bool waiting) override;
    void showAsking(const QString& word) override;
    void traceRecord(const QByteArray& text, qint64 arrivalMs) override;
    /// The session ends (logout, shutdown): as END, with nobody to dismiss a box. While its
    /// steps run, the system is told why the program holds the session up.
    void endSession();
    /// What tells the system so; the system's own unless a test gives another.
    void setShutdownReason(ShutdownReason& reason) { m_shutdownReason = &reason; }

    /// Panels 1 and 2 from SavePath, PortNumber and BaudRate, as the load step shows them.
    void showSavePathAndPort();

protected:
    bool event(QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void createControls();
    void placeControls();
    void connectControls();
    void Form_Load();
    void showRunState(bool running);
    void showLatestRecord();
    void showSettingsPanelText(int panel, const QString& text);
    void showPanel1();
    void showPanel2Tip();

    void Command1_Click(); // START
    void Command2_Click(); // Setting
    void Command3_Click(); // END
    void Command4_Click(); // STOP
    void Command5_Click(); // Send
    void cmd_trend_Click();

    Logger& m_logger;
    std::function<void()> m_endProcess;
    bool m_ending = false;
    QPointer<Frm_Savepath> m_settings;
    Trend m_trend; // kept from START whether or not its window is open
    QPointer<Frm_Trend> m_trendWindow;
    QByteArray m_latestRecord;
    bool m_recordWaiting = false; // m_latestRecord is not in txt_meas yet
    QTimer m_recordPace;          // running while txt_meas has just changed
    bool m_endedBySession = false;
    ShutdownReason* m_shutdownReason;
    // Panel 1: the data location, unless the storage or another logger has something to say.
    QString m_dataLocation;
    QString m_storageWord;
    QString m_portDevice; // panel 2's tooltip: the device opened, and what it is asked
    QString m_askingWord;
    bool m_folderShared = false;
    QAction* m_leftoversHere = nullptr; // panel 1's context menu, while records of an earlier
                                        // run wait for their folder

    QLabel* Label1 = nullptr;
    QLabel* lbl_title = nullptr;
    std::array<QLineEdit*, 1> txt_meas{};
    QPushButton* Command5 = nullptr;
    QLineEdit* txt_send = nullptr;
    QComboBox* cmb_send_end = nullptr; // the line end Send adds
    QPushButton* Command1 = nullptr;
    QPushButton* Command4 = nullptr;
    QPushButton* Command2 = nullptr;
    QPushButton* Command3 = nullptr;
    QPushButton* cmd_trend = nullptr; // opens the trend window
    StatusBar* SB1 = nullptr;
};
