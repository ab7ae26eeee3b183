#include "host/TicketList.h"

#include <gtest/gtest.h>

#include "platform/ProcessEvents.h"

namespace {
class TicketListTest : public ::testing::Test {
protected:
    void SetUp() override { g_ShutdownEvent.Reset(); }
    void TearDown() override { g_ShutdownEvent.Reset(); }
    CTicketList m_Tickets;
};
} // namespace

TEST_F(TicketListTest, TicketsCountUpFromOneAndWrapAfter999999) {
    EXPECT_EQ(m_Tickets.NextTicket(), 1u);
    EXPECT_EQ(m_Tickets.NextTicket(), 2u);
    m_Tickets.SetLastTicketForTesting(999998);
    EXPECT_EQ(m_Tickets.NextTicket(), 999999u);
    EXPECT_EQ(m_Tickets.NextTicket(), 1u);
    EXPECT_EQ(m_Tickets.GetCount(), 4);
}

TEST_F(TicketListTest, NoTicketWhileShuttingDownAndNothingIsAdded) {
    m_Tickets.NextTicket();
    g_ShutdownEvent.Set();
    EXPECT_EQ(m_Tickets.NextTicket(), 0u);
    EXPECT_EQ(m_Tickets.GetCount(), 1);
    g_ShutdownEvent.Reset();
    EXPECT_EQ(m_Tickets.NextTicket(), 2u); // the refused call used up no number
}

TEST_F(TicketListTest, RemoveTakesOneEqualTicketAndReportsAbsentOnes) {
    m_Tickets.SetLastTicketForTesting(999999);
    const uint32_t wrapped = m_Tickets.NextTicket(); // 1
    m_Tickets.SetLastTicketForTesting(0);
    const uint32_t again = m_Tickets.NextTicket(); // 1 once more: two equal outstanding tickets
    ASSERT_EQ(wrapped, again);
    const uint32_t other = m_Tickets.NextTicket();
    EXPECT_TRUE(m_Tickets.RemoveTicket(wrapped));
    EXPECT_EQ(m_Tickets.GetCount(), 2);
    EXPECT_TRUE(m_Tickets.RemoveTicket(wrapped));
    EXPECT_FALSE(m_Tickets.RemoveTicket(wrapped));
    EXPECT_FALSE(m_Tickets.RemoveTicket(0));
    EXPECT_EQ(m_Tickets.GetCount(), 1);
    m_Tickets.RemoveAll();
    EXPECT_EQ(m_Tickets.GetCount(), 0);
    EXPECT_FALSE(m_Tickets.RemoveTicket(other));
    EXPECT_EQ(m_Tickets.NextTicket(), other + 1); // clearing keeps the numbering
}
