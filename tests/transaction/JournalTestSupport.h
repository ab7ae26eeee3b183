#pragma once
// What the tests of the reversal journal share: its file read line by line and entry by entry, without the
// journal's help, and its key in the current folder.

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/TempDir.h"
#include "platform/SealingKey.h"
#include "transaction/ReversalJournal.h"

namespace testsupport {

// The lines of journal text |text|, damaged ones included.
inline std::vector<std::string> LinesOf(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find('\n', start);
        lines.push_back(text.substr(start, end - start));
        start = end == std::string::npos ? text.size() : end + 1;
    }
    return lines;
}

// Journal lines in the file, damaged ones included.
inline std::vector<std::string> JournalLines() {
    return LinesOf(ReadFileBytes(kReversalJournalFileName));
}

// The key the process's journal uses in the current folder (made when there is none).
inline CSealingKey JournalKey() {
    CSealingKey key;
    ESealingKeyOrigin origin = ESealingKeyOrigin::Loaded;
    std::string error;
    EXPECT_TRUE(CSealingKey::LoadOrCreate(kReversalJournalKeyFileName, &key, &origin, &error)) << error;
    return key;
}

inline std::string LineOf(const CJournalEntry& entry, const CSealingKey& key) {
    std::string line;
    EXPECT_TRUE(EncodeJournalLine(entry, key, &line));
    return line;
}

// The ids of the entries journal text |text| holds, read as it lies, without the journal's help.
inline std::vector<uint64_t> IdsIn(const std::string& text, const CSealingKey& key) {
    std::vector<uint64_t> ids;
    for (const std::string& line : LinesOf(text)) {
        CJournalEntry entry;
        const EJournalLine read = line.empty() ? EJournalLine::Damaged : DecodeJournalLine(line, key, entry);
        if (read == EJournalLine::Entry) {
            ids.push_back(entry.id);
        } else if (read == EJournalLine::Replacement) {
            if (std::find(ids.begin(), ids.end(), entry.id) == ids.end()) {
                ids.push_back(entry.id);
            }
        } else if (read == EJournalLine::Removal) {
            // A later line takes the entry out again.
            ids.erase(std::remove(ids.begin(), ids.end(), entry.id), ids.end());
        }
    }
    return ids;
}

// The ids of the entries the journal file now holds.
inline std::vector<uint64_t> IdsOnDisk(const CSealingKey& key) {
    return IdsIn(ReadFileBytes(kReversalJournalFileName), key);
}

} // namespace testsupport
