#include "transaction/Settlement.h"

#include "platform/Clock.h"
#include "transaction/HostMessage.h"

namespace {
// However the wall clock moves, a reversal is never held longer than this.
constexpr uint64_t kReversalMaxHoldMs = (kReversalHoldSeconds + 1) * 1000;

// The host's response code of an answered reversal ("39"), as ParseHostResponse put it in m_ResponseText.
bool AnsweredWith(const CTransaction& reversal, int code) {
    return reversal.m_ResponseText.rfind(HostResponseText(code), 0) == 0;
}
} // namespace

bool MovesMoney(int tranCode) {
    return (tranCode >= kTranNumIssue && tranCode <= kTranNumVoidReload) || tranCode == kTranNumNoNSFSale ||
           tranCode == kTranNumCashOut;
}

ESettlement SettlementOf(int tranCode, EHostOutcome outcome) {
    if (!MovesMoney(tranCode)) {
        return ESettlement::kSettle;
    }
    switch (outcome) {
    case EHostOutcome::kSending:
    case EHostOutcome::kApproved:
        return ESettlement::kLeaveInDoubt;
    case EHostOutcome::kAnswerMissing:
    case EHostOutcome::kUndeliverable:
        return ESettlement::kReverse;
    case EHostOutcome::kNotBooked:
    case EHostOutcome::kHostError:
    case EHostOutcome::kDeclined:
    case EHostOutcome::kDelivered:
        return ESettlement::kSettle;
    }
    // An outcome outside the enumeration is unknown: its money stays journalled rather than be forgotten.
    return ESettlement::kLeaveInDoubt;
}

bool ReversalHoldOver(const CTransaction& reversal, uint64_t holdStartMs) {
    // Count the hold on the steady tick as well: a wall clock set back must not park the reversal for hours.
    return reversal.SecondsSinceCreated() > kReversalHoldSeconds ||
           GetClock().TickMs() - holdStartMs >= kReversalMaxHoldMs;
}

bool ReversalAnswerSettles(const CTransaction& reversal) {
    return reversal.m_Approved || AnsweredWith(reversal, 33) || AnsweredWith(reversal, 34);
}
