#pragma once
// The reversal journal's record and its lines: what an entry keeps of a transaction, and how it is written as one
// line of "Reversals.dat" (escaped fields, the card fields sealed, a checksum) and read back. Plain functions of
// their arguments; any thread may call them. The journal itself, its file and its entries, is ReversalJournal.h.

#include <cstdint>
#include <string>

#include "platform/SealingKey.h"
#include "transaction/Transaction.h"

// One entry of the journal.
struct CJournalEntry {
    uint64_t id = 0;        // unique among the entries of the file
    int64_t failedAtMs = 0; // wall time (ms since 1970) of a failure that awaits its retry; 0: to be sent
    // True while the transaction is at the host (or its approval not yet delivered): |record| is then the reversal
    // that the transaction gets if the process ends before its outcome is settled.
    bool inDoubt = false;
    CTransaction record; // the reversal record, only the members the journal keeps
};

// The record with only the members a reversal needs: its host message (TranCodes, time and date, swipe flag,
// account and track, operator, invoice and reference numbers, amounts), its log lines (purchase, client
// address, header) and its timing (creation time, attempts). Never the request (its CVV), its key, the reply or
// the host's messages.
CTransaction JournalRecordOf(const CTransaction& record);

// What reading a journal line gave.
enum class EJournalLine {
    Entry,         // a whole entry
    Damaged,       // not a line EncodeJournalLine made: wrong start, bad checksum, escape or number, no id
    Undecryptable, // a whole line whose card fields this key cannot open
    Removal,       // a whole line that takes entry |id| (the only member of the entry read) out of the journal
    Replacement,   // a whole entry that takes the place of the entry with its id read before it, if any
};

// A journal line: "REV2", then TAB-separated name=value fields (the entry's id, failure time and doubt flag,
// then the kept members of the record), then "sum=" and a checksum of all before it. Values are escaped (%XX for
// '%', controls, TAB and bytes above 0x7E), so no value can break a line or a field; the account and the track are
// sealed with |key| for this entry (hex of nonce, cipher text and tag). False when |key| cannot seal.
bool EncodeJournalLine(const CJournalEntry& entry, const CSealingKey& key, std::string* line);
// The same line with "replace=1" after the id: the entry in place of the one with its id. One line, so a write
// that a power loss tears leaves the old entry or the new one, never neither. (A reader that does not know the
// field takes it for a second line of the id and sets it aside, keeping the old entry.)
bool EncodeJournalReplacement(const CJournalEntry& entry, const CSealingKey& key, std::string* line);
// A line that takes entry |id| out of the journal: "DEL2", TAB, "id=" and the id, then the checksum field.
std::string EncodeJournalRemoval(uint64_t id);
// |body| followed by its checksum field: the last step of EncodeJournalLine.
std::string SignJournalLine(const std::string& body);
// Reads a line of the current form, or of the earlier "REV1" form (every member in the clear), which is read as
// it stands and kept from then on as JournalRecordOf would. What |entry| holds is to be used only for Entry.
EJournalLine DecodeJournalLine(const std::string& line, const CSealingKey& key, CJournalEntry& entry);
// Whether |line| is of the earlier "REV1" form (still read, never written).
bool IsEarlierJournalLine(const std::string& line);
