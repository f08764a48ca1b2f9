// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/frm_savepath.h"

#include "acquisition/core/line_ends.h"
#include "acquisition/core/setting_values.h"
#include "acquisition/core/varlin_def.h"
#include "acquisition/platform/platform_files.h"
#include "acquisition/platform/serial_device.h"
#include "acquisition/storage/spreadsheet_copy.h"
#include "ui/drive_list.h"
#include "ui/folder_list.h"
#include "ui/fonts.h"
#include "ui/status_bar.h"
#include "ui/twips.h"

#include <QAbstractItemView>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

#include <QLocale>

#include <cmath>
#include <optional>
#include <string_view>

namespace {

// The frames for asking the instrument and for the spreadsheet copy lie below the window's
// first 3675 twips.
constexpr QSize kClientTwips{6240, 6090};

// Every control's place in twips, relative to its container (window or frame).
constexpr std::array kPlacements{
    Placement{"Frame1", 120, 120, 3135, 735},
    Placement{"Check1", 360, 360, 1335, 255},
    Placement{"Check3", 1680, 360, 1215, 255},
    Placement{"Frame2", 120, 960, 3135, 855},
    Placement{"cmb1", 480, 360, 975, 300},
    Placement{"cmb2", 1680, 360, 1335, 300},
    Placement{"Frame3", 120, 1920, 3135, 855},
    Placement{"Text1", 480, 360, 2535, 270},
    Placement{"frm4", 120, 2880, 3135, 735},
    Placement{"Option1_0", 360, 360, 855, 255},
    Placement{"Option1_1", 1440, 360, 855, 255},
    Placement{"Label1", 3480, 120, 1215, 255},
    Placement{"Drive1", 3480, 360, 2655, 300},
    Placement{"Dir1", 3480, 720, 2655, 1980},
    Placement{"Command1", 4320, 3120, 1575, 375},
    Placement{"frm_ask", 120, 3720, 6000, 900},
    Placement{"chk_ask", 240, 330, 660, 255},
    Placement{"txt_ask_command", 960, 330, 1680, 270},
    Placement{"cmb_ask_end", 2760, 315, 900, 300},
    Placement{"lbl_ask_every", 3780, 345, 540, 255},
    Placement{"txt_ask_interval", 4320, 330, 780, 270},
    Placement{"lbl_ask_seconds", 5160, 345, 300, 255},
    Placement{"lbl_ask_word", 240, 630, 5640, 225},
    Placement{"frm_csv", 120, 4740, 6000, 1230},
    Placement{"chk_csv", 240, 330, 5640, 255},
    Placement{"lbl_csv_numbers", 240, 675, 1140, 255},
    Placement{"cmb_csv_numbers", 1380, 645, 600, 300},
    Placement{"lbl_csv_dialect", 2160, 675, 2220, 255},
    Placement{"cmb_csv_dialect", 4440, 645, 1200, 300},
    Placement{"lbl_csv_word", 240, 960, 5640, 225},
};

template <typename W> W* placed(QWidget* container, std::string_view name) {
    auto* widget = new W(container);
    widget->setObjectName(QString::fromLatin1(name.data(), static_cast<qsizetype>(name.size())));
    place(widget, kPlacements);
    return widget;
}

template <typename W> W* placed(QWidget* container, std::string_view name, const char* caption) {
    W* widget = placed<W>(container, name);
    widget->setText(QString::fromLatin1(caption));
    return widget;
}

QGroupBox* frame(QWidget* window, std::string_view name, const char* caption) {
    auto* box = placed<QGroupBox>(window, name);
    box->setTitle(QString::fromLatin1(caption));
    return box;
}

// A free-text box with suggestions: typed text is never completed, added to the list or matched.
QComboBox* suggestionBox(QWidget* container, std::string_view name) {
    auto* box = placed<QComboBox>(container, name);
    box->setEditable(true);
    box->setCompleter(nullptr);
    box->setInsertPolicy(QComboBox::NoInsert);
    return box;
}

// Qt picks the first entry when an empty list gains items; the box must keep showing `text`.
void fillKeepingText(QComboBox* box, const QString& text, const QStringList& entries) {
    box->setEditText(text);
    box->addItems(entries);
    box->setCurrentIndex(-1);
    box->setEditText(text);
}

// Only the last character names the port, so "COM12" is port 2. A text ending in anything but
// a digit would name no port at all; the caller then keeps the port it had.
std::optional<int16_t> portFromLastCharacter(const QString& text) {
    if (text.isEmpty())
        return std::nullopt;
    const char16_t last = text.back().unicode();
    if (last < u'0' || last > u'9')
        return std::nullopt;
    return static_cast<int16_t>(last - u'0');
}

int16_t flag(bool on) {
    return on ? kTrue : kFalse;
}

// The spreadsheet copy's dialect as the operator picks it: its field separator and its
// decimal mark.
QString csvDialectName(bool decimalComma) {
    return decimalComma ? QStringLiteral("; and ,") : QStringLiteral(", and .");
}

} // namespace

Frm_Savepath::Frm_Savepath(QWidget* parent)
    : QWidget(parent, Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint) {
    setAttribute(Qt::WA_DeleteOnClose);
    setObjectName(QStringLiteral("Frm_Savepath"));
    setWindowTitle(QStringLiteral("Setting"));
    setWindowIcon(QIcon(QStringLiteral(":/icons/savepath.png")));
    setFixedSize(kClientTwips / kTwipsPerPixel);
    setFont(dialogFont());
    buildLeftColumn();
    buildRightColumn();
    buildAskFrame();
    buildCsvFrame();
    setTabOrderFromIndexes();
    connect(Check1, &QCheckBox::toggled, this, &Frm_Savepath::Check1_Click);
    connect(Drive1, &DriveList::driveChanged, this, &Frm_Savepath::Drive1_Change);
    connect(Dir1, &FolderList::folderOpened, this, [this] { m_folderChosen = true; });
    connect(Command1, &QPushButton::clicked, this, &Frm_Savepath::Command1_Click);
    Form_Load();
}

void Frm_Savepath::buildLeftColumn() {
    Frame1 = frame(this, "Frame1", "Save Data");
    Check1 = placed<QCheckBox>(Frame1, "Check1", "Date/Time");
    Check3 = placed<QCheckBox>(Frame1, "Check3", "Mili Second");
    Frame2 = frame(this, "Frame2", "COM Port");
    cmb1 = suggestionBox(Frame2, "cmb1");
    cmb1->setEditText(QStringLiteral("COM1"));
    cmb2 = suggestionBox(Frame2, "cmb2");
    cmb2->setEditText(QStringLiteral("9600"));
    Frame3 = frame(this, "Frame3", "File Comment");
    Text1 = placed<QLineEdit>(Frame3, "Text1", "Morva");
    frm4 = frame(this, "frm4", "File Save Interval");
    Option1[0] = placed<QRadioButton>(frm4, "Option1_0", "Date");
    Option1[1] = placed<QRadioButton>(frm4, "Option1_1", "Hour");
    Option1[0]->setChecked(true);
}

void Frm_Savepath::buildRightColumn() {
    Label1 = placed<QLabel>(this, "Label1", "Data Save Path");
    Drive1 = placed<DriveList>(this, "Drive1");
    Dir1 = placed<FolderList>(this, "Dir1");
    // A plain window has no default button, so Enter and Esc never reach "Close".
    Command1 = placed<QPushButton>(this, "Command1", "Close");
    Command1->setAutoDefault(false);
}

void Frm_Savepath::buildAskFrame() {
    frm_ask = frame(this, "frm_ask", "Ask instrument");
    chk_ask = placed<QCheckBox>(frm_ask, "chk_ask", "Ask");
    chk_ask->setToolTip(QStringLiteral("While receiving, send the command at the interval: for "
                                       "an instrument that prints a reading only when asked"));
    txt_ask_command = placed<QLineEdit>(frm_ask, "txt_ask_command");
    txt_ask_command->setToolTip(QStringLiteral("The command, such as P, SI, Q or PRT"));
    cmb_ask_end = placed<QComboBox>(frm_ask, "cmb_ask_end");
    for (const LineEnd& end : kLineEnds)
        cmb_ask_end->addItem(QLatin1String(end.name));
    cmb_ask_end->view()->setMinimumWidth(cmb_ask_end->view()->sizeHintForColumn(0) + 8);
    lbl_ask_every = placed<QLabel>(frm_ask, "lbl_ask_every", "every");
    txt_ask_interval = placed<QLineEdit>(frm_ask, "txt_ask_interval");
    txt_ask_interval->setToolTip(QStringLiteral("Seconds between two asks, 0.1 to 86400"));
    lbl_ask_seconds = placed<QLabel>(frm_ask, "lbl_ask_seconds", "s");
    lbl_ask_word = placed<QLabel>(frm_ask, "lbl_ask_word");
    lbl_ask_word->setStyleSheet(QStringLiteral("color: #b00000"));
}

void Frm_Savepath::buildCsvFrame() {
    frm_csv = frame(this, "frm_csv", "Spreadsheet copy (CSV)");
    chk_csv = placed<QCheckBox>(frm_csv, "chk_csv", "Write a CSV beside each data file");
    chk_csv->setToolTip(QStringLiteral(
        "YYYYMMDD.csv beside YYYYMMDD.txt: a row per record with its date, time, values, units "
        "and text, for a spreadsheet to open. The data file stays as it is"));
    lbl_csv_numbers = placed<QLabel>(frm_csv, "lbl_csv_numbers", "Values per row");
    cmb_csv_numbers = suggestionBox(frm_csv, "cmb_csv_numbers");
    cmb_csv_numbers->setToolTip(QStringLiteral(
        "How many numbers of each record get columns of their own, with their units: 1 to 8"));
    lbl_csv_numbers->setBuddy(cmb_csv_numbers);
    lbl_csv_dialect = placed<QLabel>(frm_csv, "lbl_csv_dialect", "Separator and decimal mark");
    cmb_csv_dialect = placed<QComboBox>(frm_csv, "cmb_csv_dialect");
    cmb_csv_dialect->addItems({csvDialectName(false), csvDialectName(true)});
    cmb_csv_dialect->setToolTip(
        QStringLiteral(", and . for a spreadsheet that reads 1.5 as a number (English);\n"
                       "; and , for one that reads 1,5 (German, French, ...)"));
    lbl_csv_dialect->setBuddy(cmb_csv_dialect);
    lbl_csv_word = placed<QLabel>(frm_csv, "lbl_csv_word");
    lbl_csv_word->setStyleSheet(QStringLiteral("color: #b00000"));
}

void Frm_Savepath::setTabOrderFromIndexes() {
    const auto order =
        std::to_array<QWidget*>({Drive1, Dir1, Command1, cmb1, Check3, cmb2, Text1, Check1,
                                 Option1[0], Option1[1], chk_ask, txt_ask_command, cmb_ask_end,
                                 txt_ask_interval, chk_csv, cmb_csv_numbers, cmb_csv_dialect});
    for (std::size_t i = 1; i < order.size(); ++i)
        setTabOrder(order.at(i - 1), order.at(i));
    Drive1->setFocus();
}

void Frm_Savepath::showPortDevices(const QList<SerialDevice>& present) {
    for (int i = 0; i < cmb1->count(); ++i) {
        const auto port = portFromLastCharacter(cmb1->itemText(i));
        const SerialDevice device = port ? present.value(*port - 1) : SerialDevice();
        cmb1->setItemData(i,
                          device.path.isEmpty() ? QStringLiteral("No device") : device.description,
                          Qt::ToolTipRole);
    }
}

void Frm_Savepath::Form_Load() {
    const QString savePath = decodePath(varlin_def.SavePath);
    Drive1->selectDriveOf(savePath);
    Dir1->setCurrentFolder(savePath);
    m_folderChosen = false; // what the load shows is no choice of the operator's
    m_portShown = QStringLiteral("COM%1").arg(varlin_def.PortNumber);
    fillKeepingText(cmb1, m_portShown,
                    {QStringLiteral("COM1"), QStringLiteral("COM2"), QStringLiteral("COM3"),
                     QStringLiteral("COM4"), QStringLiteral("COM5")});
    fillKeepingText(cmb2, QString::fromLatin1(varlin_def.BaudRate),
                    {QStringLiteral("4800"), QStringLiteral("9600"), QStringLiteral("14400"),
                     QStringLiteral("38400")});
    if (varlin_def.StampDateTime == kTrue)
        Check1->setChecked(true);
    if (varlin_def.StampMillis == kTrue)
        Check3->setChecked(true);
    if (!varlin_def.FileComment.isEmpty())
        Text1->setText(QString::fromUtf8(varlin_def.FileComment));
    Option1[varlin_def.HourlyFiles != kFalse ? 1 : 0]->setChecked(true);
    chk_ask->setChecked(varlin_def.AskInstrument != kFalse);
    txt_ask_command->setText(QString::fromLatin1(varlin_def.AskCommand));
    for (std::size_t i = 0; i < kLineEnds.size(); ++i)
        if (varlin_def.AskLineEnd == kLineEnds.at(i).bytes)
            cmb_ask_end->setCurrentIndex(static_cast<int>(i));
    txt_ask_interval->setText(
        QString::number(static_cast<double>(varlin_def.AskIntervalMs) / 1000.0, 'g', 10));
    chk_csv->setChecked(varlin_def.CsvCopy != kFalse);
    QStringList counts;
    for (int n = 1; n <= CsvLayout::kMostNumbers; ++n)
        counts << QString::number(n);
    fillKeepingText(cmb_csv_numbers, QString::number(varlin_def.CsvNumbers), counts);
    cmb_csv_dialect->setCurrentIndex(varlin_def.CsvDecimalComma != kFalse ? 1 : 0);
}

void Frm_Savepath::Check1_Click(bool ticked) {
    if (ticked) {
        Check3->setEnabled(true);
    } else {
        Check3->setChecked(false);
        Check3->setEnabled(false);
    }
}

void Frm_Savepath::Drive1_Change(const QString& mountPoint) {
    Dir1->setCurrentFolder(mountPoint);
    m_folderChosen = true;
}

bool Frm_Savepath::refuse(QLineEdit* field, const QString& word) {
    QLineEdit* csvNumbers = cmb_csv_numbers->lineEdit();
    for (QLineEdit* each : {txt_ask_command, txt_ask_interval, csvNumbers})
        each->setStyleSheet(each == field ? QStringLiteral("background: #ffd8d8") : QString());
    // The reason stands in the frame of the field it is about.
    lbl_ask_word->setText(field == csvNumbers ? QString() : word);
    lbl_csv_word->setText(field == csvNumbers ? word : QString());
    if (!field)
        return false;
    field->setFocus();
    field->selectAll();
    return true;
}

void Frm_Savepath::Command1_Click() {
    // What cannot be used is refused before anything is applied, so the window stays as typed.
    const std::optional<qint64> intervalMs = askIntervalMs(txt_ask_interval->text());
    if (!intervalMs && refuse(txt_ask_interval,
                              QStringLiteral("Ask every: a number of seconds from 0.1 to 86400")))
        return;
    if (chk_ask->isChecked() && txt_ask_command->text().trimmed().isEmpty() &&
        refuse(txt_ask_command, QStringLiteral("Ask: type the command the instrument prints on")))
        return;
    const std::optional<int16_t> csvNumbers = csvNumbersTyped(cmb_csv_numbers->currentText());
    if (!csvNumbers && refuse(cmb_csv_numbers->lineEdit(),
                              QStringLiteral("Values per row: a whole number from 1 to 8")))
        return;
    refuse(nullptr, QString());
    // Dir1 shows a vanished SavePath's nearest parent; only a folder the operator chose
    // replaces it, so the data never moves elsewhere unasked.
    if (m_folderChosen)
        varlin_def.SavePath = encodePath(Dir1->currentFolder());
    // A device named by its path stays so named while the port is left as the load showed it.
    if (cmb1->currentText() != m_portShown || varlin_def.PortPath.isEmpty())
        if (const auto port = portFromLastCharacter(cmb1->currentText())) {
            varlin_def.PortNumber = *port;
            varlin_def.PortPath.clear();
        }
    varlin_def.BaudRate = cmb2->currentText().toLatin1();
    varlin_def.StampDateTime = flag(Check1->isChecked());
    varlin_def.StampMillis = flag(Check3->isChecked());
    // UTF-8, the code page of Linux desktops: the comment reaches the header as typed.
    varlin_def.FileComment = Text1->text().toUtf8();
    varlin_def.HourlyFiles = flag(!Option1[0]->isChecked());
    applyAsking(*intervalMs);
    applyCsvCopy(*csvNumbers);
    // Last, so that the main window's panels and their tooltips see every setting taken.
    Q_EMIT panelTextChanged(1, QDir::toNativeSeparators(decodePath(varlin_def.DataFilePath)));
    Q_EMIT panelTextChanged(2, portPanelText());
    close();
}

void Frm_Savepath::applyAsking(qint64 intervalMs) {
    varlin_def.AskInstrument = flag(chk_ask->isChecked());
    varlin_def.AskCommand = txt_ask_command->text().toLatin1();
    varlin_def.AskLineEnd =
        kLineEnds.at(static_cast<std::size_t>(cmb_ask_end->currentIndex())).bytes;
    varlin_def.AskIntervalMs = intervalMs;
}

void Frm_Savepath::applyCsvCopy(int16_t numbers) {
    varlin_def.CsvCopy = flag(chk_csv->isChecked());
    varlin_def.CsvNumbers = numbers;
    varlin_def.CsvDecimalComma = flag(cmb_csv_dialect->currentIndex() == 1);
}
