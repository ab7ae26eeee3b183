#pragma once
// Every time limit of the dial path in one place: the COM port's command and answer waits and the dial backup
// server's exchange. The defaults are the production values; tests hand in smaller ones.

#include <cstdint>

struct SDialTimings {
    uint32_t writeMs = 5000;         // each write to the port, until its bytes have left the output queue
    uint32_t commandSettleMs = 40;   // between a command's text and its CR
    uint32_t commandPauseMs = 200;   // before each command of the identity check
    uint32_t identityMs = 2000;      // the identity check's answer
    uint32_t modelCheckMs = 1500;    // the genuine-model check's answer
    uint32_t hangUpCarrierMs = 300;  // the carrier's drop after DTR is dropped
    uint32_t okMs = 2000;            // the OK after a hang-up
    uint32_t escapeGuardMs = 1500;   // the quiet before and after "+++"
    uint32_t initAnswerMs = 5000;    // the answer to the initialisation command
    uint32_t dialAnswerMs = 30000;   // the answer to the dial command
    uint32_t connectCarrierMs = 100; // the carrier after "CONNECT"
    uint32_t enqMs = 3000;           // the host's ENQ before the frame goes out anyway
    uint32_t responseMs = 35000;     // the whole exchange after the frame went out
    uint32_t nakPauseMs = 50;        // before a NAK of a bad response
    uint32_t servicePassMs = 50;     // the dial backup worker's look at the carrier while a call is up
    uint32_t lineWatchMs = 10;       // the comm-event thread's look at the lines and the input queue
};
