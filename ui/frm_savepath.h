// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QWidget>

#include <array>
#include <cstdint>

class DriveList;
class FolderList;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

/// The "Setting" window: edits a copy of the shared settings and writes them back, with status
/// bar panels 1 and 2, only when "Close" is clicked and what was typed holds. The close box
/// applies nothing.
struct SerialDevice;

class Frm_Savepath : public QWidget {
    Q_OBJECT
public:
    explicit Frm_Savepath(QWidget* parent = nullptr);

    /// Names the device behind each port the list offers, in its tooltip; `present` is in
    /// port order, COM1 first.
    void showPortDevices(const QList<SerialDevice>& present);

Q_SIGNALS:
    /// The new text of the main window's status bar panel `panel` (1 or 2), at "Close".
    void panelTextChanged(int panel, const QString& text);

private:
    void buildLeftColumn();
    void buildRightColumn();
    void buildAskFrame();
    void buildCsvFrame();
    bool refuse(QLineEdit* field, const QString& word);
    void setTabOrderFromIndexes();
    void Form_Load();
    void Check1_Click(bool ticked);
    void Drive1_Change(const QString& mountPoint);
    void Command1_Click();
    void applyAsking(qint64 intervalMs);
    void applyCsvCopy(int16_t numbers);

    bool m_folderChosen = false; // the operator opened a folder in Dir1 or changed the drive
    QString m_portShown;         // the port as the load showed it
    QGroupBox* Frame1 = nullptr;
    QCheckBox* Check1 = nullptr;
    QCheckBox* Check3 = nullptr;
    QGroupBox* Frame2 = nullptr;
    QComboBox* cmb1 = nullptr;
    QComboBox* cmb2 = nullptr;
    QGroupBox* Frame3 = nullptr;
    QLineEdit* Text1 = nullptr;
    QGroupBox* frm4 = nullptr;
    std::array<QRadioButton*, 2> Option1{};
    QLabel* Label1 = nullptr;
    DriveList* Drive1 = nullptr;
    FolderList* Dir1 = nullptr;
    QPushButton* Command1 = nullptr;
    // Asking a print-on-demand instrument, below the controls the window had before.
    QGroupBox* frm_ask = nullptr;
    QCheckBox* chk_ask = nullptr;
    QLineEdit* txt_ask_command = nullptr;
    QComboBox* cmb_ask_end = nullptr;
    QLabel* lbl_ask_every = nullptr;
    QLineEdit* txt_ask_interval = nullptr;
    QLabel* lbl_ask_seconds = nullptr;
    QLabel* lbl_ask_word = nullptr; // why "Close" refused what was typed
    // The spreadsheet copy beside each data file, below asking.
    QGroupBox* frm_csv = nullptr;
    QCheckBox* chk_csv = nullptr;
    QLabel* lbl_csv_numbers = nullptr;
    QComboBox* cmb_csv_numbers = nullptr;
    QLabel* lbl_csv_dialect = nullptr;
    QComboBox* cmb_csv_dialect = nullptr; // the first entry ", and .", the second "; and ,"
    QLabel* lbl_csv_word = nullptr;
};
