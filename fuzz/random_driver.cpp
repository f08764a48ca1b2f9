// SPDX-License-Identifier: GPL-3.0-or-later
// Runs a fuzz target without libFuzzer: every file of the given corpus folders, then N inputs
// of random bytes from a fixed seed. Usage: <target> [N] [corpus folder...]
#include <QDir>
#include <QFile>

#include <cstdint>
#include <cstdlib>
#include <random>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
    const long count = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 1000;
    for (int i = 2; i < argc; ++i) {
        const QDir corpus(QString::fromLocal8Bit(argv[i]));
        for (const QString& name : corpus.entryList(QDir::Files)) {
            QFile file(corpus.filePath(name));
            if (!file.open(QIODevice::ReadOnly))
                continue;
            const QByteArray bytes = file.readAll();
            LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.constData()),
                                   static_cast<size_t>(bytes.size()));
        }
    }
    std::mt19937 rng(1);
    for (long n = 0; n < count; ++n) {
        // One in four short: a spool of a record or two, often all of them good.
        std::vector<uint8_t> input(n % 4 == 3 ? rng() % 40 + 1 : rng() % 1024 + 1);
        for (uint8_t& byte : input)
            byte = static_cast<uint8_t>(rng());
        LLVMFuzzerTestOneInput(input.data(), input.size());
    }
    return 0;
}
