#include "chart_surface.h"

#include <QByteArray>

#include <array>

namespace {

uint32_t Crc32(const char* data, size_t length, uint32_t crc = 0) {
    static const std::array<uint32_t, 256> kTable = [] {
        std::array<uint32_t, 256> table{};
        for (uint32_t n = 0; n < 256; ++n) {
            uint32_t c = n;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            table[n] = c;
        }
        return table;
    }();
    crc = ~crc;
    for (size_t i = 0; i < length; ++i)
        crc = kTable[(crc ^ uint8_t(data[i])) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

void AppendBigEndian(std::string& out, uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out += char((value >> shift) & 0xFF);
}

void AppendChunk(std::string& out, const char* type, const std::string& data) {
    AppendBigEndian(out, uint32_t(data.size()));
    const std::string typed = std::string(type, 4) + data;
    out += typed;
    AppendBigEndian(out, Crc32(typed.data(), typed.size()));
}

} // namespace

std::string EncodePng(const RasterSurface& image) {
    const size_t rowBytes = size_t(image.Width()) * 3;
    QByteArray raw;
    raw.reserve(qsizetype((rowBytes + 1) * size_t(image.Height())));
    const auto* pixels = reinterpret_cast<const char*>(image.Pixels().data());
    for (int row = 0; row < image.Height(); ++row) {
        raw += '\0'; // no filter
        raw.append(pixels + size_t(row) * rowBytes, qsizetype(rowBytes));
    }
    // qCompress gives a zlib stream behind four bytes of length, which PNG does not want.
    const QByteArray zlib = qCompress(raw, 9).mid(4);

    std::string header;
    AppendBigEndian(header, uint32_t(image.Width()));
    AppendBigEndian(header, uint32_t(image.Height()));
    header +=
        std::string("\x08\x02\x00\x00\x00", 5); // 8 bits, RGB, deflate, no filter, no interlace
    std::string png = "\x89PNG\r\n\x1a\n";
    AppendChunk(png, "IHDR", header);
    AppendChunk(png, "IDAT", zlib.toStdString());
    AppendChunk(png, "IEND", {});
    return png;
}
