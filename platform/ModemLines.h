#pragma once
// The modem control and status lines of a serial port behind a small interface: a real serial device asks its
// driver (the ioctls below); a pty, which has no modem lines, takes them from a line-state file that a modem
// simulator keeps (platform/SharedModemLines.h).

// The lines as bits.
enum ModemLineBits : unsigned {
    kLineDcd = 0x01, // carrier detect (input)
    kLineDsr = 0x02, // data set ready (input)
    kLineCts = 0x04, // clear to send (input)
    kLineDtr = 0x08, // data terminal ready (output)
    kLineRts = 0x10, // request to send (output)
};

// One port's lines. Implementations are thread-safe: each call is one read or write of the line state.
class IModemLines {
public:
    virtual ~IModemLines() = default;
    // The lines now, as kLine* bits; false (|lines| 0) when they cannot be read.
    virtual bool GetLines(unsigned* lines) = 0;
    // Raises (|on|) or drops an output line; false when that failed.
    virtual bool SetDtr(bool on) = 0;
    virtual bool SetRts(bool on) = 0;
};

// The lines of a serial device: TIOCMGET for the status, TIOCMBIS / TIOCMBIC for DTR and RTS. Does not own
// |fd|, which must stay open while this object is used.
class CIoctlModemLines final : public IModemLines {
public:
    explicit CIoctlModemLines(int fd) : m_Fd(fd) {}
    bool GetLines(unsigned* lines) override;
    bool SetDtr(bool on) override;
    bool SetRts(bool on) override;

private:
    bool SetBits(int bits, bool on);
    const int m_Fd;
};
