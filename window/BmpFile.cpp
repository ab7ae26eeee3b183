#include "window/BmpFile.h"

#include <filesystem>
#include <system_error>

#include "platform/FileHandle.h"

namespace {
// Offsets of the information header's fields that the writer reads back.
constexpr size_t kImageSizeField = 20;
constexpr size_t kColoursUsedField = 32;
constexpr uint32_t kCompressionNone = 0; // BI_RGB

void Put16(std::vector<uint8_t>& out, size_t at, uint32_t value) {
    out[at] = static_cast<uint8_t>(value);
    out[at + 1] = static_cast<uint8_t>(value >> 8);
}

void Put32(std::vector<uint8_t>& out, size_t at, uint32_t value) {
    Put16(out, at, value & 0xFFFFu);
    Put16(out, at + 2, value >> 16);
}

uint32_t Get32(const std::vector<uint8_t>& in, size_t at) {
    return static_cast<uint32_t>(in[at]) | static_cast<uint32_t>(in[at + 1]) << 8 |
           static_cast<uint32_t>(in[at + 2]) << 16 | static_cast<uint32_t>(in[at + 3]) << 24;
}
} // namespace

uint16_t BitmapColourBits(uint16_t planes, uint16_t bitCount) {
    const uint32_t bits = static_cast<uint32_t>(planes) * bitCount;
    for (const uint16_t step : {1, 4, 8, 16, 24}) {
        if (bits <= step) {
            return step;
        }
    }
    return 32;
}

std::vector<uint8_t> BuildBitmapInfoHeader(const SBitmapDescription& bitmap) {
    const uint16_t colourBits = BitmapColourBits(bitmap.planes, bitmap.bitCount);
    const uint32_t colours = colourBits < 24 ? 1u << colourBits : 0;
    std::vector<uint8_t> info(kBmpInfoHeaderSize + 4 * colours, 0);
    // Kept in 64 bits until the end, so a bitmap too large for the field cannot wrap into a small one.
    const uint64_t rowBytes =
        ((static_cast<uint64_t>(static_cast<uint32_t>(bitmap.width)) * colourBits + 31) & ~31ull) / 8;
    const uint64_t imageSize = rowBytes * static_cast<uint32_t>(bitmap.height);
    Put32(info, 0, kBmpInfoHeaderSize);
    Put32(info, 4, static_cast<uint32_t>(bitmap.width));
    Put32(info, 8, static_cast<uint32_t>(bitmap.height));
    Put16(info, 12, bitmap.planes);
    Put16(info, 14, bitmap.bitCount);
    Put32(info, 16, kCompressionNone);
    Put32(info, kImageSizeField, imageSize > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(imageSize));
    Put32(info, kColoursUsedField, colours);
    return info;
}

bool WriteBmpFile(const std::string& path, const std::vector<uint8_t>& info, const std::vector<uint8_t>& image) {
    if (info.size() < kBmpInfoHeaderSize || Get32(info, 0) != kBmpInfoHeaderSize) {
        return false;
    }
    const uint64_t colours = Get32(info, kColoursUsedField);
    const uint64_t imageSize = Get32(info, kImageSizeField);
    if (info.size() != kBmpInfoHeaderSize + 4 * colours || image.size() != imageSize) {
        return false;
    }
    const uint64_t offset = kBmpFileHeaderSize + info.size();
    const uint64_t fileSize = offset + imageSize;
    if (fileSize > UINT32_MAX) {
        return false;
    }
    std::vector<uint8_t> header(kBmpFileHeaderSize, 0);
    header[0] = 'B';
    header[1] = 'M';
    Put32(header, 2, static_cast<uint32_t>(fileSize));
    Put32(header, 10, static_cast<uint32_t>(offset));

    CFileHandle file;
    if (!file.Open(path, CFileHandle::EOpen::ReadWriteCreate) || !file.Truncate(0)) {
        return false;
    }
    if (file.Write(header.data(), header.size()) && file.Write(info.data(), info.size()) &&
        file.Write(image.data(), image.size())) {
        return true;
    }
    // Half a bitmap is no use to the launcher: nothing is left behind.
    file.Close();
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
    return false;
}
