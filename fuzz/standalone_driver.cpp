// SPDX-License-Identifier: GPL-3.0-or-later
// Runs the fuzz target without libFuzzer: every file of the given corpus folders, then N
// pseudo-random inputs from a fixed seed, shaped like instrument traffic so that most get in
// step and make records. Usage: fuzz_loop [N] [corpus folder...]
#include <QDir>
#include <QFile>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

void run(const std::vector<uint8_t>& input) {
    LLVMFuzzerTestOneInput(input.data(), input.size());
}

std::vector<uint8_t> randomInput(std::mt19937& rng) {
    std::vector<uint8_t> input;
    input.reserve(4);
    const auto pick = [&rng](unsigned n) { return static_cast<unsigned>(rng() % n); };
    for (int i = 0; i < 4; ++i)
        input.push_back(static_cast<uint8_t>(pick(256)));
    if (pick(4) != 0) // mostly small steps, so lines share a second or an hour now and then
        input[2] = 0;
    const unsigned length = pick(600);
    for (unsigned i = 0; i < length; ++i) {
        const unsigned kind = pick(20);
        uint8_t byte;
        if (kind < 4)
            byte = '\r';
        else if (kind < 6)
            byte = '\n';
        else if (kind < 8)
            byte = static_cast<uint8_t>(pick(17)); // codes 0 to 16 around the dropping edge
        else if (kind < 10)
            byte = static_cast<uint8_t>(128 + pick(128));
        else
            byte = static_cast<uint8_t>(' ' + pick(95));
        input.push_back(byte);
    }
    // Now and then a line longer than the loop keeps whole, in small clock steps.
    if (pick(1000) == 0) {
        input[2] = 0;
        std::vector<uint8_t> run(65'530 + pick(16));
        for (uint8_t& b : run)
            b = static_cast<uint8_t>(' ' + pick(95));
        input.insert(input.begin() + 4 + pick(length + 1), run.begin(), run.end());
    }
    return input;
}

} // namespace

int main(int argc, char** argv) {
    const long runs = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 1000;
    int corpusFiles = 0;
    for (int a = 2; a < argc; ++a) {
        const QDir dir(QString::fromLocal8Bit(argv[a]));
        for (const QString& name : dir.entryList(QDir::Files)) {
            QFile file(dir.filePath(name));
            if (!file.open(QIODevice::ReadOnly))
                continue;
            const QByteArray bytes = file.readAll();
            run(std::vector<uint8_t>(bytes.begin(), bytes.end()));
            ++corpusFiles;
        }
    }
    std::mt19937 rng(20261207);
    for (long i = 0; i < runs; ++i)
        run(randomInput(rng));
    std::printf("fuzz_loop: %d corpus inputs and %ld generated inputs matched the model\n",
                corpusFiles, runs);
    return 0;
}
