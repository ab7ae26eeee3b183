#include "kxlib/kxString.h"

#include <climits>
#include <cstdint>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kxlib/kxException.h"
#include "kxlib/kxFormatString.h"
#include "kxlib/kxNarrowBuffer.h"
#include "kxlib/kxSecureString.h"
#include "kxlib/kxWideBuffer.h"

namespace {

constexpr size_t npos = kxString::npos;

std::vector<std::string> Texts(const std::vector<kxString>& items) {
    std::vector<std::string> texts;
    for (const kxString& item : items) {
        texts.push_back(item.Str());
    }
    return texts;
}

} // namespace

TEST(kxString, DefaultAndAssignedEmptyBehaveAlike) {
    kxString made;
    kxString assigned("x");
    assigned = "";
    for (kxString* s : {&made, &assigned}) {
        EXPECT_EQ(s->Length(), 0u);
        EXPECT_STREQ(s->c_str(), "");
        EXPECT_TRUE(s->IsEmpty());
        EXPECT_EQ(s->Find("a"), npos);
        EXPECT_EQ(s->GetAt(0), '\0');
        EXPECT_EQ(s->MakeUpper(), nullptr);
        EXPECT_EQ(s->AsLong(), 0);
        EXPECT_EQ(s->Replace("a", "b"), 0u);
        std::vector<kxString> items{kxString("stale")};
        EXPECT_EQ(s->Split(",", items), 0u);
        EXPECT_TRUE(items.empty());
        EXPECT_EQ(s->Compare(kxString()), 0);
        EXPECT_FALSE(s->IsTrue());
        EXPECT_FALSE(s->IsNumeric());
    }
}

TEST(kxString, ConstructorsWriteTheLibraryTexts) {
    const kxString* none = nullptr;
    const kxString source("abc");
    const struct {
        kxString Made;
        const char* Expected;
    } cases[] = {
        {kxString(true, 1), "true"},
        {kxString(false, 1), "false"},
        {kxString(true, 2), "1"},
        {kxString(false, 2), "0"},
        {kxString(true, 3), "Y"},
        {kxString(false, 3), "N"},
        {kxString(true, 4), ""},
        {kxString(true), "true"},
        {kxString(3.5), "+3.500000000000000"},
        {kxString(-0.25f), "-0.250000000000000"},
        {kxString(0.0), "+0.000000000000000"},
        {kxString(static_cast<unsigned char>(255)), "255"},
        {kxString(static_cast<short>(-32768)), "-32768"},
        {kxString(static_cast<unsigned short>(65535)), "65535"},
        {kxString(INT32_MIN), "-2147483648"},
        {kxString(2147483647), "2147483647"},
        {kxString(UINT32_MAX), "4294967295"},
        {kxString(INT64_MIN), "-9223372036854775808"},
        {kxString(UINT64_MAX), "18446744073709551615"},
        {kxString(static_cast<long long>(0)), "0"},
        {kxString(source, 3), "abcabcabc"},
        {kxString(source, 0), ""},
        {kxString(kxString(), 5), ""},
        {kxString(4, '*'), "****"},
        {kxString('q'), "q"},
        {kxString("abcdef", 3), "abc"},
        {kxString(static_cast<const char*>(nullptr)), ""},
        {kxString(none), ""},
        {kxString(&source), "abc"},
        {kxString(std::string("std")), "std"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.Made.Str(), c.Expected);
    }
    // A C text with a length keeps embedded zero bytes.
    EXPECT_EQ(kxString("a\0b", 3).Length(), 3u);
}

TEST(kxString, AppendTakesEveryKindOfValue) {
    kxString s;
    s.Append("a").Append(static_cast<const char*>(nullptr)).Append("bcd", 2).Append(kxString("xyz"), 1, 1);
    s += 'c';
    s += true;
    s += 42;
    s += -7L;
    s += 2.5;
    s += u"\u0141w"; // low bytes: U+0141 keeps 0x41
    EXPECT_EQ(s.Str(), "abcyctrue42-7+2.500000000000000Aw");
    EXPECT_THROW(s.Append(kxString("ab"), 3, 1), std::out_of_range);

    kxString p("mid");
    p.Prepend("front-", 3).Prepend(kxString("<")).Prepend(kxString("xy>z"), 2, 1);
    EXPECT_EQ(p.Str(), "><fromid");
}

TEST(kxString, AssignOfAPartBeyondTheEndThrowsTheRangeError) {
    kxString s("keep");
    EXPECT_THROW(s.Assign(kxString("abc"), 4, 1), std::out_of_range);
    EXPECT_EQ(s.Str(), "keep");
    s.Assign(kxString("abcdef"), 2, 3);
    EXPECT_EQ(s.Str(), "cde");
    s.Assign(kxString("abc"), 3, 1);
    EXPECT_EQ(s.Str(), "");
    s.Assign("xyz", 2);
    EXPECT_EQ(s.Str(), "xy");
}

TEST(kxString, InsertChangesNothingForAnOutOfRangeOrEmptySource) {
    const struct {
        const char* Text;
        size_t Position;
        const char* Source;
        size_t SourcePosition;
        size_t SourceCount;
        size_t Result;
        const char* Expected;
    } cases[] = {
        {"abc", 1, "XY", npos, npos, 5, "aXYbc"}, {"abc", 3, "XY", npos, npos, 5, "abcXY"},
        {"abc", 4, "XY", npos, npos, 3, "abc"},   {"abc", 0, "", npos, npos, 3, "abc"},
        {"abc", 0, "XYZ", 1, npos, 5, "YZabc"},   {"abc", 0, "XYZ", 1, 1, 4, "Yabc"},
        {"abc", 0, "XYZ", 3, 1, 3, "abc"},        {"", 0, "XY", npos, npos, 2, "XY"},
    };
    for (const auto& c : cases) {
        kxString s(c.Text);
        EXPECT_EQ(s.Insert(c.Position, kxString(c.Source), c.SourcePosition, c.SourceCount), c.Result) << c.Text;
        EXPECT_EQ(s.Str(), c.Expected) << c.Text << " at " << c.Position;
    }
    kxString self("ab");
    EXPECT_EQ(self.Insert(1, self), 4u);
    EXPECT_EQ(self.Str(), "aabb");
}

TEST(kxString, FormatMeasuresTheResultWhateverItsLength) {
    kxString s("old");
    const std::string longText(100000, 'x');
    EXPECT_STREQ(s.Format("%s|%d|%.3f|%c|%%|%5s", longText.c_str(), -12, 1.0 / 3, 'z', "ab"),
                 (longText + "|-12|0.333|z|%|   ab").c_str());
    EXPECT_EQ(s.Length(), longText.size() + 20);
    // Numbers wider than any fixed estimate.
    EXPECT_EQ(kxString::Formatted("%.400f", 1e300).Length(), 301u + 1 + 400);
    EXPECT_EQ(kxString::Formatted("%300d", 7).Length(), 300u);
    EXPECT_EQ(kxString::Formatted("%s", "").Str(), "");

    const char* nullFormat = nullptr;
    EXPECT_EQ(s.FormatV(nullFormat, nullptr), nullptr);
    EXPECT_EQ(s.Str(), "");

    const kxFormatString built("Invalid hour: %d, valid hours: %d through %d.", 24, 0, 23);
    EXPECT_EQ(built.Str(), "Invalid hour: 24, valid hours: 0 through 23.");
}

TEST(kxString, FormatNumberGroupsRoundsOrCutsTheFraction) {
    const struct {
        double Value;
        int Decimals;
        bool Rounded;
        const char* Separator;
        const char* Prefix;
        const char* Suffix;
        const char* Expected;
    } cases[] = {
        {-1234567.891, 2, true, ",", "$", "", "$-1,234,567.89"},
        {-1234567.891, 2, false, ",", "$", "", "$-1,234,567.89"},
        {123456, 0, true, ",", "", "", "123,456"},
        {123456, 0, true, " ", "", "", "123 456"},
        {123456, 0, false, ",", "", "", "123,456"},
        {1234.5, 0, true, ",", "", "", "1,234"}, // round half to even, as printf
        {1234.56, 0, false, ",", "", "", "1,234"},
        {0.129, 2, true, ",", "", " USD", "0.13 USD"},
        {0.129, 2, false, ",", "", "", "0.12"},
        {999.999, 2, true, ",", "", "", "1,000.00"},
        {1234567, 2, true, "", "", "", "1234567.00"},
        {-5, 0, true, ",", "", "", "-5"},
        {5, 0, true, ",", "(", ")", "( 5)"}, // "%2.0f" keeps its width of two
        {5, 0, true, "", "", "", " 5"},
        {0.3, 0, true, ",", "", "", " 0"},
        {5, 0, false, ",", "", "", "5"}, // "%2.15f" is wider than two already
        {5, 1, true, ",", "", "", "5.0"},
        {100, 0, true, ",", "", "", "100"},
        {-100000, 1, true, ".", "", "", "-100.000.0"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(kxString::FormatNumber(c.Value, c.Decimals, c.Rounded, c.Separator, c.Prefix, c.Suffix).Str(),
                  c.Expected)
            << c.Value << " " << c.Decimals << " " << c.Rounded;
    }
}

TEST(kxString, TrimmingBySetOrByWholeText) {
    const struct {
        const char* Text;
        const char* Chars;
        bool AsSet;
        const char* Left;
        const char* Right;
        const char* Both;
    } cases[] = {
        {"xxaxbxx", "x", true, "axbxx", "xxaxb", "axb"}, {"xyxyz", "xy", false, "xyz", "xyxyz", "xyz"},
        {"zxyxy", "xy", false, "zxyxy", "zxy", "zxy"},   {"xyxy", "yx", true, "", "", ""},
        {"abc", "", true, "abc", "abc", "abc"},          {"Abc", "a", false, "Abc", "Abc", "Abc"},
    };
    for (const auto& c : cases) {
        kxString left(c.Text), right(c.Text), both(c.Text);
        EXPECT_EQ(left.TrimLeft(c.Chars, c.AsSet).Str(), c.Left) << c.Text;
        EXPECT_EQ(right.TrimRight(c.Chars, c.AsSet).Str(), c.Right) << c.Text;
        EXPECT_EQ(both.Trim(c.Chars, c.AsSet).Str(), c.Both) << c.Text;
    }
    EXPECT_EQ(kxString::Trimmed(" \t\r\n\v\fa b\f\v\n\r\t ").Str(), "a b");
    EXPECT_EQ(kxString::Trimmed(" \t ").Str(), "");
    kxString keep("\x01x\x01");
    EXPECT_EQ(keep.Trim().Str(), "\x01x\x01");
}

TEST(kxString, CaseChangesStartAtTheGivenPosition) {
    kxString s("abcDEF");
    EXPECT_STREQ(s.MakeUpper(3), "abcDEF");
    EXPECT_STREQ(s.MakeUpper(2), "abCDEF");
    EXPECT_EQ(s.MakeLower(4).Str(), "abCDef");
    EXPECT_EQ(s.MakeLower(6).Str(), "abcdef");            // at the length: from 0
    EXPECT_EQ(kxString::Upper("a\xE9z").Str(), "A\xE9Z"); // bytes above 127 stay as they are
    EXPECT_EQ(kxString::Lower("ABC", 1).Str(), "Abc");
    EXPECT_EQ(kxString("abc").Reverse().Str(), "cba");
}

TEST(kxString, FindCountsOccurrencesFromEitherEnd) {
    const struct {
        const char* Text;
        size_t Start;
        const char* Find;
        bool Case;
        size_t N;
        bool Reverse;
        size_t Expected;
    } cases[] = {
        {"abxab", 0, "ab", true, 2, false, 3},
        {"abxab", 0, "ab", true, 1, true, 3},
        {"abxab", 0, "ab", true, 2, true, 0},
        {"abxab", 0, "ab", true, 3, false, npos},
        {"abxab", 1, "ab", true, 1, false, 3},
        {"abxab", 1, "ab", true, 1, true, 0}, // the last character is left out
        {"abxab", 4, "ab", true, 1, false, npos},
        {"abxab", 5, "ab", true, 1, false, npos},
        {"abxab", 0, "AB", false, 2, false, 3},
        {"abxab", 0, "AB", true, 1, false, npos},
        {"aaaa", 0, "aa", true, 2, false, 2}, // without overlap
        {"aaaa", 0, "aa", true, 3, false, npos},
        {"aaaa", 0, "aa", true, 2, true, 0},
        {"ab", 0, "abc", true, 1, false, npos},
        {"ab", 0, "", true, 1, false, npos},
        {"abab", 0, "ab", true, 0, false, npos},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(kxString(c.Text).Find(c.Start, c.Find, c.Case, c.N, c.Reverse), c.Expected)
            << c.Text << " " << c.Find << " n=" << c.N << " start=" << c.Start << " reverse=" << c.Reverse;
    }
    // Searches step over embedded zero bytes.
    const kxString zeros("a\0b\0ab", 6);
    EXPECT_EQ(zeros.Find("ab"), 4u);
    EXPECT_EQ(zeros.Count("b"), 2u);
    // A reverse search leaves its argument as it was.
    const kxString needle("ab");
    EXPECT_EQ(kxString("xxab").Find(needle, true, 1, true), 2u);
    EXPECT_EQ(needle.Str(), "ab");
}

TEST(kxString, CountFindAllAndReplaceNeverOverlap) {
    const struct {
        const char* Text;
        const char* Find;
        bool Case;
        size_t Maximum;
        size_t Count;
        size_t First;
    } counts[] = {
        {"aaaaa", "aa", true, npos, 2, 0},
        {"xAbab", "ab", false, 1, 1, 1},
        {"xyz", "ab", true, npos, 0, npos},
    };
    for (const auto& c : counts) {
        size_t first = 12345;
        EXPECT_EQ(kxString(c.Text).Count(c.Find, c.Case, c.Maximum, &first), c.Count) << c.Text;
        EXPECT_EQ(first, c.First) << c.Text;
    }

    std::vector<size_t> positions{99};
    EXPECT_EQ(kxString("abAbab").FindAll("ab", positions, false), 3u);
    EXPECT_EQ(positions, (std::vector<size_t>{99, 0, 2, 4}));

    const struct {
        const char* Text;
        const char* Find;
        const char* Replacement;
        bool Case;
        size_t Maximum;
        size_t Count;
        const char* Expected;
    } cases[] = {
        {"aaaa", "aa", "b", true, npos, 2, "bb"},
        {"abcabc", "bc", "XYZW", true, npos, 2, "aXYZWaXYZW"},
        {"abcabc", "bc", "", true, npos, 2, "aa"},
        {"abcabc", "BC", "-", false, 1, 1, "a-abc"},
        {"abcabc", "BC", "-", true, npos, 0, "abcabc"},
        {"abc", "abc", "abc", true, npos, 0, "abc"},
        {"aXa", "x", "y", false, npos, 1, "aya"},
        {"aaa", "a", "a", true, npos, 0, "aaa"},
        {"a.b.c", ".", "..", true, npos, 2, "a..b..c"}, // the replacement is not searched again
        {"", "a", "b", true, npos, 0, ""},
        {"abc", "", "b", true, npos, 0, "abc"},
    };
    for (const auto& c : cases) {
        kxString s(c.Text);
        EXPECT_EQ(s.Replace(c.Find, c.Replacement, c.Case, c.Maximum), c.Count) << c.Text << " " << c.Find;
        EXPECT_EQ(s.Str(), c.Expected) << c.Text << " " << c.Find;
    }
    kxString chars("aAbA");
    EXPECT_EQ(chars.ReplaceChar('a', 'a'), 0u);
    EXPECT_EQ(chars.ReplaceChar('a', 'x', false, 2), 2u);
    EXPECT_EQ(chars.Str(), "xxbA");
    EXPECT_EQ(kxString::Replaced("1-2-3", "-", "+").Str(), "1+2+3");
    EXPECT_EQ(kxString::ReplacedChar("1-2-3", '-', '+', true, 1).Str(), "1+2-3");
}

TEST(kxString, FindOneOfAndCharClassesScanBothWays) {
    constexpr unsigned kDigit = kxString::kClassDigit;
    constexpr unsigned kLower = kxString::kClassLower;
    const struct {
        const char* Text;
        unsigned Flags;
        size_t Start;
        bool Reverse;
        bool Not; // FindNotCharClass
        size_t Expected;
    } classes[] = {
        {"ab1c", kDigit, 0, false, false, 2},
        {"ab1c", kDigit, npos, true, false, 2},
        {"ab1c", kDigit, 1, true, false, npos},
        {"ab1c", kDigit, 4, false, false, npos},
        {"ab1c", kDigit, 9, true, false, npos},
        {"ab1c", kLower, 0, false, true, 2},
        {"ab1c", kLower | kDigit, 0, false, true, npos},
        {"zZ\t~\x7f", kxString::kClassUpper, 0, false, false, 1},
        {"zZ\t~\x7f", kxString::kClassControl, 3, false, false, 4},
        {"zZ\t~\x7f", kxString::kClassPrintable, 0, false, true, 2},
        {"xyzF", kxString::kClassHexDigit, 0, false, false, 3},
        {"", kDigit, npos, true, false, npos},
    };
    for (const auto& c : classes) {
        const kxString s(c.Text);
        EXPECT_EQ(c.Not ? s.FindNotCharClass(c.Flags, c.Start, c.Reverse)
                        : s.FindCharClass(c.Flags, c.Start, c.Reverse),
                  c.Expected)
            << c.Text << " flags " << c.Flags << " from " << c.Start << (c.Reverse ? " reverse" : "")
            << (c.Not ? " not" : "");
    }

    // A reverse search from npos starts at the last character.
    const struct {
        const char* Set;
        size_t Start;
        bool Case;
        bool Reverse;
        bool Not; // FindNotOneOf
        size_t Expected;
    } sets[] = {
        {",W", 0, true, false, false, 5},    {"w", 0, false, false, false, 7},  {"w", 0, true, false, false, npos},
        {"lo", npos, true, true, false, 10}, {"lo", 9, true, true, false, 8},   {"Helo", 0, true, false, true, 5},
        {"dlr", npos, true, true, true, 8},  {"", 0, true, false, false, npos},
    };
    const kxString hello("Hello, World");
    for (const auto& c : sets) {
        EXPECT_EQ(c.Not ? hello.FindNotOneOf(c.Set, c.Start, c.Case, c.Reverse)
                        : hello.FindOneOf(c.Set, c.Start, c.Case, c.Reverse),
                  c.Expected)
            << c.Set << " from " << c.Start << (c.Reverse ? " reverse" : "") << (c.Not ? " not" : "");
    }

    const struct {
        const char* Text;
        unsigned Flags;
        unsigned Expected;
    } edges[] = {{"[a]", 3, 3}, {"[a]", 2, 2}, {"a]", 1, 0}, {"", 3, 0}};
    for (const auto& c : edges) {
        EXPECT_EQ(kxString(c.Text).EdgeCharsInSet("[]", c.Flags), c.Expected) << c.Text << " " << c.Flags;
    }
}

TEST(kxString, StartsAndEndsWithOptionallySkippingWhiteSpace) {
    const char* const padded = "  Hello World \t";
    const struct {
        const char* Text;
        bool Ends; // EndsWith, else StartsWith
        const char* Find;
        bool Case;
        bool SkipWhiteSpace;
        bool Expected;
    } cases[] = {
        {padded, false, "Hello", true, false, false}, {padded, false, "Hello", true, true, true},
        {padded, false, "hello", false, true, true},  {padded, false, "hello", true, true, false},
        {padded, true, "world", false, true, true},   {padded, true, "World", true, false, false},
        {"ab", true, "ab", true, false, true},        {"b", true, "ab", true, false, false},
        {"   ", false, "a", true, true, false},       {padded, false, "", true, false, false},
        {"", false, "", true, false, true},           {"", true, "", true, false, true},
    };
    for (const auto& c : cases) {
        const kxString s(c.Text);
        EXPECT_EQ(c.Ends ? s.EndsWith(c.Find, c.Case, c.SkipWhiteSpace)
                         : s.StartsWith(c.Find, c.Case, c.SkipWhiteSpace),
                  c.Expected)
            << "'" << c.Text << (c.Ends ? "' ends with '" : "' starts with '") << c.Find << "'";
    }
}

TEST(kxString, SplitKeepsEmptyPiecesOnlyWhenAsked) {
    const struct {
        const char* Text;
        const char* Delimiters;
        bool Trim;
        bool KeepEmpty;
        std::vector<std::string> Items;
    } cases[] = {
        {"a,,b,", ",", false, false, {"a", "b"}},
        {"a,,b,", ",", false, true, {"a", "", "b"}},
        {" a , b ", ",", true, false, {"a", "b"}},
        {"a, ", ",", true, false, {"a", ""}}, // the last piece stays even when trimming empties it
        {"a; b,c", ",;", false, false, {"a", " b", "c"}},
        {"abc", "", false, false, {"abc"}},
        {" abc ", "", true, false, {" abc "}},
        {",a", ",", false, true, {"", "a"}},
        {",", ",", false, true, {""}},
        {"abc", ",", false, false, {"abc"}},
        {"a,  ,b", ",", true, false, {"a", "b"}},
        {"a,  ,b", ",", true, true, {"a", "", "b"}},
    };
    for (const auto& c : cases) {
        std::vector<kxString> items{kxString("stale")};
        EXPECT_EQ(kxString(c.Text).Split(c.Delimiters, items, c.Trim, c.KeepEmpty), c.Items.size()) << c.Text;
        EXPECT_EQ(Texts(items), c.Items) << c.Text;
    }
    std::vector<kxString> runs;
    EXPECT_EQ(kxString("aabccc").SplitRuns(runs), 3u);
    EXPECT_EQ(Texts(runs), (std::vector<std::string>{"aa", "b", "ccc"}));
}

TEST(kxString, PartsOfTheTextStayInsideIt) {
    const kxString s("abcdef");
    const struct {
        const char* What;
        kxString Part;
        const char* Expected;
    } parts[] = {
        {"Left(2)", s.Left(2), "ab"},         {"Left(99)", s.Left(99), "abcdef"}, {"Right(2)", s.Right(2), "ef"},
        {"Right(99)", s.Right(99), "abcdef"}, {"Mid(2, 2)", s.Mid(2, 2), "cd"},   {"Mid(6)", s.Mid(6), ""},
    };
    for (const auto& c : parts) {
        EXPECT_EQ(c.Part.Str(), c.Expected) << c.What;
    }
    EXPECT_THROW(s.Mid(7), std::out_of_range);
    const struct {
        size_t Position;
        char Expected;
    } characters[] = {{5, 'f'}, {6, '\0'}, {npos, '\0'}};
    for (const auto& c : characters) {
        EXPECT_EQ(s.GetAt(c.Position), c.Expected) << c.Position;
    }

    kxString cut("abcdef");
    EXPECT_EQ(cut.Cut(1, 2).Str(), "bc");
    EXPECT_EQ(cut.Str(), "adef");
    EXPECT_EQ(cut.Cut(2, 99).Str(), "ef");
    EXPECT_EQ(cut.Str(), "ad");
    EXPECT_EQ(cut.Cut(2).Str(), "");
    EXPECT_EQ(cut.Str(), "ad");

    EXPECT_EQ(kxString::Repeated("ab", 3).Str(), "ababab");
    EXPECT_EQ(kxString("ab").Repeat(0).Str(), "");
    EXPECT_THROW(kxString("ab").Repeat(npos / 2 + 1), std::length_error);

    const struct {
        const char* Text;
        bool AtFront;
        const char* PadText;
        size_t Width;
        const char* Expected;
    } pads[] = {
        {"xyz", true, "ab", 7, "ababxyz"}, {"xyz", false, "ab", 6, "xyzaba"}, {"xyz", true, "0", 5, "00xyz"},
        {"xyz", true, "ab", 3, "xyz"},     {"xyz", true, "", 9, "xyz"},       {"", false, "-", 2, "--"},
    };
    for (const auto& c : pads) {
        EXPECT_EQ(kxString(c.Text).Pad(c.AtFront, c.PadText, c.Width).Str(), c.Expected) << c.Text;
    }

    const struct {
        const char* Text;
        size_t Start;
        const char* StopChars;
        const char* Expected;
    } digits[] = {{"(555) 123-4567 ext 89", 0, "e", "5551234567"}, {"a1b2", 2, "", "2"}, {"a1b2", 9, "", ""}};
    for (const auto& c : digits) {
        EXPECT_EQ(kxString(c.Text).Digits(c.Start, c.StopChars).Str(), c.Expected) << c.Text << " from " << c.Start;
    }

    const struct {
        size_t From;
        size_t To;
        const char* Expected;
    } fills[] = {{1, npos, "a***"}, {npos, 2, "**cd"}, {4, npos, "abcd"}, {2, 99, "ab**"}};
    for (const auto& c : fills) {
        EXPECT_EQ(kxString("abcd").Fill('*', c.From, c.To).Str(), c.Expected) << c.From << " to " << c.To;
    }
}

TEST(kxString, TruthAndNumberTests) {
    for (const char* yes : {"yes", "On", "t", "1", "TRUE", "y"}) {
        EXPECT_TRUE(kxString(yes).IsTrue()) << yes;
    }
    for (const char* no : {"2", "", "TRUE ", "no", "0", "tr"}) {
        EXPECT_FALSE(kxString(no).IsTrue()) << no;
    }
    const struct {
        const char* Text;
        bool Loose;
        bool DigitsOnly;
    } numbers[] = {
        {" -12.5", true, false}, {"12.5.1", false, false}, {"1-2", false, false}, {"+", false, false},
        {"12 ", false, false},   {"007", true, true},      {".5", true, false},   {"-.5", true, false},
        {".-5", false, false},   {"+-5", false, false},    {"5.", true, false},   {"\t5", false, false},
        {" ", false, false},     {"1e5", false, false},
    };
    for (const auto& c : numbers) {
        EXPECT_EQ(kxString(c.Text).IsNumeric(), c.Loose) << c.Text;
        EXPECT_EQ(kxString(c.Text).IsNumeric(true), c.DigitsOnly) << c.Text;
    }
    EXPECT_TRUE(kxString(" \t\r\n").IsEmpty(true));
    EXPECT_FALSE(kxString(" \t\r\n").IsEmpty());
    EXPECT_FALSE(kxString(" x ").IsEmpty(true));
}

TEST(kxString, NumericConversionsHoldTheThirtyTwoBitRange) {
    const struct {
        const char* Text;
        int32_t Long;
        uint32_t ULong;
        double Double;
    } cases[] = {
        {"42", 42, 42, 42},
        {"  -17abc", -17, 4294967279u, -17},
        {"2147483648", INT32_MAX, 2147483648u, 2147483648.0},
        {"-2147483649", INT32_MIN, 2147483647u, -2147483649.0},
        {"4294967296", INT32_MAX, UINT32_MAX, 4294967296.0},
        {"99999999999999999999999", INT32_MAX, UINT32_MAX, 1e23},
        {"abc", 0, 0, 0},
        {"+3.75", 3, 3, 3.75},
        {"", 0, 0, 0},
    };
    for (const auto& c : cases) {
        const kxString s(c.Text);
        EXPECT_EQ(s.AsLong(), c.Long) << c.Text;
        EXPECT_EQ(s.AsInt(), c.Long) << c.Text;
        EXPECT_EQ(s.AsULong(), c.ULong) << c.Text;
        EXPECT_DOUBLE_EQ(s.AsDouble(), c.Double) << c.Text;
    }
}

TEST(kxString, CompareWithCasePrefixAndTrimOptions) {
    const struct {
        const char* Text;
        const char* Other;
        bool Case;
        bool PrefixOnly;
        bool TrimFirst;
        int Sign; // of the result
    } cases[] = {
        {"abc", "ABD", false, false, false, -1},  {"abc", "ABD", true, false, false, 1},
        {"abc", "abcd", true, true, false, 0},    {"abc", "abcd", true, false, false, -1},
        {"abc  ", "abc\t", true, false, true, 0}, {"", "", true, false, false, 0},
        {"\xE9", "a", true, false, false, 1}, // bytes compare unsigned, as strcmp
    };
    for (const auto& c : cases) {
        const int result = kxString(c.Text).Compare(c.Other, c.Case, c.PrefixOnly, c.TrimFirst);
        EXPECT_EQ((result > 0) - (result < 0), c.Sign) << "'" << c.Text << "' with '" << c.Other << "'";
    }
    // An empty text sorts by length: exactly -1, 0 or 1.
    const struct {
        const char* Text;
        const char* Other;
        bool PrefixOnly;
        bool TrimFirst;
        int Expected;
    } empties[] = {{"", "a", false, false, -1}, {"a", "", true, false, 1}, {" ", "", false, true, 0}};
    for (const auto& c : empties) {
        EXPECT_EQ(kxString(c.Text).Compare(c.Other, true, c.PrefixOnly, c.TrimFirst), c.Expected)
            << "'" << c.Text << "' with '" << c.Other << "'";
    }
    EXPECT_NE(kxString("abc  ").Compare("abc\t"), 0);
}

TEST(kxString, SecureClearZeroesTheTextBeforeEmptying) {
    kxString s("secret");
    const char* storage = s.c_str();
    s.Clear(true);
    EXPECT_EQ(s.Length(), 0u);
    EXPECT_EQ(std::string(storage, 6), std::string(6, '\0')); // the small-string buffer stays in the object
}

TEST(kxString, LibraryHelpersBuildTheirTexts) {
    kxString hex("stale");
    const uint8_t bytes[] = {0x00, 0xAB, 0x10};
    kxBytesToHex(bytes, 3, hex);
    EXPECT_EQ(hex.Str(), "00AB10");
    kxBytesToHex(nullptr, 3, hex);
    EXPECT_EQ(hex.Str(), "");

    const struct {
        const char* Text;
        const char* Find;
        ptrdiff_t At; // -1: not found
    } searches[] = {
        {"Hello World", "WORLD", 6}, {"Hello World", "", 0}, {"Hello World", "worlds", -1}, {"abab", "BAB", 1}};
    for (const auto& c : searches) {
        const char* found = kxString::StrStrNoCase(c.Text, c.Find);
        EXPECT_EQ(found, c.At < 0 ? nullptr : c.Text + c.At) << c.Text << " " << c.Find;
    }

    const struct {
        const char* What;
        kxString Made;
        const char* Expected;
    } built[] = {
        {"attribute", kxString::XmlAttribute("id", "7"), " id=\"7\""},
        {"element", kxString::XmlElement("a", "x<y", true, 2), "\t\t<a>x<y</a>\r\n"},
        {"element, no indent", kxString::XmlElement("a", "", false, -1), "<a></a>"},
        {"open tag", kxString::XmlOpenTag("r", true, 1), "\t<r>\r\n"},
        {"close tag", kxString::XmlCloseTag("r"), "</r>"},
        {"system text", kxString::SystemErrorText(2), "No such file or directory"},
        {"system text untrimmed", kxString::SystemErrorText(2, false), "No such file or directory\r\n"},
        {"no system text", kxString::SystemErrorText(999999), ""},
    };
    for (const auto& c : built) {
        EXPECT_EQ(c.Made.Str(), c.Expected) << c.What;
    }
}

TEST(kxString, NewGuidStringsAreVersionFourAndDistinct) {
    std::set<std::string> seen;
    for (int i = 0; i < 64; ++i) {
        const kxString guid = kxString::NewGuidString();
        ASSERT_EQ(guid.Length(), 36u) << guid.Str();
        for (size_t p = 0; p < 36; ++p) {
            const char c = guid.GetAt(p);
            if (p == 8 || p == 13 || p == 18 || p == 23) {
                EXPECT_EQ(c, '-') << guid.Str();
            } else {
                EXPECT_TRUE((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')) << guid.Str();
            }
        }
        EXPECT_EQ(guid.GetAt(14), '4') << guid.Str();
        EXPECT_NE(std::string("89ab").find(guid.GetAt(19)), std::string::npos) << guid.Str();
        seen.insert(guid.Str());
    }
    EXPECT_EQ(seen.size(), 64u);
}

TEST(kxString, ConversionBuffersKeepTheLowByte) {
    const kxWideBuffer wide("a\xE9z");
    ASSERT_NE(wide.Data(), nullptr);
    EXPECT_EQ(wide.Length(), 3u);
    EXPECT_EQ(std::u16string(wide.Data()), u"a\u00E9z");
    const kxWideBuffer part("abcdef", 2);
    EXPECT_EQ(std::u16string(part.Data()), u"ab");
    const kxWideBuffer none(nullptr);
    EXPECT_EQ(none.Data(), nullptr);
    EXPECT_EQ(none.Length(), 0u);

    const kxNarrowBuffer narrow(u"A\u0142\u00FF");
    ASSERT_NE(narrow.Data(), nullptr);
    EXPECT_EQ(narrow.Length(), 3u);
    EXPECT_EQ(std::string(narrow.Data()), "A\x42\xFF");
    const kxNarrowBuffer empty(u"");
    ASSERT_NE(empty.Data(), nullptr);
    EXPECT_EQ(empty.Length(), 0u);
    EXPECT_EQ(kxNarrowBuffer(nullptr).Data(), nullptr);
}

TEST(kxString, ExceptionCarriesItsTextThroughACatch) {
    try {
        throw kxException(kxFormatString("Invalid day: %d, valid days in %s: %d through %d.", 29, "Feb", 1, 28));
    } catch (const kxString& caught) {
        const kxString copy(caught);
        EXPECT_EQ(copy.Str(), "Invalid day: 29, valid days in Feb: 1 through 28.");
    }
    EXPECT_THROW(throw kxException("plain"), kxException);
}

TEST(kxString, SecureStringIsAStringOfTheSameText) {
    const kxSecureString secure(kxString("2012-03-15"));
    const kxString& base = secure;
    EXPECT_EQ(base.Str(), "2012-03-15");
    std::set<kxString> ordered{kxString("b"), kxString("a")};
    EXPECT_EQ(ordered.begin()->Str(), "a");
}
