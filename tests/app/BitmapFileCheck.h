#pragma once
// Reads back a snapshot file as the launcher would: the 32-bit Windows bitmap the program writes, its two
// headers checked field by field against each other and the file's size, its pixels as an image; and whether
// that image shows anything (a blank or one-coloured picture does not).

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>

#include <QImage>

#include <gtest/gtest.h>

namespace testing_bitmap {

inline uint32_t Read32(const std::string& bytes, size_t at) {
    return static_cast<uint8_t>(bytes[at]) | static_cast<uint8_t>(bytes[at + 1]) << 8 |
           static_cast<uint8_t>(bytes[at + 2]) << 16 | static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 3])) << 24;
}

// |file| is a 32-bit uncompressed bitmap without colour table whose headers agree with each other and with the
// file's size; |image| (when given) gets its pixels, the rows put top-down again.
inline ::testing::AssertionResult IsBitmapFile(const std::string& file, QImage* image = nullptr) {
    if (file.size() < 54 || file.compare(0, 2, "BM") != 0) {
        return ::testing::AssertionFailure() << "no bitmap file header (" << file.size() << " bytes)";
    }
    const auto width = static_cast<int32_t>(Read32(file, 18));
    const auto height = static_cast<int32_t>(Read32(file, 22));
    if (width <= 0 || height <= 0) {
        return ::testing::AssertionFailure() << "size " << width << " x " << height;
    }
    const uint64_t imageSize = static_cast<uint64_t>(width) * static_cast<uint64_t>(height) * 4;
    if (Read32(file, 2) != file.size() || file.size() != 54 + imageSize || Read32(file, 6) != 0 ||
        Read32(file, 10) != 54) {
        return ::testing::AssertionFailure() << "file header: size " << Read32(file, 2) << " of " << file.size()
                                             << " bytes, offset " << Read32(file, 10);
    }
    if (Read32(file, 14) != 40 || (Read32(file, 26) & 0xFFFF) != 1 || (Read32(file, 26) >> 16) != 32 ||
        Read32(file, 30) != 0 || Read32(file, 34) != imageSize || Read32(file, 38) != 0 || Read32(file, 42) != 0 ||
        Read32(file, 46) != 0 || Read32(file, 50) != 0) {
        return ::testing::AssertionFailure() << "information header: planes and bits " << std::hex << Read32(file, 26)
                                             << ", image size " << std::dec << Read32(file, 34);
    }
    if (image != nullptr) {
        *image = QImage(width, height, QImage::Format_RGB32);
        for (int y = 0; y < height; ++y) {
            const size_t row = 54 + static_cast<size_t>(height - 1 - y) * static_cast<size_t>(width) * 4;
            for (int x = 0; x < width; ++x) {
                const size_t at = row + static_cast<size_t>(x) * 4;
                image->setPixel(x, y,
                                qRgb(static_cast<uint8_t>(file[at + 2]), static_cast<uint8_t>(file[at + 1]),
                                     static_cast<uint8_t>(file[at])));
            }
        }
    }
    return ::testing::AssertionSuccess();
}

// A picture with text on a background: many colours (the text's smoothing), and dark pixels among them.
inline ::testing::AssertionResult ShowsText(const QImage& image) {
    std::set<QRgb> colours;
    int dark = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            colours.insert(image.pixel(x, y));
            dark += qGray(image.pixel(x, y)) < 80;
        }
    }
    if (colours.size() <= 10 || dark <= 100) {
        return ::testing::AssertionFailure() << colours.size() << " colours, " << dark << " dark pixels";
    }
    return ::testing::AssertionSuccess();
}

} // namespace testing_bitmap
