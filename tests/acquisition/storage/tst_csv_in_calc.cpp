// SPDX-License-Identifier: GPL-3.0-or-later
// The spreadsheet copy as a spreadsheet reads it. LibreOffice Calc, headless, opens each dialect
// in the language it is for (en-US: ',' and '.', de-DE: ';' and ','), with the import options a
// user gets on opening a CSV for the first time and the one the README asks for ("Detect special
// numbers", without which Calc reads no time), and saves what it read as flat ODS; every field
// must land in its column as what it stands for: the date a date, the time a time, each number a
// number, each unit and the record as the operator reads them.

#include "acquisition/core/reading_number.h"
#include "acquisition/storage/spreadsheet_copy.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>
#include <QXmlStreamReader>

#include <cmath>
#include <iterator>
#include <limits>

namespace {

constexpr double kNone = std::numeric_limits<double>::quiet_NaN();
// Calc's first start in a fresh profile takes seconds; a loaded machine, many more.
constexpr int kConversionMs = 240'000;

struct Expected {
    double value; // kNone: no number there
    QString unit;
};

struct Case {
    const char* name;
    QByteArray record;
    qsizetype lineFrom;
    LocalTime arrival;
    QList<Expected> readings;
};

const QList<Case>& cases() {
    static const QList<Case> all = {
        {"balance, stable", "ST,+0012.345 g", 0, {2026, 12, 9, 12, 5, 1, 123}, {{12.345, "g"}}},
        {"balance, settling below zero",
         "US,-0001.234 g",
         0,
         {2026, 12, 9, 12, 5, 1, 623},
         {{-1.234, "g"}}},
        // The simulated balance's noisy line: a tab, a NUL before the unit, a high byte.
        {"balance, noisy line",
         QByteArrayLiteral("ST,\t+0012.345\0 g\xE9"),
         0,
         {2026, 12, 9, 12, 5, 2, 124},
         {{12.345, ""}}},
        {"balance, sign apart from its digits",
         "ST,NT,+ 1.234kg",
         0,
         {2026, 12, 31, 23, 59, 59, 999},
         {{1.234, "kg"}}},
        {"balance, padded sign", "US,-   0.02 g", 0, {2027, 1, 1, 0, 0, 0, 0}, {{-0.02, "g"}}},
        {"pH meter, units after both",
         "7.01 pH 25.3 \xC2\xB0"
         "C",
         0,
         {2028, 2, 29, 9, 5, 7, 5},
         {{7.01, "pH"}, {25.3, "\u00B0C"}}},
        {"pH meter, degrees glued on",
         "pH 7.01 25.3\xC2\xB0"
         "C",
         0,
         {2026, 12, 9, 12, 5, 8, 10},
         {{7.01, ""}, {25.3, "\u00B0C"}}},
        {"Latin-1 degree sign",
         "25.3 \xB0"
         "C",
         0,
         {2026, 12, 9, 12, 5, 9, 100},
         {{25.3, "\u00B0C"}}},
        {"quotes and semicolons",
         "ID \"A\";12.5 g;tare \"T\";0.5 g",
         0,
         {2026, 12, 9, 12, 5, 10, 200},
         {{12.5, "g"}, {0.5, "g"}}},
        {"no number", "Error: overload", 0, {2026, 12, 9, 12, 5, 11, 300}, {}},
        {"a number alone", "+0023.450", 0, {2026, 12, 9, 12, 5, 11, 350}, {{23.45, ""}}},
        {"a formula's look", "=1+2", 0, {2026, 12, 9, 12, 5, 12, 400}, {{1, ""}, {2, ""}}},
        {"after the logger's stamp",
         "2026/12/09,12:05:01.123,ST,+0012.345 g",
         24,
         {2026, 12, 9, 12, 5, 13, 500},
         {{12.345, "g"}}},
        {"exponent", "+1.2345E-03 mS/cm", 0, {2026, 12, 9, 12, 5, 14, 600}, {{0.0012345, "mS/cm"}}},
        {"decimal comma from the instrument",
         "12,5 %",
         0,
         {2026, 12, 9, 12, 5, 15, 700},
         {{12.5, "%"}}},
        {"Japanese unit",
         "12.5 \xE3\x82\xB0\xE3\x83\xA9\xE3\x83\xA0",
         0,
         {2026, 12, 9, 12, 5, 16, 800},
         {{12.5, "\u30B0\u30E9\u30E0"}}},
        // An instrument that ends its lines with LF alone: two readings in one record.
        {"line feed inside",
         "ST,+0012.345 g\nST,+0012.346 g",
         0,
         {2026, 12, 9, 12, 5, 17, 900},
         {{12.345, "g"}, {12.346, "g"}}},
    };
    return all;
}

struct Dialect {
    const char* name;
    CsvLayout layout;
    int language; // Calc's language code: what its number recognition follows
    char separator;
};

const Dialect kDialects[] = {
    {"en-US", {2, false}, 1033, ','},
    {"de-DE", {2, true}, 1031, ';'},
};

// A cell of the flat ODS Calc saved.
struct Cell {
    QString type;  // office:value-type; empty in an empty cell
    QString value; // office:value, office:date-value or office:time-value
    QString text;  // its paragraphs, joined by LF
    bool formula = false;
    bool isEmpty() const { return type.isEmpty() && text.isEmpty(); }
};
using Row = QList<Cell>;
using Sheet = QList<Row>;

QString describe(const Cell& cell) {
    return QStringLiteral("Calc read type \"%1\", value \"%2\"%3, shown as \"%4\"")
        .arg(cell.type, cell.value, cell.formula ? QStringLiteral(", a formula") : QString(),
             cell.text);
}

const QString kOfficeNs = QStringLiteral("urn:oasis:names:tc:opendocument:xmlns:office:1.0");
const QString kTableNs = QStringLiteral("urn:oasis:names:tc:opendocument:xmlns:table:1.0");
const QString kTextNs = QStringLiteral("urn:oasis:names:tc:opendocument:xmlns:text:1.0");
const QString kRegistryNs = QStringLiteral("http://openoffice.org/2001/registry");

// The text up to the end of the element the reader is in, with ODF's spaces, tabs and line
// breaks written out.
void readText(QXmlStreamReader& xml, QString& out) {
    while (!xml.atEnd()) {
        xml.readNext();
        if (xml.isEndElement())
            return;
        if (xml.isCharacters()) {
            out += xml.text();
        } else if (xml.isStartElement()) {
            const bool text = xml.namespaceUri() == kTextNs;
            if (text && xml.name() == u"s") {
                const QStringView count = xml.attributes().value(kTextNs, QStringLiteral("c"));
                out += QString(count.isEmpty() ? 1 : count.toInt(), u' ');
            } else if (text && xml.name() == u"tab") {
                out += u'\t';
            } else if (text && xml.name() == u"line-break") {
                out += u'\n';
            }
            readText(xml, out);
        }
    }
}

Cell readCell(QXmlStreamReader& xml) {
    const QXmlStreamAttributes attributes = xml.attributes();
    Cell cell;
    cell.type = attributes.value(kOfficeNs, QStringLiteral("value-type")).toString();
    for (const QString& name : {QStringLiteral("value"), QStringLiteral("date-value"),
                                QStringLiteral("time-value"), QStringLiteral("boolean-value")})
        if (attributes.hasAttribute(kOfficeNs, name))
            cell.value = attributes.value(kOfficeNs, name).toString();
    cell.formula = attributes.hasAttribute(kTableNs, QStringLiteral("formula"));
    QStringList paragraphs;
    while (xml.readNextStartElement()) {
        if (xml.namespaceUri() == kTextNs && xml.name() == u"p") {
            paragraphs << QString();
            readText(xml, paragraphs.last());
        } else {
            xml.skipCurrentElement();
        }
    }
    cell.text = paragraphs.join(u'\n');
    return cell;
}

int repeats(const QXmlStreamAttributes& attributes, const QString& name) {
    const QStringView count = attributes.value(kTableNs, name);
    return count.isEmpty() ? 1 : count.toInt();
}

// A row's cells up to its last one that holds something: the sheet's width pads the others.
Row readRow(QXmlStreamReader& xml) {
    Row row;
    qsizetype emptyRun = 0;
    while (xml.readNextStartElement()) {
        const int count = repeats(xml.attributes(), QStringLiteral("number-columns-repeated"));
        const Cell cell = readCell(xml);
        if (cell.isEmpty()) {
            emptyRun += count;
            continue;
        }
        row.append(Row(emptyRun, Cell{}));
        emptyRun = 0;
        row.append(Row(count, cell));
    }
    return row;
}

// The first sheet of a flat ODS file, its empty rows left out.
bool readSheet(const QString& path, Sheet& sheet, QString& why) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        why = path + QStringLiteral(": ") + file.errorString();
        return false;
    }
    QXmlStreamReader xml(&file);
    while (!xml.atEnd()) {
        xml.readNext();
        if (xml.namespaceUri() != kTableNs)
            continue;
        if (xml.isEndElement() && xml.name() == u"table")
            break;
        if (!xml.isStartElement() || xml.name() != u"table-row")
            continue;
        const int count = repeats(xml.attributes(), QStringLiteral("number-rows-repeated"));
        const Row row = readRow(xml);
        if (!row.isEmpty())
            sheet.append(QList<Row>(count, row));
    }
    why = path + QStringLiteral(": ") + xml.errorString();
    return !xml.hasError();
}

// What Calc's text import offers a user opening a CSV the first time: its CSVImport settings
// as the registry it was installed with sets them.
struct ImportDefaults {
    QString separators;
    bool detectSeparator = false; // the separator found by Calc itself, in newer versions
    bool quotedAsText = false;
    bool evaluateFormulas = false;
    bool found = false;
};

void readImportGroup(QXmlStreamReader& xml, ImportDefaults& defaults) {
    defaults.found = true;
    while (xml.readNextStartElement()) {
        const QString name = xml.attributes().value(kRegistryNs, QStringLiteral("name")).toString();
        QString value;
        while (xml.readNextStartElement()) {
            if (xml.name() == u"value")
                value = xml.readElementText();
            else
                xml.skipCurrentElement();
        }
        const bool on = value == u"true";
        if (name == u"Separators")
            defaults.separators = value;
        else if (name == u"SeparatorType")
            defaults.detectSeparator = value == u"2";
        else if (name == u"QuotedFieldAsText")
            defaults.quotedAsText = on;
        else if (name == u"EvaluateFormulas")
            defaults.evaluateFormulas = on;
    }
}

bool readImportDefaults(const QString& soffice, ImportDefaults& defaults, QString& why) {
    const QDir registry(QFileInfo(QFileInfo(soffice).canonicalFilePath())
                            .dir()
                            .filePath(QStringLiteral("../share/registry")));
    for (const QString& name : registry.entryList({QStringLiteral("*.xcd")}, QDir::Files)) {
        QFile file(registry.filePath(name));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        QXmlStreamReader xml(&file);
        while (!xml.atEnd() && !defaults.found) {
            xml.readNext();
            if (xml.isStartElement() && xml.name() == u"group" &&
                xml.attributes().value(kRegistryNs, QStringLiteral("name")) == u"CSVImport")
                readImportGroup(xml, defaults);
        }
        if (defaults.found)
            return true;
    }
    why = QStringLiteral("no CSVImport settings in ") + registry.absolutePath();
    return false;
}

// The import filter's options: separators, quote, UTF-8 (which the byte-order mark names),
// first row, no column types, language, quoted field as text, detect special numbers, two
// export tokens, trim spaces, an export token, evaluate formulas, an export token, detect
// numbers in scientific notation. A missing token is not the dialog's default but "on".
QString filterFor(const ImportDefaults& defaults, const Dialect& dialect) {
    const QString separators = defaults.detectSeparator
                                   ? QString(QChar::fromLatin1(dialect.separator))
                                   : defaults.separators;
    QStringList codes;
    for (const QChar c : separators)
        codes << QString::number(c.unicode());
    const auto flag = [](bool on) { return on ? QStringLiteral("true") : QStringLiteral("false"); };
    const QStringList tokens = {
        codes.join(u'/'),
        QStringLiteral("34"),
        QStringLiteral("76"),
        QStringLiteral("1"),
        QString(),
        QString::number(dialect.language),
        flag(defaults.quotedAsText),
        flag(true), // "Detect special numbers": the README's one step in Calc's import dialog
        flag(false),
        flag(false),
        flag(false),
        QStringLiteral("0"),
        flag(defaults.evaluateFormulas),
        flag(false),
        flag(true),
    };
    return QStringLiteral("Text - txt - csv (StarCalc):") + tokens.join(u',');
}

QByteArray csvFile(const Dialect& dialect) {
    QByteArray csv = csvHeader(dialect.layout);
    for (const Case& c : cases())
        csv += csvRow(dialect.layout, c.arrival, c.record, c.lineFrom) + "\r\n";
    return csv;
}

QString isoDate(const LocalTime& t) {
    return QString::asprintf("%04d-%02d-%02d", t.year, t.month, t.day);
}

qint64 msOfDay(const LocalTime& t) {
    return ((t.hour * 60LL + t.minute) * 60 + t.second) * 1000 + t.msec;
}

// "PT12H05M01.123S", or the time of "2026-12-09T12:05:01.12"; -1 when neither.
qint64 msOfDay(const Cell& cell) {
    QString value = cell.value;
    if (cell.type == u"time" && value.startsWith(u"PT") && value.endsWith(u'S')) {
        value = value.mid(2).chopped(1).replace(u'H', u':').replace(u'M', u':');
    } else if (cell.type == u"date" && value.contains(u'T')) {
        value = value.sliced(value.indexOf(u'T') + 1);
    } else {
        return -1;
    }
    const QStringList parts = value.split(u':');
    if (parts.size() != 3)
        return -1;
    const double seconds =
        (parts[0].toDouble() * 60 + parts[1].toDouble()) * 60 + parts[2].toDouble();
    return std::llround(seconds * 1000);
}

} // namespace

class TestCsvInCalc : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    Sheet m_sheets[std::size(kDialects)];

    bool convert(const QString& soffice, const QString& filter, const QString& csv, QString& why) {
        QProcess office;
        office.setProcessChannelMode(QProcess::MergedChannels);
        office.start(soffice,
                     {QStringLiteral("--headless"), QStringLiteral("--norestore"),
                      QStringLiteral("-env:UserInstallation=") +
                          QUrl::fromLocalFile(m_dir.filePath(QStringLiteral("profile"))).toString(),
                      QStringLiteral("--infilter=") + filter, QStringLiteral("--convert-to"),
                      QStringLiteral("fods"), QStringLiteral("--outdir"), m_dir.path(), csv});
        const bool finished = office.waitForFinished(kConversionMs);
        why = QStringLiteral("soffice %1: %2")
                  .arg(finished ? QStringLiteral("exited with %1").arg(office.exitCode())
                                : QStringLiteral("did not finish"),
                       QString::fromLocal8Bit(office.readAll()));
        if (!finished)
            office.kill();
        // soffice says so on its output, and exits with 0, when it could not load a file.
        return finished && office.exitStatus() == QProcess::NormalExit && office.exitCode() == 0 &&
               QFileInfo::exists(QFileInfo(csv).dir().filePath(QFileInfo(csv).completeBaseName() +
                                                               QStringLiteral(".fods")));
    }

    static void addRecordRows() {
        QTest::addColumn<int>("dialect");
        QTest::addColumn<int>("which");
        for (int d = 0; d < int(std::size(kDialects)); ++d)
            for (int i = 0; i < cases().size(); ++i)
                QTest::addRow("%s: %s", kDialects[d].name, cases()[i].name) << d << i;
    }

    // The row of record `which`; empty when Calc made fewer rows.
    Row rowOf(int dialect, int which) const { return m_sheets[dialect].value(1 + which); }
    static Cell cellAt(const Row& row, qsizetype column) {
        return column < row.size() ? row[column] : Cell{};
    }
    static qsizetype recordColumn(const Dialect& dialect) {
        return 2 + 2 * qsizetype(dialect.layout.numbers);
    }

private Q_SLOTS:
    void initTestCase() {
        const QString soffice = QStandardPaths::findExecutable(QStringLiteral("soffice"));
        if (soffice.isEmpty()) {
            const char* why = "LibreOffice (soffice) is not installed: setup.sh test installs "
                              "libreoffice-calc-nogui";
            if (qEnvironmentVariableIntValue("TESSALINE_RIG_REQUIRED") != 0)
                QFAIL(why);
            QSKIP(why);
        }
        QVERIFY(m_dir.isValid());
        ImportDefaults defaults;
        QString why;
        QVERIFY2(readImportDefaults(soffice, defaults, why), qPrintable(why));
        for (qsizetype d = 0; d < qsizetype(std::size(kDialects)); ++d) {
            const Dialect& dialect = kDialects[d];
            const QString csv =
                m_dir.filePath(QString::fromLatin1(dialect.name) + QStringLiteral(".csv"));
            QFile file(csv);
            QVERIFY(file.open(QIODevice::WriteOnly));
            QVERIFY(file.write(csvFile(dialect)) > 0);
            file.close();
            const QString filter = filterFor(defaults, dialect);
            qInfo("%s: %s", dialect.name, qPrintable(filter));
            QVERIFY2(convert(soffice, filter, csv, why), qPrintable(why));
            const QString fods =
                m_dir.filePath(QString::fromLatin1(dialect.name) + QStringLiteral(".fods"));
            QVERIFY2(readSheet(fods, m_sheets[d], why), qPrintable(why));
        }
    }

    // The byte-order mark names the encoding and is no part of the first name.
    void header_data() {
        QTest::addColumn<int>("dialect");
        for (int d = 0; d < int(std::size(kDialects)); ++d)
            QTest::newRow(kDialects[d].name) << d;
    }
    void header() {
        QFETCH(int, dialect);
        const QStringList names = {QStringLiteral("date"),    QStringLiteral("time"),
                                   QStringLiteral("value 1"), QStringLiteral("unit 1"),
                                   QStringLiteral("value 2"), QStringLiteral("unit 2"),
                                   QStringLiteral("record")};
        QVERIFY(!m_sheets[dialect].isEmpty());
        const Row& row = m_sheets[dialect].first();
        QCOMPARE(row.size(), names.size());
        for (qsizetype i = 0; i < names.size(); ++i) {
            QVERIFY2(row[i].type == u"string", qPrintable(describe(row[i])));
            QCOMPARE(row[i].text, names[i]);
        }
    }

    // One row per record, none split and none merged, each field in its own column.
    void oneRowPerRecord_data() { addRecordRows(); }
    void oneRowPerRecord() {
        QFETCH(int, dialect);
        QFETCH(int, which);
        QCOMPARE(m_sheets[dialect].size(), 1 + cases().size());
        const Row row = rowOf(dialect, which);
        QStringList seen;
        for (const Cell& cell : row)
            seen << cell.text;
        QVERIFY2(row.size() == recordColumn(kDialects[dialect]) + 1,
                 qPrintable(QStringLiteral("the row's fields: ") + seen.join(u" | ")));
    }

    // ISO dates and times with milliseconds, read as a date and a time (or a date and time).
    void dateAndTime_data() { addRecordRows(); }
    void dateAndTime() {
        QFETCH(int, dialect);
        QFETCH(int, which);
        const LocalTime& arrival = cases()[which].arrival;
        const Row row = rowOf(dialect, which);
        const Cell date = cellAt(row, 0);
        QVERIFY2(date.type == u"date", qPrintable(describe(date)));
        QCOMPARE(date.value.left(10), isoDate(arrival));
        const Cell time = cellAt(row, 1);
        QVERIFY2(time.type == u"time" || (time.type == u"date" && time.value.contains(u'T')),
                 qPrintable(describe(time)));
        // Flat ODS writes a date and time to the hundredth of a second, a time to the
        // millisecond.
        const qint64 slack = time.type == u"time" ? 0 : 5;
        QVERIFY2(std::abs(msOfDay(time) - msOfDay(arrival)) <= slack, qPrintable(describe(time)));
    }

    // Each number a number of the value it was printed with, its unit the text beside it.
    void numbersAndUnits_data() { addRecordRows(); }
    void numbersAndUnits() {
        QFETCH(int, dialect);
        QFETCH(int, which);
        const Case& c = cases()[which];
        const Row row = rowOf(dialect, which);
        for (int i = 0; i < kDialects[dialect].layout.numbers; ++i) {
            const Expected expected = i < c.readings.size() ? c.readings[i] : Expected{kNone, {}};
            const Cell value = cellAt(row, 2 + 2 * i);
            const Cell unit = cellAt(row, 3 + 2 * i);
            if (std::isnan(expected.value)) {
                QVERIFY2(value.isEmpty(), qPrintable(describe(value)));
            } else {
                QVERIFY2(value.type == u"float", qPrintable(describe(value)));
                QCOMPARE(value.value.toDouble(), expected.value);
            }
            if (expected.unit.isEmpty()) {
                QVERIFY2(unit.isEmpty(), qPrintable(describe(unit)));
            } else {
                QVERIFY2(unit.type == u"string", qPrintable(describe(unit)));
                QCOMPARE(unit.text, expected.unit);
            }
        }
    }

    // The record is text, never a formula, as the operator reads it: UTF-8 when it is, Latin-1
    // when not. A cell holds no NUL (XML cannot carry one), so Calc leaves it out.
    void recordText_data() { addRecordRows(); }
    void recordText() {
        QFETCH(int, dialect);
        QFETCH(int, which);
        // Quotes do not keep Calc from taking a record that is a number alone, or a percentage,
        // for a number (in German, +0023.450 for 23450): its value stands in value 1, as the
        // README says.
        QByteArray bare = cases()[which].record.trimmed();
        if (bare.endsWith('%'))
            bare = bare.chopped(1).trimmed().replace(',', '.');
        bool numberAlone = false;
        bare.toDouble(&numberAlone);
        if (numberAlone)
            QSKIP("a record that is a number alone is a number to Calc");
        const Cell cell = cellAt(rowOf(dialect, which), recordColumn(kDialects[dialect]));
        QVERIFY2(cell.type == u"string" && !cell.formula, qPrintable(describe(cell)));
        QCOMPARE(cell.text, ::recordText(cases()[which].record).remove(QChar(0)));
    }
};

QTEST_GUILESS_MAIN(TestCsvInCalc)
#include "tst_csv_in_calc.moc"
