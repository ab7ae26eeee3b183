#include "transaction/Settlement.h"

#include <cstring>
#include <iterator>
#include <string>

#include <gtest/gtest.h>

#include "transaction/CardHelpers.h"

namespace {

// Every outcome a caller knows, in the order of the columns below.
constexpr EHostOutcome kOutcomes[] = {
    EHostOutcome::kSending,  EHostOutcome::kNotBooked, EHostOutcome::kAnswerMissing, EHostOutcome::kHostError,
    EHostOutcome::kDeclined, EHostOutcome::kApproved,  EHostOutcome::kDelivered,     EHostOutcome::kUndeliverable,
};
constexpr const char* kOutcomeNames[] = {"sending",  "not booked", "answer missing", "host error",
                                         "declined", "approved",   "delivered",      "undeliverable"};

char Letter(ESettlement settlement) {
    switch (settlement) {
    case ESettlement::kSettle:
        return 'S';
    case ESettlement::kReverse:
        return 'R';
    case ESettlement::kLeaveInDoubt:
        return 'D';
    }
    return '?';
}

// A transaction that can move money: journalled in doubt on its way and while its approval waits for the lane,
// reversed when its answer goes missing or its approval cannot be delivered, settled otherwise.
constexpr char kMoves[] = "DSRSSDSR";
// One that cannot: nothing of it is ever journalled or reversed.
constexpr char kNever[] = "SSSSSSSS";

} // namespace

TEST(SettlementTest, EachTranCodeAndOutcomeIsSettledReversedOrLeftInDoubt) {
    const struct {
        int tranCode;
        const char* name; // the TranCode keyword the number stands for ("INVALID": none)
        const char* columns;
    } rows[] = {
        {60, "Issue", kMoves},   {61, "VoidIssue", kMoves}, {62, "Sale", kMoves},       {63, "Return", kMoves},
        {64, "Reload", kMoves},  {65, "VoidSale", kMoves},  {66, "VoidReturn", kMoves}, {67, "VoidReload", kMoves},
        {68, "Balance", kNever}, {69, "NoNSFSale", kMoves}, {70, "CashOut", kMoves},    {50, "INVALID", kNever},
        {0, "INVALID", kNever},  {71, "INVALID", kNever},   {59, "INVALID", kNever},    {-62, "INVALID", kNever},
    };
    static_assert(std::size(kOutcomes) == std::size(kOutcomeNames));
    for (const auto& row : rows) {
        SCOPED_TRACE(row.tranCode);
        // The number is the TranCode the row names (50, a reversal, has no keyword of its own).
        EXPECT_EQ(TranCodeName(row.tranCode), row.name);
        ASSERT_EQ(std::strlen(row.columns), std::size(kOutcomes));
        for (size_t i = 0; i < std::size(kOutcomes); ++i) {
            EXPECT_EQ(Letter(SettlementOf(row.tranCode, kOutcomes[i])), row.columns[i]) << kOutcomeNames[i];
        }
        EXPECT_EQ(MovesMoney(row.tranCode), row.columns == kMoves);
    }
}

TEST(SettlementTest, NoOtherNumberMovesMoney) {
    int moving = 0;
    for (int tranCode = -1000; tranCode <= 1000; ++tranCode) {
        moving += MovesMoney(tranCode) ? 1 : 0;
    }
    // The ten of the table above, and no other.
    EXPECT_EQ(moving, 10);
}
