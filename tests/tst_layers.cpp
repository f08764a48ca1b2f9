// SPDX-License-Identifier: GPL-3.0-or-later
// The layers of the program, read from the include lines of its sources. Each library's link
// line names only the layers beneath it, but a static library lets a call through once another
// file has pulled in what it calls, and a header included for its types alone links anyway:
// this is what keeps a layer from reaching up.

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QRegularExpression>
#include <QTest>

namespace {

struct Layer {
    const char* name;
    const char* files;      // a pattern of the paths, from the project's root, that belong to it
    QStringList mayInclude; // layers, by name
};

const QList<Layer>& layers() {
    // A new folder belongs to no layer until it is named here.
    static const QList<Layer> kLayers{
        {"system", "acquisition/platform/[^/]+/[^/]+", {"system", "platform"}},
        {"platform", "acquisition/platform/[^/]+", {"platform"}},
        {"core", "acquisition/core/[^/]+", {"core", "platform"}},
        {"serial", "acquisition/serial/[^/]+", {"serial", "core", "platform"}},
        {"storage", "acquisition/storage/[^/]+", {"storage", "core", "platform"}},
        {"run", "acquisition/[^/]+", {"run", "serial", "storage", "core", "platform"}},
        {"ui", "ui/[^/]+", {"ui", "run", "serial", "storage", "core", "platform"}},
    };
    return kLayers;
}

const Layer* layerOf(const QString& path) {
    for (const Layer& layer : layers()) {
        const QRegularExpression files(
            QRegularExpression::anchoredPattern(QLatin1String(layer.files)));
        if (files.match(path).hasMatch())
            return &layer;
    }
    return nullptr;
}

// The includes a source names, quoted or in angle brackets, outside comments.
QStringList includesIn(QString text) {
    static const QRegularExpression comment(QStringLiteral("/\\*.*?\\*/"),
                                            QRegularExpression::DotMatchesEverythingOption);
    static const QRegularExpression include(
        QStringLiteral("^\\s*#\\s*include\\s*[\"<]([^\">]+)[\">]"),
        QRegularExpression::MultilineOption);
    text.remove(comment);
    QStringList names;
    for (auto m = include.globalMatch(text); m.hasNext();)
        names << m.next().captured(1);
    return names;
}

// The path from the project's root of what `file` includes as `name`: as written when it names a
// layered folder, else beside `file` when that exists ("spool.h", "../storage/spool.h").
QString resolve(const QString& root, const QString& file, const QString& name) {
    QString asWritten = QDir::cleanPath(name);
    if (layerOf(asWritten))
        return asWritten;
    const QString beside = QDir::cleanPath(QFileInfo(file).path() + QLatin1Char('/') + name);
    return QFile::exists(root + beside) ? beside : name;
}

// Why `file` may not include `header`, or an empty text when it may. Headers outside the
// layered folders (Qt, the system) are not judged here.
QString refusal(const QString& file, const QString& header) {
    const Layer* from = layerOf(file);
    const Layer* to = layerOf(header);
    if (!from || !to)
        return {};
    if (from->mayInclude.contains(QLatin1String(to->name)))
        return {};
    return QStringLiteral("%1 (%2) includes %3 (%4)")
        .arg(file, QLatin1String(from->name), header, QLatin1String(to->name));
}

const QString& root() {
    static const QString kRoot = QStringLiteral(TESSALINE_SOURCE_DIR "/");
    return kRoot;
}

} // namespace

class TestLayers : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void theRule_data() {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("header");
        QTest::addColumn<bool>("allowed");
        QTest::newRow("storage on core") << "acquisition/storage/spool.cpp"
                                         << "acquisition/core/clock.h" << true;
        QTest::newRow("serial on storage") << "acquisition/serial/serial_link.cpp"
                                           << "acquisition/storage/pending_record.h" << false;
        QTest::newRow("storage on serial") << "acquisition/storage/record_store.h"
                                           << "acquisition/serial/line_events.h" << false;
        QTest::newRow("core on the run") << "acquisition/core/varlin_def.cpp"
                                         << "acquisition/logger.h" << false;
        QTest::newRow("the run on Linux")
            << "acquisition/logger.cpp"
            << "acquisition/platform/linux/platform_linux_ports.h" << false;
        QTest::newRow("a platform header on core") << "acquisition/platform/file_calls.h"
                                                   << "acquisition/core/clock.h" << false;
        QTest::newRow("Linux on its headers")
            << "acquisition/platform/linux/platform_linux_files.cpp"
            << "acquisition/platform/platform_files.h" << true;
        QTest::newRow("the windows on the run") << "ui/frm_varlin.h"
                                                << "acquisition/logger.h" << true;
        QTest::newRow("the run on the windows") << "acquisition/acquisition_loop.cpp"
                                                << "ui/frm_varlin.h" << false;
        QTest::newRow("storage on serial, by a relative path")
            << "acquisition/storage/spool.h"
            << "../serial/line_events.h" << false;
        QTest::newRow("storage on its own, beside it") << "acquisition/storage/spool.h"
                                                       << "spool_format.h" << true;
        QTest::newRow("a folder of no layer") << "acquisition/net/link.h"
                                              << "acquisition/core/clock.h" << false;
    }
    void theRule() {
        QFETCH(QString, file);
        QFETCH(QString, header);
        QFETCH(bool, allowed);
        const bool inALayer = layerOf(file) != nullptr;
        QCOMPARE(inALayer && refusal(file, resolve(root(), file, header)).isEmpty(), allowed);
    }

    void includesAreFound() {
        const QString text = QStringLiteral("#include \"acquisition/core/clock.h\"\n"
                                            "  #  include <acquisition/storage/spool.h>\n"
                                            "/* #include \"ui/frm_varlin.h\"\n */\n"
                                            "#include <QString>\n");
        QCOMPARE(includesIn(text), QStringList({QStringLiteral("acquisition/core/clock.h"),
                                                QStringLiteral("acquisition/storage/spool.h"),
                                                QStringLiteral("QString")}));
    }

    // Every include of the program's own sources keeps to its layer.
    void theSourcesKeepToTheirLayers() {
        QStringList refused;
        int files = 0;
        for (const char* top : {"acquisition", "ui"}) {
            QDirIterator it(root() + QLatin1String(top),
                            {QStringLiteral("*.h"), QStringLiteral("*.cpp")}, QDir::Files,
                            QDirIterator::Subdirectories);
            while (it.hasNext()) {
                const QString path = it.next();
                const QString file = path.mid(root().size());
                QFile source(path);
                QVERIFY2(source.open(QIODevice::ReadOnly), qPrintable(path));
                QVERIFY2(layerOf(file), qPrintable(file + QStringLiteral(" is in no layer")));
                ++files;
                for (const QString& name : includesIn(QString::fromUtf8(source.readAll()))) {
                    const QString why = refusal(file, resolve(root(), file, name));
                    if (!why.isEmpty())
                        refused << why;
                }
            }
        }
        QVERIFY2(files > 50, qPrintable(QStringLiteral("only %1 sources found").arg(files)));
        QVERIFY2(refused.isEmpty(), qPrintable(refused.join(QLatin1Char('\n'))));
    }
};

QTEST_GUILESS_MAIN(TestLayers)
#include "tst_layers.moc"
