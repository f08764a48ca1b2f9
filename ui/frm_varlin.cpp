// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/frm_varlin.h"

#include "acquisition/core/clock.h"
#include "acquisition/core/line_ends.h"
#include "acquisition/core/reading_number.h"
#include "acquisition/core/varlin_def.h"
#include "acquisition/logger.h"
#include "acquisition/platform/platform_files.h"
#include "acquisition/platform/shutdown_reason.h"
#include "ui/cached_panel_style.h"
#include "ui/fonts.h"
#include "ui/frm_savepath.h"
#include "ui/frm_trend.h"
#include "ui/status_bar.h"
#include "ui/twips.h"

#include <QAbstractItemView>
#include <QAction>
#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <cstdlib>

namespace {
constexpr int kClientWidthTwips = 7875;
constexpr int kClientHeightTwips = 2670;
// txt_meas changes at most 10 times a second, as a balance's own display does: a reading that
// changes faster cannot be read, and painting text was most of the window thread's time.
constexpr int kRecordPaceMs = 100;

// Where every control sits, in twips from the client area's top left corner.
constexpr std::array<Placement, 12> kLayout{{
    {"Label1", 120, 240, 1575, 255},
    {"lbl_title", 1680, 240, 4455, 255},
    {"cmd_trend", 6600, 195, 1095, 315},
    {"txt_meas_0", 240, 780, 7455, 345},
    {"Command5", 720, 1320, 1095, 255},
    {"txt_send", 1920, 1320, 5175, 270},
    {"cmb_send_end", 7110, 1305, 750, 300},
    {"Command1", 480, 1800, 1695, 375},
    {"Command4", 2280, 1800, 1695, 375},
    {"Command2", 4080, 1800, 1695, 375},
    {"Command3", 5880, 1800, 1695, 375},
    {"SB1", 0, 2415, 7875, 255},
}};

template <typename W> W* named(W* widget, const char* name) {
    widget->setObjectName(QLatin1String(name));
    return widget;
}

QLabel* label(QWidget* parent, const char* name, const QString& text, const QColor& color) {
    auto* l = named(new QLabel(text, parent), name);
    l->setTextFormat(Qt::PlainText);
    QPalette palette = l->palette();
    palette.setColor(QPalette::WindowText, color);
    l->setPalette(palette);
    return l;
}

QPushButton* button(QWidget* parent, const char* name, const char* caption) {
    return named(new QPushButton(QLatin1String(caption), parent), name);
}

// Panel 1's word on the spreadsheet copy, from the settings and the panel's text alone: the
// disk is not asked, so the tooltip costs the window nothing.
QString csvCopyTip(const QString& dataLocation) {
    if (varlin_def.CsvCopy == kFalse)
        return {};
    // Once a data file was written the panel shows it, and its copy can be named.
    const QString shown = dataLocation.section(QDir::separator(), -1);
    QString name = varlin_def.HourlyFiles != kFalse ? QStringLiteral("YYYYMMDD_hh.csv")
                                                    : QStringLiteral("YYYYMMDD.csv");
    if (shown.endsWith(QLatin1String(".txt")))
        name = shown.chopped(4) + QLatin1String(".csv");
    // One arg call: a name holding "%2" stays as it is.
    return QStringLiteral("Spreadsheet copy beside each data file: %1 (%2 %3 a row, decimal %4)")
        .arg(name, QString::number(varlin_def.CsvNumbers),
             varlin_def.CsvNumbers == 1 ? QStringLiteral("value") : QStringLiteral("values"),
             varlin_def.CsvDecimalComma != kFalse ? QStringLiteral("comma")
                                                  : QStringLiteral("point"));
}

} // namespace

Frm_Varlin::Frm_Varlin(Logger& logger, std::function<void()> endProcess, QWidget* parent)
    : QWidget(parent), m_logger(logger), m_endProcess(std::move(endProcess)),
      m_shutdownReason(&systemShutdownReason()) {
    setObjectName(QStringLiteral("Frm_Varlin"));
    setWindowTitle(QStringLiteral("Tessaline Serial Data"));
    setWindowIcon(QIcon(QStringLiteral(":/icons/varlin.png")));
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, Qt::black);
    setPalette(palette);
    setAutoFillBackground(true);
    resize(pixels(kClientWidthTwips), pixels(kClientHeightTwips));
    createControls();
    placeControls();
    connectControls();
    Form_Load();
    m_recordPace.setSingleShot(true);
    m_recordPace.setInterval(kRecordPaceMs);
    m_recordPace.setTimerType(Qt::CoarseTimer);
    connect(&m_recordPace, &QTimer::timeout, this, &Frm_Varlin::showLatestRecord);
    m_logger.setView(this);
}

Frm_Varlin::~Frm_Varlin() {
    // It draws from m_trend, which goes before the children do.
    delete m_trendWindow;
    // The loop never runs on without its window.
    m_logger.halt();
    m_logger.setView(nullptr);
}

void Frm_Varlin::endAtOnce() {
    std::_Exit(0);
}

void Frm_Varlin::createControls() {
    Label1 = label(this, "Label1", QStringLiteral("Recive Data"), QColor(0x80, 0xFF, 0x80));
    Label1->setFont(tahomaFont(9.75, true));
    Label1->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    lbl_title = label(this, "lbl_title", QStringLiteral("."), QColor(0x00, 0xFF, 0x00));
    lbl_title->setFont(tahomaFont(9));
    lbl_title->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    // The operator may select and copy a record but never edit it.
    txt_meas[0] = named(new QLineEdit(this), "txt_meas_0");
    txt_meas[0]->setReadOnly(true);
    // Owned by the line edit, so it outlives every paint of it.
    auto* style = new CachedPanelStyle;
    style->setParent(txt_meas[0]);
    txt_meas[0]->setStyle(style);
    txt_meas[0]->setFont(minchoFont(11.25));
    QPalette palette = txt_meas[0]->palette();
    palette.setColor(QPalette::Base, QColor(0xC0, 0xFF, 0xC0));
    palette.setColor(QPalette::Text, Qt::black);
    txt_meas[0]->setPalette(palette);

    Command5 = button(this, "Command5", "Send");
    txt_send = named(new QLineEdit(QStringLiteral("Send Data Input"), this), "txt_send");
    cmb_send_end = named(new QComboBox(this), "cmb_send_end");
    // The free space right of txt_send is narrow: the status bar's small font, and a slim
    // arrow, so that "CR LF" still reads in full.
    cmb_send_end->setFont(tahomaFont(8.25));
    cmb_send_end->setStyleSheet(
        QStringLiteral("QComboBox { padding-left: 3px; } QComboBox::drop-down { width: 11px; }"));
    for (const LineEnd& end : kLineEnds) // the first, none, is the start
        cmb_send_end->addItem(QLatin1String(end.name));
    cmb_send_end->setToolTip(QStringLiteral("Line end Send adds after the text: most balances "
                                            "and meters act on a command only with CR LF or CR"));
    // The names are read in the open list, which may be wider than the closed box.
    cmb_send_end->view()->setMinimumWidth(cmb_send_end->view()->sizeHintForColumn(0) + 8);
    Command1 = button(this, "Command1", "START");
    Command4 = button(this, "Command4", "STOP");
    Command2 = button(this, "Command2", "Setting");
    Command3 = button(this, "Command3", "END");
    cmd_trend = button(this, "cmd_trend", "&Trend");
    cmd_trend->setToolTip(QStringLiteral("The readings of this run as a curve"));
    SB1 = named(new StatusBar(this), "SB1");
    SB1->setFont(tahomaFont(8.25));
    m_leftoversHere = new QAction(
        QStringLiteral("Write the records of an earlier run into the data folder"), this);
    m_leftoversHere->setObjectName(QStringLiteral("act_leftovers_here"));
    m_leftoversHere->setVisible(false);
    SB1->addPanelAction(1, m_leftoversHere);

    setTabOrder(Command2, Command3);
    setTabOrder(Command3, Command1);
    setTabOrder(Command1, Command4);
    setTabOrder(Command4, Command5);
    setTabOrder(Command5, txt_send);
    setTabOrder(txt_send, cmb_send_end);
    setTabOrder(cmb_send_end, cmd_trend);
    setTabOrder(cmd_trend, txt_meas[0]);
}

void Frm_Varlin::placeControls() {
    // Every control created so far, so none can be left out of the layout unnoticed.
    for (QWidget* control : findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
        place(control, kLayout);
}

void Frm_Varlin::connectControls() {
    connect(Command1, &QPushButton::clicked, this, &Frm_Varlin::Command1_Click);
    connect(Command2, &QPushButton::clicked, this, &Frm_Varlin::Command2_Click);
    connect(Command3, &QPushButton::clicked, this, &Frm_Varlin::Command3_Click);
    connect(Command4, &QPushButton::clicked, this, &Frm_Varlin::Command4_Click);
    connect(Command5, &QPushButton::clicked, this, &Frm_Varlin::Command5_Click);
    connect(cmd_trend, &QPushButton::clicked, this, &Frm_Varlin::cmd_trend_Click);
    connect(m_leftoversHere, &QAction::triggered, this, [this] { m_logger.writeLeftoversHere(); });
}

void Frm_Varlin::Form_Load() {
    showSavePathAndPort();
    SB1->setPanelText(3, QStringLiteral("Wait..."));
    showRunState(false);
}

void Frm_Varlin::showSavePathAndPort() {
    m_dataLocation = QDir::toNativeSeparators(decodePath(varlin_def.SavePath));
    showPanel1();
    SB1->setPanelText(2, portPanelText());
}

void Frm_Varlin::showRunState(bool running) {
    Command1->setEnabled(!running);
    Command2->setEnabled(!running);
    Command3->setEnabled(!running);
    Command5->setEnabled(running);
}

void Frm_Varlin::Command1_Click() {
    if (!m_logger.startPressed())
        return;
    m_trend.beginRun(m_logger.clock().nowMs());
    showRunState(true);
}

void Frm_Varlin::Command4_Click() {
    if (!m_logger.running())
        return;
    showRunState(false);
    SB1->setPanelText(3, QStringLiteral("Stop..."));
    m_logger.stopPressed();
}

void Frm_Varlin::Command2_Click() {
    if (!m_settings) {
        auto* settings = new Frm_Savepath(this);
        connect(settings, &Frm_Savepath::panelTextChanged, this,
                &Frm_Varlin::showSettingsPanelText);
        settings->showPortDevices(m_logger.presentDevices());
        m_settings = settings;
    }
    m_settings->show();
    m_settings->raise();
    m_settings->activateWindow();
}

void Frm_Varlin::cmd_trend_Click() {
    if (!m_trendWindow)
        m_trendWindow = new Frm_Trend(
            m_trend, [this] { return m_logger.clock().nowMs(); }, this);
    m_trendWindow->show();
    m_trendWindow->raise();
    m_trendWindow->activateWindow();
}

void Frm_Varlin::Command3_Click() {
    endProgram();
}

void Frm_Varlin::Command5_Click() {
    m_logger.send(
        txt_send->text().toLatin1(),
        QByteArray(kLineEnds.at(static_cast<std::size_t>(cmb_send_end->currentIndex())).bytes));
}

void Frm_Varlin::setStateText(const QString& text) {
    SB1->setPanelText(3, text);
}

void Frm_Varlin::showRecord(const QByteArray& record) {
    // A record after a quiet spell shows at once; those that follow it within the pace wait,
    // and only the latest of them is shown when the pace ends.
    m_latestRecord = record;
    m_recordWaiting = true;
    if (!m_recordPace.isActive())
        showLatestRecord();
}

void Frm_Varlin::traceRecord(const QByteArray& text, qint64 arrivalMs) {
    m_trend.take(text, arrivalMs == CommPort::kNoArrival ? m_logger.clock().nowMs() : arrivalMs);
}

void Frm_Varlin::showLatestRecord() {
    if (!m_recordWaiting)
        return;
    m_recordWaiting = false;
    txt_meas[0]->setText(recordText(m_latestRecord));
    txt_meas[0]->setCursorPosition(0);
    m_recordPace.start();
}

void Frm_Varlin::setTitleText(const QString& text) {
    lbl_title->setText(text);
}

void Frm_Varlin::showPortDevice(const QString& description) {
    // A device named by its path may have become another port number at START.
    if (!varlin_def.PortPath.isEmpty())
        SB1->setPanelText(2, portPanelText());
    m_portDevice = description;
    showPanel2Tip();
}

void Frm_Varlin::showAsking(const QString& word) {
    m_askingWord = word;
    showPanel2Tip();
}

void Frm_Varlin::showPanel2Tip() {
    QString tip = m_portDevice;
    if (!m_askingWord.isEmpty())
        tip += (tip.isEmpty() ? QString() : QStringLiteral("\n")) + m_askingWord;
    SB1->setPanelToolTip(2, tip);
}

void Frm_Varlin::showFolderShared(bool shared) {
    m_folderShared = shared;
    showPanel1();
}

void Frm_Varlin::showStorageState(const QString& word) {
    m_storageWord = word;
    showPanel1();
}

void Frm_Varlin::showLeftoversWaiting(bool waiting) {
    m_leftoversHere->setVisible(waiting);
    showPanel1();
}

void Frm_Varlin::showPanel1() {
    // Beside the folder, rather than in lbl_title: the next line event would blank it there
    // while it is still true.
    QString word = m_storageWord;
    if (word.isEmpty() && m_folderShared)
        word = QStringLiteral("Another logger writes to this folder");
    SB1->setPanelText(1, word.isEmpty() ? m_dataLocation : word);
    QString tip;
    if (!m_storageWord.isEmpty())
        tip = QStringLiteral("Data folder %1: %2.").arg(m_dataLocation, m_storageWord);
    if (m_leftoversHere->isVisible())
        tip += QStringLiteral("\nIf that folder is gone for good, right-click here to write them "
                              "into the data folder, each into the file of its own day or hour.");
    if (m_folderShared)
        tip += QStringLiteral("%1Another logger of this account records into %2 too: both "
                              "write into the same data files.")
                   .arg(tip.isEmpty() ? QString() : QStringLiteral("\n"), m_dataLocation);
    if (const QString csv = csvCopyTip(m_dataLocation); !csv.isEmpty())
        tip += (tip.isEmpty() ? QString() : QStringLiteral("\n")) + csv;
    SB1->setPanelToolTip(1, tip);
}

void Frm_Varlin::showSettingsPanelText(int panel, const QString& text) {
    if (panel == 1) {
        m_dataLocation = text;
        showPanel1();
        return;
    }
    // The device COMn was at the last START is no longer what panel 2 names.
    if (panel == 2 && text != SB1->panelText(2)) {
        m_portDevice.clear();
        showPanel2Tip();
    }
    SB1->setPanelText(panel, text);
}

void Frm_Varlin::endSession() {
    m_endedBySession = true;
    endProgram();
}

void Frm_Varlin::endProgram() {
    m_ending = true;
    close();
    m_endProcess();
}

bool Frm_Varlin::event(QEvent* event) {
    if (event->type() == QEvent::WindowActivate)
        m_logger.beginLoop();
    return QWidget::event(event);
}

void Frm_Varlin::showEvent(QShowEvent* event) {
    // Some platforms never activate a window; being shown is enough to start receiving.
    QWidget::showEvent(event);
    m_logger.beginLoop();
}

void Frm_Varlin::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    SB1->setGeometry(0, height() - SB1->height(), width(), SB1->height());
}

void Frm_Varlin::closeEvent(QCloseEvent* event) {
    // The loop never runs on without its window, nor leaves the port open or records
    // unwritten behind it. Every way out (END, the close box, the end sequence, a signal to
    // end the session) comes through here.
    // At a logout or shutdown the system is told what it waits for, as long as it waits (no
    // longer than the folder is given).
    const quintptr window = m_endedBySession ? static_cast<quintptr>(winId()) : 0;
    const bool told =
        window != 0 && m_shutdownReason->set(window, QStringLiteral("Writing the last records"));
    m_logger.finish(!m_endedBySession);
    if (told)
        m_shutdownReason->clear(window);
    event->accept();
    if (m_ending)
        return;
    // The close box ends the program just as END does.
    m_ending = true;
    hide();
    m_endProcess();
}
