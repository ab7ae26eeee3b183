#include "kxlib/kxGuid.h"

#include <regex>
#include <set>
#include <string>

#include <gtest/gtest.h>

TEST(kxGuid, RegistryFormIsUpperCaseVersionFourWithTheCallersDelimiters) {
    const std::regex registry("\\{[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}\\}");
    std::set<std::string> seen;
    for (int i = 0; i < 50; ++i) {
        kxString text("stale");
        FormatNewGuid(text, '{', '}', '-');
        ASSERT_EQ(text.Length(), 38u);
        EXPECT_TRUE(std::regex_match(text.Str(), registry)) << text.Str();
        seen.insert(text.Str());
    }
    EXPECT_EQ(seen.size(), 50u);

    kxString bare;
    FormatNewGuid(bare, '\0', '\0', '\0');
    EXPECT_TRUE(std::regex_match(bare.Str(), std::regex("[0-9A-F]{12}4[0-9A-F]{19}")));
    kxString other;
    FormatNewGuid(other, '(', ')', ':');
    EXPECT_TRUE(std::regex_match(other.Str(), std::regex("\\([0-9A-F]{8}(:[0-9A-F]{4}){3}:[0-9A-F]{12}\\)")));
}
