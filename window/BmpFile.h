#pragma once
// The Windows bitmap file the launcher reads a window snapshot from: the bitmap information header built from
// a bitmap's own description, and the writer of the file header, that header with its colour table, and the
// pixel bytes. Free functions without state: any thread may call them.

#include <cstdint>
#include <string>
#include <vector>

// What a bitmap says of itself: its size in pixels, colour planes and bits per pixel.
struct SBitmapDescription {
    int32_t width = 0;
    int32_t height = 0;
    uint16_t planes = 1;
    uint16_t bitCount = 32;
};

// Sizes of the file header and of the information header without its colour table.
inline constexpr uint32_t kBmpFileHeaderSize = 14;
inline constexpr uint32_t kBmpInfoHeaderSize = 40;

// planes x bit count rounded up to 1, 4, 8, 16, 24 or 32 bits.
uint16_t BitmapColourBits(uint16_t planes, uint16_t bitCount);

// The information header (little-endian, 40 bytes) and its zero-filled colour table of 2^colour-bits entries
// below 24 colour bits (none from 24 on): the bitmap's width, height, planes and bit count, uncompressed,
// the image size ((width x colour bits + 31) rounded down to a multiple of 32, / 8) x height.
std::vector<uint8_t> BuildBitmapInfoHeader(const SBitmapDescription& bitmap);

// Writes the 14-byte file header ("BM", file size, two reserved words 0, pixel offset), |info| (a block
// BuildBitmapInfoHeader made, its colour table filled or not) and |image| to |path|, created anew. False when
// |info| is no such block, |image| is not of the size it names, or the file cannot be written whole.
bool WriteBmpFile(const std::string& path, const std::vector<uint8_t>& info, const std::vector<uint8_t>& image);
