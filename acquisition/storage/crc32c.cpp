// SPDX-License-Identifier: GPL-3.0-or-later
#include "acquisition/storage/crc32c.h"

#include <array>

namespace {

constexpr std::array<quint32, 256> crcTable() {
    std::array<quint32, 256> table{};
    for (quint32 i = 0; i < 256; ++i) {
        quint32 c = i;
        for (int k = 0; k < 8; ++k)
            c = (c & 1) != 0 ? (c >> 1) ^ 0x82F63B78u : c >> 1;
        table[i] = c;
    }
    return table;
}
constexpr std::array<quint32, 256> kCrcTable = crcTable();

} // namespace

quint32 crc32c(QByteArrayView data, quint32 crc) {
    crc = ~crc;
    for (const char c : data)
        crc = kCrcTable[(crc ^ static_cast<quint8>(c)) & 0xFF] ^ (crc >> 8);
    return ~crc;
}
