#pragma once
// The one rule that money depends on: for a transaction's TranCode and what is known of its outcome at the host,
// whether it is settled, reversed, or left in doubt (journalled until it is settled); how long a reversal is held
// back; and when a reversal's own answer settles it. The host workers, the dial hand-over, the POS sessions, the
// host message and the reverse worker all ask here, so a TranCode can never be journalled by one and reversed by
// none. Plain functions of their arguments (and the clock seam): any thread may call them.

#include <cstdint>

#include "transaction/Transaction.h"

// How long a reversal is held back after the transaction it reverses was created: it goes out once more than
// this many whole seconds have passed.
inline constexpr int64_t kReversalHoldSeconds = 35;

// What a caller knows of a transaction's outcome at the host.
enum class EHostOutcome {
    kSending,       // on its way to the host (or handed to the dial backup), no answer yet
    kNotBooked,     // failed where the host cannot have booked it: it never got there, or was refused at the door
    kAnswerMissing, // it may have reached the host, and no answer came back (a time-out, a failed dial exchange)
    kHostError,     // it ended as a host error; one that left the outcome open was reversed where it was found
    kDeclined,      // the host answered without approving
    kApproved,      // the host approved; the lane does not have the reply yet
    kDelivered,     // the lane has the approved reply
    kUndeliverable, // the approved reply cannot reach the lane (the send failed, or its session gave up on it)
};

// What becomes of it.
enum class ESettlement {
    kSettle,       // nothing is left to reverse: an entry the journal holds in doubt for it leaves
    kReverse,      // the host may have booked it and the merchant will not learn it: it is reversed
    kLeaveInDoubt, // its outcome is still open: journalled in doubt before it goes to the host, and kept so
};

// Whether a transaction of |tranCode| can move money at the host, so that its outcome matters: Issue to
// VoidReload, NoNSFSale and CashOut; never Balance (68), a reversal (50) nor any other number. The "F6" field of
// a reversal names the reversed message type for these alone.
bool MovesMoney(int tranCode);

// The rule itself. A transaction that moves no money is always settled: nothing of it is journalled or reversed
// (a reversal's own failure is the reverse worker's to retry).
ESettlement SettlementOf(int tranCode, EHostOutcome outcome);

// Whether |reversal|'s hold is over: more than kReversalHoldSeconds whole seconds have passed since its m_Created,
// or (however the wall clock moved) the hold begun at the clock seam tick |holdStartMs| has lasted one second more
// than that.
bool ReversalHoldOver(const CTransaction& reversal, uint64_t holdStartMs);

// Whether a reversal's host answer settles it: approved, or "33" (NO PREVIOUS TRANSACTION: the host never booked
// what it reverses) or "34" (ALREADY REVERSED: an earlier attempt, cut off before its answer, did it).
bool ReversalAnswerSettles(const CTransaction& reversal);
