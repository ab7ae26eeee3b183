#include "kxlib/kxPeImage.h"

#include <map>
#include <string>

#include <gtest/gtest.h>

#include "common/TempDirTest.h"
#include "kxlib/PeImageBuilder.h"

namespace {

const std::vector<std::pair<std::string, std::string>> kStrings = {
    {"CompanyName", "Corvane"}, {"ProductVersion", "5.00"}, {"LegalCopyright", "(c) 2003"}};

std::map<std::string, std::string> Texts(const std::map<kxString, kxString>& entries) {
    std::map<std::string, std::string> texts;
    for (const auto& [key, value] : entries) {
        texts[key.Str()] = value.Str();
    }
    return texts;
}

class kxPeImageFile : public TempDirTest {};

} // namespace

TEST(kxPeImage, ReadsTheStringTableOfTheFirstTranslation) {
    const std::map<std::string, std::string> expected = {
        {"CompanyName", "Corvane"}, {"ProductVersion", "5.00"}, {"LegalCopyright", "(c) 2003"}};
    for (const bool plus : {false, true}) {
        SCOPED_TRACE(plus ? "PE32+" : "PE32");
        kxPeImage image;
        ASSERT_TRUE(image.OpenBytes(pe_builder::Image(pe_builder::VersionResource(kStrings), plus)));
        std::map<kxString, kxString> entries{{"stale", "x"}};
        EXPECT_TRUE(image.VersionStrings(entries));
        EXPECT_EQ(Texts(entries), expected);
    }
}

TEST(kxPeImage, MissingPiecesGiveNoStringsButStillAnImage) {
    const struct {
        const char* Name;
        std::string Bytes;
    } cases[] = {
        {"no resource table", pe_builder::Image("")},
        {"no translation", pe_builder::Image(pe_builder::VersionResource(kStrings, "040904B0", ""))},
        {"short translation", pe_builder::Image(pe_builder::VersionResource(kStrings, "040904B0", "\x09\x04"))},
        {"no table for the translation", pe_builder::Image(pe_builder::VersionResource(kStrings, "040704B0"))},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        kxPeImage image;
        ASSERT_TRUE(image.OpenBytes(c.Bytes));
        std::map<kxString, kxString> entries{{"stale", "x"}};
        EXPECT_FALSE(image.VersionStrings(entries));
        EXPECT_TRUE(entries.empty());
    }
}

TEST(kxPeImage, RefusesWhatIsNotAnImage) {
    std::string badMagic = pe_builder::Image("");
    badMagic[0x40 + 24] = 0x0C; // neither PE32 nor PE32+
    std::string sectionPastEnd = pe_builder::Image("");
    sectionPastEnd[0x40 + 24 + 224 + 20 + 1] = 0x7F; // raw data far beyond the file
    std::string noSections = pe_builder::Image("");
    noSections[0x40 + 6] = 0;
    const struct {
        const char* Name;
        std::string Bytes;
    } cases[] = {
        {"empty", ""},
        {"text", "This program cannot be run in DOS mode, nor in any other."},
        {"header beyond the end", std::string("MZ") + std::string(58, '\0') + std::string("\xff\xff\xff\x7f", 4)},
        {"bad optional header", badMagic},
        {"section past the end", sectionPastEnd},
        {"no sections", noSections},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        kxPeImage image;
        EXPECT_FALSE(image.OpenBytes(c.Bytes));
    }
}

namespace {

// True when |text| stands in |bytes| as 16-bit units whose low bytes spell it: where every string of a version
// resource comes from.
bool HeldAsUnits(const std::string& bytes, const std::string& text) {
    for (size_t at = 0; at + 2 * text.size() <= bytes.size() + 1; ++at) {
        size_t i = 0;
        while (i < text.size() && bytes[at + 2 * i] == text[i]) {
            ++i;
        }
        if (i == text.size()) {
            return true;
        }
    }
    return false;
}

} // namespace

// Every cut and every changed byte of a real image. A cut image never yields strings it does not hold whole; a
// damaged one yields none, or only texts that stand in its bytes, never a text made of bytes from outside them
// (the sanitizers watch the reads themselves). A refusal leaves no entries behind.
TEST(kxPeImage, DamagedImagesAreNeverReadOutsideTheirBytes) {
    const std::string whole = pe_builder::Image(pe_builder::VersionResource(kStrings));
    for (size_t length = 0; length < whole.size(); ++length) {
        kxPeImage image;
        std::map<kxString, kxString> entries{{"stale", "x"}};
        if (image.OpenBytes(whole.substr(0, length))) {
            EXPECT_FALSE(image.VersionStrings(entries)) << length;
            EXPECT_TRUE(entries.empty()) << length;
        }
    }
    size_t readable = 0;
    for (size_t at = 0; at < whole.size(); ++at) {
        for (const char value : {'\x00', '\xff', '\x7f'}) {
            std::string damaged = whole;
            damaged[at] = value;
            kxPeImage image;
            std::map<kxString, kxString> entries{{"stale", "x"}};
            if (!image.OpenBytes(damaged)) {
                continue;
            }
            if (!image.VersionStrings(entries)) {
                EXPECT_TRUE(entries.empty()) << at;
                continue;
            }
            ++readable;
            for (const auto& [key, text] : entries) {
                EXPECT_TRUE(HeldAsUnits(damaged, key.Str())) << at << ": " << key.Str();
                EXPECT_TRUE(HeldAsUnits(damaged, text.Str())) << at << ": " << text.Str();
            }
        }
    }
    // Most single bytes (padding, unread header fields, the strings' own characters) leave the strings readable:
    // the loop above looked at what the reader made of them.
    EXPECT_GT(readable, whole.size());
}

TEST_F(kxPeImageFile, ReadsFromAFile) {
    WriteFileBytes("tool.exe", pe_builder::Image(pe_builder::VersionResource(kStrings)));
    kxPeImage image;
    ASSERT_TRUE(image.Open("tool.exe"));
    std::map<kxString, kxString> entries;
    EXPECT_TRUE(image.VersionStrings(entries));
    EXPECT_EQ(entries.size(), 3u);
    EXPECT_FALSE(image.Open("missing.exe"));
}
