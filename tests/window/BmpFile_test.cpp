// The bitmap writer the launcher's snapshot goes through: the information header from a bitmap's description
// (colour bits, colour table, image size) and the file header, byte for byte, and the refusals.

#include "window/BmpFile.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/TempDirTest.h"

namespace {

uint32_t Read32(const std::string& bytes, size_t at) {
    return static_cast<uint8_t>(bytes[at]) | static_cast<uint8_t>(bytes[at + 1]) << 8 |
           static_cast<uint8_t>(bytes[at + 2]) << 16 | static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 3])) << 24;
}

uint32_t Read32(const std::vector<uint8_t>& bytes, size_t at) {
    return Read32(std::string(bytes.begin(), bytes.end()), at);
}

TEST(BmpFileTest, ColourBitsRoundUpToTheBitmapDepths) {
    struct Case {
        uint16_t planes;
        uint16_t bitCount;
        uint16_t colourBits;
    };
    const Case cases[] = {{1, 1, 1},   {1, 2, 4},   {1, 4, 4},   {1, 5, 8},   {1, 8, 8},  {1, 15, 16}, {1, 16, 16},
                          {1, 17, 24}, {1, 24, 24}, {1, 25, 32}, {1, 32, 32}, {2, 8, 16}, {3, 8, 24},  {4, 8, 32}};
    for (const Case& c : cases) {
        EXPECT_EQ(c.colourBits, BitmapColourBits(c.planes, c.bitCount)) << c.planes << " x " << c.bitCount;
    }
}

TEST(BmpFileTest, InformationHeaderOfA32BitBitmapHasNoColourTable) {
    SBitmapDescription bitmap;
    bitmap.width = 3;
    bitmap.height = 2;
    bitmap.planes = 1;
    bitmap.bitCount = 32;
    const std::vector<uint8_t> info = BuildBitmapInfoHeader(bitmap);
    const std::vector<uint8_t> expected = {
        40, 0, 0, 0, // header size
        3,  0, 0, 0, // width
        2,  0, 0, 0, // height: the rows bottom-up
        1,  0,       // planes
        32, 0,       // bit count
        0,  0, 0, 0, // uncompressed
        24, 0, 0, 0, // image size: 3 x 4 bytes a row, two rows
        0,  0, 0, 0, // horizontal resolution
        0,  0, 0, 0, // vertical resolution
        0,  0, 0, 0, // colours used: none from 24 bits on
        0,  0, 0, 0, // important colours
    };
    EXPECT_EQ(expected, info);
}

TEST(BmpFileTest, RowsArePaddedToWholeDoublewordsAndFewColourBitsGetATable) {
    struct Case {
        int32_t width;
        int32_t height;
        uint16_t bitCount;
        uint32_t imageSize;
        uint32_t colours;
    };
    const Case cases[] = {
        {1, 1, 1, 4, 2},      // 1 bit a pixel still takes a doubleword a row
        {33, 2, 1, 16, 2},    // 33 bits: two doublewords a row
        {3, 3, 4, 12, 16},    // 12 bits a row
        {5, 1, 8, 8, 256},    // 5 bytes padded to 8
        {3, 1, 16, 8, 65536}, // 16 colour bits still count their table
        {3, 2, 24, 24, 0},    // 9 bytes padded to 12, two rows
        {1000, 700, 32, 2800000, 0},
    };
    for (const Case& c : cases) {
        SBitmapDescription bitmap;
        bitmap.width = c.width;
        bitmap.height = c.height;
        bitmap.planes = 1;
        bitmap.bitCount = c.bitCount;
        const std::vector<uint8_t> info = BuildBitmapInfoHeader(bitmap);
        EXPECT_EQ(40u + 4u * c.colours, info.size()) << c.bitCount;
        EXPECT_EQ(c.imageSize, Read32(info, 20)) << c.width << " x " << c.bitCount;
        EXPECT_EQ(c.colours, Read32(info, 32)) << c.bitCount;
        EXPECT_EQ(c.bitCount, info[14]);
    }
}

class BmpWriterTest : public TempDirTest {};

TEST_F(BmpWriterTest, FileHeaderNamesTheSizeAndWherePixelsStart) {
    SBitmapDescription bitmap;
    bitmap.width = 2;
    bitmap.height = 1;
    const std::vector<uint8_t> info = BuildBitmapInfoHeader(bitmap);
    const std::vector<uint8_t> pixels = {1, 2, 3, 0, 4, 5, 6, 0};
    ASSERT_TRUE(WriteBmpFile("shot.tmp", info, pixels));

    const std::string file = ReadFileBytes("shot.tmp");
    ASSERT_EQ(14u + 40u + 8u, file.size());
    const std::string header = file.substr(0, 14);
    EXPECT_EQ(std::string("BM\x3E\0\0\0\0\0\0\0\x36\0\0\0", 14), header);
    EXPECT_EQ(std::string(info.begin(), info.end()), file.substr(14, 40));
    EXPECT_EQ(std::string(pixels.begin(), pixels.end()), file.substr(54));
}

TEST_F(BmpWriterTest, AColourTableMovesThePixelsBehindIt) {
    SBitmapDescription bitmap;
    bitmap.width = 8;
    bitmap.height = 2;
    bitmap.bitCount = 1;
    std::vector<uint8_t> info = BuildBitmapInfoHeader(bitmap);
    info[40 + 4 + 0] = 0xFF; // second entry white
    info[40 + 4 + 1] = 0xFF;
    info[40 + 4 + 2] = 0xFF;
    const std::vector<uint8_t> pixels(8, 0xAA);
    ASSERT_TRUE(WriteBmpFile("mono.tmp", info, pixels));
    const std::string file = ReadFileBytes("mono.tmp");
    EXPECT_EQ(14u + 48u + 8u, Read32(file, 2));
    EXPECT_EQ(14u + 48u, Read32(file, 10));
    EXPECT_EQ(file.size(), Read32(file, 2));
    EXPECT_EQ('\xFF', file[14 + 44]);
}

TEST_F(BmpWriterTest, AnEarlierFileIsReplacedWhole) {
    WriteFileBytes("shot.tmp", std::string(500, 'x'));
    SBitmapDescription bitmap;
    bitmap.width = 1;
    bitmap.height = 1;
    ASSERT_TRUE(WriteBmpFile("shot.tmp", BuildBitmapInfoHeader(bitmap), {9, 9, 9, 0}));
    EXPECT_EQ(58u, std::filesystem::file_size("shot.tmp"));
}

TEST_F(BmpWriterTest, RefusesPixelsOfTheWrongSizeAndAFolderItCannotWriteIn) {
    SBitmapDescription bitmap;
    bitmap.width = 2;
    bitmap.height = 2;
    const std::vector<uint8_t> info = BuildBitmapInfoHeader(bitmap);
    EXPECT_FALSE(WriteBmpFile("short.tmp", info, std::vector<uint8_t>(15)));
    EXPECT_FALSE(WriteBmpFile("long.tmp", info, std::vector<uint8_t>(17)));
    EXPECT_FALSE(
        WriteBmpFile("cut.tmp", std::vector<uint8_t>(info.begin(), info.begin() + 39), std::vector<uint8_t>(16)));
    EXPECT_FALSE(std::filesystem::exists("short.tmp"));
    EXPECT_FALSE(std::filesystem::exists("long.tmp"));
    EXPECT_FALSE(WriteBmpFile("no-such-folder/shot.tmp", info, std::vector<uint8_t>(16)));
}

} // namespace
