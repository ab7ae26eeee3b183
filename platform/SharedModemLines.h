#pragma once
// Modem lines kept in a small shared file, for a serial device that has none (a pty): the modem side (a
// simulator) sets DCD, DSR and CTS, the port side DTR and RTS, and each side sees the other's changes at once,
// in one process or across two.

#include <memory>
#include <string>

#include "platform/ModemLines.h"

// Owns one shared mapping of the line-state file. Thread-safe and safe across processes: each line is one byte
// of the mapping, read and written atomically.
class CSharedModemLines final : public IModemLines {
    struct CPrivateTag {
        explicit CPrivateTag() = default;
    };

public:
    // Makes |path| (replacing a file there) holding |lines|: the modem side. Null with |error| on failure.
    static std::unique_ptr<CSharedModemLines> Create(const std::string& path, unsigned lines, std::string* error);
    // Maps the line-state file at |path| that a modem side made: the port side. Null with |error| when there is
    // none or it is not a line-state file.
    static std::unique_ptr<CSharedModemLines> Open(const std::string& path, std::string* error);

    CSharedModemLines(CPrivateTag, unsigned char* map) : m_Map(map) {}
    ~CSharedModemLines() override;
    CSharedModemLines(const CSharedModemLines&) = delete;
    CSharedModemLines& operator=(const CSharedModemLines&) = delete;

    bool GetLines(unsigned* lines) override;
    bool SetDtr(bool on) override;
    bool SetRts(bool on) override;

    // Raises or drops any of the lines (the modem side's DCD, DSR and CTS); |line| is one kLine* bit.
    void SetLine(unsigned line, bool on);
    bool IsLine(unsigned line) const;
    // How many times DTR was dropped (modulo 256), so a modem side that looks now and then misses no drop.
    unsigned DtrDrops() const;

private:
    unsigned char* LineByte(unsigned line) const;

    unsigned char* m_Map; // the whole file, mapped shared
};
