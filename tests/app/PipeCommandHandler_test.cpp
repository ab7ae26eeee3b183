// The launcher's five pipe commands and their replies, byte for byte: the prefix rule, the exact comparison,
// the caption and traffic lines read from the launcher copy, the log folder actually written to, the traffic
// reply cut to the newest lines that fit whole, and every reply cut to the buffer.

#include "app/PipeCommandHandler.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/LauncherViewCopy.h"
#include "common/TempDirTest.h"

namespace {

const std::string RS = "\x1E";
const std::string US = "\x1F";

// The handler's reply to |request| in a buffer of |size| bytes (4096 as the pipe server gives it).
std::string Reply(CLauncherViewCopy* view, const std::string& request, size_t size = 4096) {
    std::vector<char> buffer(size, 'x');
    PipeCommandHandler(reinterpret_cast<uintptr_t>(view), request.c_str(), buffer.data(), size);
    const auto end = std::find(buffer.begin(), buffer.end(), '\0');
    EXPECT_NE(buffer.end(), end) << "no NUL within the buffer";
    return std::string(buffer.begin(), end);
}

class PipeCommandHandlerTest : public TempDirTest {
protected:
    CLauncherViewCopy m_View;
};

TEST_F(PipeCommandHandlerTest, OnlyTheFiveCommandsBehindThePrefixAreAnswered) {
    m_View.SetCaption("  Kestrove XML 5.0 (RuvuzUvir) #Requests-> 0    #Sockets-> 1     10:11:12");
    m_View.AddTrafficLine("[01/02/24 10:00:00] Sending Auth Request to RuvuzUvir.");
    const std::string logs = std::filesystem::current_path().string() + "/CORVANE_LOGS";
    struct Case {
        std::string request;
        std::string reply;
    };
    const Case cases[] = {
        {"COMMAND" + RS + "APP NAME", "Kestrove 5.00 for RuvuzUvir"},
        {"COMMAND" + RS + "APP CAPTION", "  Kestrove XML 5.0 (RuvuzUvir) #Requests-> 0    #Sockets-> 1     10:11:12"},
        {"COMMAND" + RS + "APP LOG LOCATION", logs},
        {"COMMAND" + RS + "APP VIEW", "[01/02/24 10:00:00] Sending Auth Request to RuvuzUvir."},
        // Without a window no snapshot can be made.
        {"COMMAND" + RS + "APP SETTINGS FORM", "ERROR" + RS + "Failed to create dialog window."},
        {"COMMAND" + RS + "app name", ""},
        {"COMMAND" + RS + "APP NAME ", ""},
        {"COMMAND" + RS + " APP NAME", ""},
        {"COMMAND" + RS + "APP", ""},
        {"COMMAND" + RS, ""},
        {"APP NAME", ""},
        {"COMMAND APP NAME", ""},
        {"command" + RS + "APP NAME", ""},
        {"COMMAND" + US + "APP NAME", ""},
        {"", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.reply, Reply(&m_View, c.request)) << c.request;
    }
}

TEST_F(PipeCommandHandlerTest, EveryReplyIsCutToTheBufferLessItsNul) {
    m_View.SetCaption(std::string(5000, 'c'));
    EXPECT_EQ(std::string(4095, 'c'), Reply(&m_View, "COMMAND" + RS + "APP CAPTION"));
    EXPECT_EQ("Kest", Reply(&m_View, "COMMAND" + RS + "APP NAME", 5));
    EXPECT_EQ("", Reply(&m_View, "COMMAND" + RS + "APP NAME", 1));
}

TEST_F(PipeCommandHandlerTest, MissingRequestOrBufferIsLeftAlone) {
    char reply[8] = "keep";
    PipeCommandHandler(reinterpret_cast<uintptr_t>(&m_View), nullptr, reply, sizeof reply);
    EXPECT_STREQ("keep", reply);
    PipeCommandHandler(reinterpret_cast<uintptr_t>(&m_View),
                       "COMMAND\x1E"
                       "APP NAME",
                       nullptr, 4096);
    PipeCommandHandler(reinterpret_cast<uintptr_t>(&m_View),
                       "COMMAND\x1E"
                       "APP NAME",
                       reply, 0);
    EXPECT_STREQ("keep", reply);
}

TEST_F(PipeCommandHandlerTest, LogLocationIsTheFolderTheLogIsWrittenIn) {
    EXPECT_EQ("/var/lib/kestrove/CORVANE_LOGS", LogLocationReply("/var/lib/kestrove"));
    EXPECT_EQ("/var/lib/kestrove/CORVANE_LOGS", LogLocationReply("/var/lib/kestrove/"));
    EXPECT_EQ("/CORVANE_LOGS", LogLocationReply("/"));
    EXPECT_EQ("", LogLocationReply(""));
    // The working folder at the time of asking, whatever the executable's folder is.
    std::filesystem::create_directory("elsewhere");
    std::filesystem::current_path("elsewhere");
    const std::string here = std::filesystem::current_path().string();
    EXPECT_EQ(here + "/CORVANE_LOGS", Reply(&m_View, "COMMAND" + RS + "APP LOG LOCATION"));
    std::filesystem::current_path(m_TempDir.Path());
}

TEST(TrafficViewReplyTest, NewestLinesThatFitWholeJoinedByUnitSeparators) {
    EXPECT_EQ("", TrafficViewReply({}, 4096));
    EXPECT_EQ("c" + US + "b" + US + "a", TrafficViewReply({"c", "b", "a"}, 4096));

    // 4095 characters fit a 4096-byte buffer, one more does not: the line that would cross is left out whole.
    const std::string first(2000, 'n');
    const std::string second(2094, 'o'); // 2000 + 1 + 2094 = 4095
    EXPECT_EQ(first + US + second, TrafficViewReply({first, second, "older"}, 4096));
    const std::string longer(2095, 'o'); // 4096 would leave no room for the NUL
    EXPECT_EQ(first, TrafficViewReply({first, longer, "older"}, 4096));
    // A separator that would fill the buffer ends the reply too.
    EXPECT_EQ(std::string(4095, 'n'), TrafficViewReply({std::string(4095, 'n'), "x"}, 4096));
    // A newest line that does not fit leaves the reply empty.
    EXPECT_EQ("", TrafficViewReply({std::string(4096, 'n'), "x"}, 4096));
}

TEST_F(PipeCommandHandlerTest, TrafficReplyReadsTheCopyNewestFirst) {
    for (int i = 0; i < 3; ++i) {
        m_View.AddTrafficLine("line " + std::to_string(i));
    }
    EXPECT_EQ("line 2" + US + "line 1" + US + "line 0", Reply(&m_View, "COMMAND" + RS + "APP VIEW"));
    CLauncherViewCopy empty;
    EXPECT_EQ("", Reply(&empty, "COMMAND" + RS + "APP VIEW"));
}

} // namespace
