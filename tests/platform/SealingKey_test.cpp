#include "platform/SealingKey.h"

#include <array>
#include <filesystem>
#include <string>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "common/TempDirTest.h"

namespace fs = std::filesystem;

namespace {
const fs::path kKeyFile = fs::path("keys") / "journal.key";

CSealingKey Load(ESealingKeyOrigin expected) {
    CSealingKey key;
    ESealingKeyOrigin origin = ESealingKeyOrigin::Loaded;
    std::string error;
    EXPECT_TRUE(CSealingKey::LoadOrCreate(kKeyFile, &key, &origin, &error)) << error;
    EXPECT_EQ(origin, expected);
    return key;
}

class SealingKeyTest : public TempDirTest {};
} // namespace

TEST_F(SealingKeyTest, AKeyIsMadeOnFirstUseForTheOwnerAloneAndReadBackAfterwards) {
    const mode_t previous = ::umask(0);
    const CSealingKey made = Load(ESealingKeyOrigin::Created);
    ::umask(previous);
    EXPECT_EQ(fs::status("keys").permissions(), fs::perms::owner_all);
    EXPECT_EQ(fs::status(kKeyFile).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(fs::file_size(kKeyFile), CSealingKey::kKeyBytes);

    std::string sealed;
    ASSERT_TRUE(made.Seal("6035710012341234", "entry 1", &sealed));
    EXPECT_EQ(sealed.size(), CSealingKey::kNonceBytes + 16 + CSealingKey::kTagBytes);
    EXPECT_EQ(sealed.find("6035710012341234"), std::string::npos);
    std::string plain;
    ASSERT_TRUE(Load(ESealingKeyOrigin::Loaded).Open(sealed, "entry 1", &plain));
    EXPECT_EQ(plain, "6035710012341234");
}

TEST_F(SealingKeyTest, EachSealHasItsOwnNonceAndOpensOnlyUnchangedInItsContext) {
    const CSealingKey key = Load(ESealingKeyOrigin::Created);
    std::string first;
    std::string second;
    ASSERT_TRUE(key.Seal("same", "ctx", &first));
    ASSERT_TRUE(key.Seal("same", "ctx", &second));
    EXPECT_NE(first, second);
    std::string plain;
    EXPECT_FALSE(key.Open(first, "other ctx", &plain));
    for (size_t i = 0; i < first.size(); ++i) {
        std::string changed = first;
        changed[i] = static_cast<char>(changed[i] ^ 0x01);
        EXPECT_FALSE(key.Open(changed, "ctx", &plain)) << i;
    }
    EXPECT_FALSE(key.Open(first.substr(0, first.size() - 1), "ctx", &plain));
    EXPECT_FALSE(key.Open("", "ctx", &plain));
    std::array<uint8_t, CSealingKey::kKeyBytes> otherBytes{};
    EXPECT_FALSE(CSealingKey::FromBytes(otherBytes).Open(first, "ctx", &plain));
    // The empty text seals too.
    ASSERT_TRUE(key.Seal("", "ctx", &first));
    ASSERT_TRUE(key.Open(first, "ctx", &plain));
    EXPECT_EQ(plain, "");
    EXPECT_FALSE(CSealingKey().Seal("x", "ctx", &first));
}

TEST_F(SealingKeyTest, AFileThatIsNoKeyIsMovedAsideNeverDeleted) {
    fs::create_directory("keys");
    WriteFileBytes(kKeyFile, "short");
    Load(ESealingKeyOrigin::ReplacedBadFile);
    EXPECT_EQ(fs::file_size(kKeyFile), CSealingKey::kKeyBytes);
    int aside = 0;
    for (const auto& entry : fs::directory_iterator("keys")) {
        if (entry.path().filename().string().rfind("journal.key.bad-", 0) == 0) {
            EXPECT_EQ(ReadFileBytes(entry.path()), "short");
            ++aside;
        }
    }
    EXPECT_EQ(aside, 1);
}
