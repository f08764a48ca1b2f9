// The layers of the program, read from the include lines of its sources. The libraries' link
// lines already refuse a call into a layer above; this also catches a header of a layer above
// that is included for its types alone, which links fine.

#include <QDirIterator>
#include <QFile>
#include <QRegularExpression>
#include <QTest>

namespace {

// Longest prefix first: a path belongs to the first layer whose folder it is in.
struct Layer {
    const char* name;
    const char* folder;
    QStringList mayInclude; // layers, by name
};

const QList<Layer>& layers() {
    static const QList<Layer> kLayers{
        {"system", "acquisition/platform/linux/", {"system", "platform"}},
        {"platform", "acquisition/platform/", {"platform"}},
        {"core", "acquisition/core/", {"core", "platform"}},
        {"serial", "acquisition/serial/", {"serial", "core", "platform"}},
        {"storage", "acquisition/storage/", {"storage", "core", "platform"}},
        {"run", "acquisition/", {"run", "serial", "storage", "core", "platform"}},
        {"ui", "ui/", {"ui", "run", "serial", "storage", "core", "platform"}},
    };
    return kLayers;
}

const Layer* layerOf(const QString& path) {
    for (const Layer& layer : layers())
        if (path.startsWith(QLatin1String(layer.folder)))
            return &layer;
    return nullptr;
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
    }
    void theRule() {
        QFETCH(QString, file);
        QFETCH(QString, header);
        QFETCH(bool, allowed);
        QCOMPARE(refusal(file, header).isEmpty(), allowed);
    }

    // Every include of the program's own sources keeps to its layer.
    void theSourcesKeepToTheirLayers() {
        const QString root = QStringLiteral(TESSALINE_SOURCE_DIR "/");
        static const QRegularExpression include(QStringLiteral("^\\s*#\\s*include\\s+\"([^\"]+)\""),
                                                QRegularExpression::MultilineOption);
        QStringList refused;
        int files = 0;
        for (const char* top : {"acquisition", "ui"}) {
            QDirIterator it(root + QLatin1String(top),
                            {QStringLiteral("*.h"), QStringLiteral("*.cpp")}, QDir::Files,
                            QDirIterator::Subdirectories);
            while (it.hasNext()) {
                const QString path = it.next();
                const QString file = path.mid(root.size());
                QFile source(path);
                QVERIFY2(source.open(QIODevice::ReadOnly), qPrintable(path));
                QVERIFY2(layerOf(file), qPrintable(file + QStringLiteral(" is in no layer")));
                ++files;
                const QString text = QString::fromUtf8(source.readAll());
                for (auto m = include.globalMatch(text); m.hasNext();) {
                    const QString why = refusal(file, m.next().captured(1));
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
