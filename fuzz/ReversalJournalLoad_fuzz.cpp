// Feeds journal files of any bytes to the reversal journal's loader, as a start finds Reversals.dat on disk after a
// crash, a power cut or someone's editing. A new journal reads the file with a fixed key; whatever it mends or moves
// aside on the way, a second journal that reads the folder afterwards must hold the same entries, and each entry
// must write and read back as itself. The folder is made anew for each run, so nothing a load leaves piles up.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "common/TempDir.h"
#include "fuzz/FuzzSupport.h"
#include "platform/Files.h"
#include "platform/SealingKey.h"
#include "transaction/ReversalJournal.h"

namespace {

// The journal key of the runs (and of the seed files' sealed fields).
constexpr std::array<uint8_t, CSealingKey::kKeyBytes> kJournalKey = {
    0x6d, 0x1f, 0xa2, 0x37, 0xc8, 0x04, 0x5b, 0xe9, 0x90, 0x2e, 0x71, 0xd6, 0x13, 0xbf, 0x48, 0x85,
    0x3c, 0xf1, 0x0a, 0x67, 0x9e, 0xd2, 0x25, 0xb8, 0x5f, 0x83, 0x16, 0xea, 0x41, 0xcd, 0x70, 0x0b};
// The fields the journal keeps sealed, whose sealed text differs at each write; they are compared opened.
const char* const kSealedFieldNames[] = {"Account=", "Track2=", "sum="};

struct SJournalPaths {
    std::filesystem::path folder;
    std::filesystem::path file;
    std::filesystem::path key;
};

// The runs' folder: in memory where the machine offers it, since the loader flushes every file it mends and each
// run on a disk would wait for that; else in the work folder.
const SJournalPaths& Paths() {
    static const CScopedTempDir memory("kestrove-fuzz", CScopedTempDir::Current::Leave, "/dev/shm");
    static const SJournalPaths paths = [] {
        const std::filesystem::path& folder = fuzzsupport::WorkFolder(); // the logger stopped too
        const std::filesystem::path work = memory.Path().empty() ? folder : memory.Path();
        SJournalPaths made{work / "journal", work / "journal" / kReversalJournalFileName,
                           work / "journal-key" / "ReversalJournal.key"};
        std::filesystem::create_directories(made.key.parent_path());
        if (!WriteFileAtomically(made.key, std::string(kJournalKey.begin(), kJournalKey.end()), 0600)) {
            std::abort();
        }
        return made;
    }();
    return paths;
}

// The entry's line without the fields that are sealed (and the checksum over them): the same for the same entry.
std::string ComparableLine(const CJournalEntry& entry, const CSealingKey& key) {
    std::string line;
    if (!EncodeJournalLine(entry, key, &line)) {
        std::abort();
    }
    std::string kept;
    size_t start = 0;
    while (start <= line.size()) {
        size_t end = line.find('\t', start);
        if (end == std::string::npos) {
            end = line.size();
        }
        const std::string field = line.substr(start, end - start);
        bool sealed = false;
        for (const char* name : kSealedFieldNames) {
            sealed = sealed || field.rfind(name, 0) == 0;
        }
        if (!sealed) {
            kept += field;
            kept += '\t';
        }
        start = end + 1;
    }
    return kept + entry.record.m_Account + '\t' + entry.record.m_Track2;
}

std::vector<std::string> Load(const SJournalPaths& paths, const CSealingKey& key) {
    CReversalJournal journal(paths.file, paths.key);
    std::vector<std::string> lines;
    for (const CJournalEntry& entry : journal.Entries()) {
        // Written and read again, an entry is itself.
        std::string line;
        CJournalEntry back;
        if (!EncodeJournalLine(entry, key, &line) || DecodeJournalLine(line, key, back) != EJournalLine::Entry ||
            ComparableLine(back, key) != ComparableLine(entry, key)) {
            std::abort();
        }
        lines.push_back(ComparableLine(entry, key));
    }
    return lines;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const CSealingKey key = CSealingKey::FromBytes(kJournalKey);
    const SJournalPaths& paths = Paths();
    std::error_code ec;
    std::filesystem::remove_all(paths.folder, ec);
    std::filesystem::create_directories(paths.folder);
    WriteFileBytes(paths.file, std::string(reinterpret_cast<const char*>(data), size));

    const std::vector<std::string> first = Load(paths, key);
    if (Load(paths, key) != first) {
        std::abort();
    }
    return 0;
}
