#include "host/ViewSink.h"

#include <thread>
#include <vector>

#include <gtest/gtest.h>

TEST(ViewSinkTest, MessagesCarryTheirNumbersAndNames) {
    const struct {
        EViewMessage message;
        uint32_t number;
        const char* name;
    } cases[] = {
        {WM_START_INTERFACES, 0x8001, "WM_START_INTERFACES"},
        {WM_REFRESH_TITLE, 0x8002, "WM_REFRESH_TITLE"},
        {WM_STOP_INTERFACES, 0x8003, "WM_STOP_INTERFACES"},
        {WM_SENDING_AUTH, 0x8004, "WM_SENDING_AUTH"},
        {WM_SENDING_AUTH_DIAL, 0x8005, "WM_SENDING_AUTH_DIAL"},
        {WM_AUTH_RESPONSE, 0x8006, "WM_AUTH_RESPONSE"},
        {WM_AUTH_RESPONSE_DIAL, 0x8007, "WM_AUTH_RESPONSE_DIAL"},
        {WM_SET_OFFLINE_TITLE, 0x8008, "WM_SET_OFFLINE_TITLE"},
        {WM_SD_RESPONSE, 0x8009, "WM_SD_RESPONSE"},
        {WM_REGISTRATION_RESPONSE, 0x800A, "WM_REGISTRATION_RESPONSE"},
        {WM_ACTIVATION_RESPONSE, 0x800B, "WM_ACTIVATION_RESPONSE"},
        {WM_SENDING_SD_REQUEST, 0x800C, "WM_SENDING_SD_REQUEST"},
        {WM_SENDING_REGISTRATION, 0x800D, "WM_SENDING_REGISTRATION"},
        {WM_SENDING_ACTIVATION, 0x800E, "WM_SENDING_ACTIVATION"},
        {WM_TRAY_NOTIFY, 0x800F, "WM_TRAY_NOTIFY"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(static_cast<uint32_t>(c.message), c.number);
        EXPECT_EQ(ViewMessageName(c.message), c.name);
    }
    EXPECT_EQ(ViewMessageName(0x8010), "WM_0x8010");
    EXPECT_EQ(ViewMessageName(0x8000), "WM_0x8000");
}

TEST(ViewSinkTest, PostsReachTheConnectedSinkInOrderAndNothingElse) {
    CQueuedViewSink sink;
    PostViewMessage(WM_SENDING_AUTH); // no view connected: dropped
    {
        CScopedTrafficView view(sink);
        std::vector<std::thread> posters;
        for (int i = 0; i < 4; ++i) {
            posters.emplace_back([] {
                for (int j = 0; j < 100; ++j) {
                    PostViewMessage(WM_AUTH_RESPONSE);
                }
            });
        }
        for (auto& poster : posters) {
            poster.join();
        }
        PostViewMessage(WM_SET_OFFLINE_TITLE);
    }
    PostViewMessage(WM_SENDING_AUTH); // disconnected again
    EXPECT_EQ(sink.Count(WM_AUTH_RESPONSE), 400);
    EXPECT_EQ(sink.Count(WM_SENDING_AUTH), 0);
    const std::vector<EViewMessage> taken = sink.Take();
    ASSERT_EQ(taken.size(), 401u);
    EXPECT_EQ(taken.back(), WM_SET_OFFLINE_TITLE);
    EXPECT_TRUE(sink.Take().empty());
}
