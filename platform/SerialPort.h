#pragma once
// A serial device over termios: opened exclusively and non-blocking, raw, with fixed line settings, hardware
// (RTS/CTS) flow control and its modem lines. The dial backup's COM port sits on it.

#include <cstddef>
#include <memory>
#include <string>

#include "platform/ModemLines.h"
#include "platform/Socket.h"

// The environment variables that move COM port n: KESTROVE_COM<n> names its device, KESTROVE_COM<n>_LINES the
// line-state file of a device without modem lines (a pty served by a modem simulator).
inline constexpr char kComPortVariablePrefix[] = "KESTROVE_COM";
inline constexpr char kComPortLinesSuffix[] = "_LINES";

// Where COM port |port| lives: the device (/dev/ttyS<port-1> unless KESTROVE_COM<port> names another) and the
// line-state file ("" unless KESTROVE_COM<port>_LINES names one, in which case the lines come from there and
// not from the driver).
struct CComPortLocation {
    std::string device;
    std::string linesFile;
};
CComPortLocation ResolveComPort(int port);

// Line settings: baud 300, 1200, 2400, 9600, 19200 or 115200; parity 'E', 'O' or 'N' (either case); data bits
// '7' or '8'; stop bits '1' or '2'.
struct CSerialSettings {
    int baud = 19200;
    char parity = 'E';
    char dataBits = '7';
    char stopBits = '1';
};

// Whether |settings| can be applied (each field one of the values above).
bool ValidSerialSettings(const CSerialSettings& settings);

// Undoes the marks that the line discipline puts in the input (PARMRK): 0xFF 0xFF is the data byte 0xFF, and
// 0xFF 0x00 x a byte x that arrived with a parity or framing error (x 0: a break), which is no data. A mark that a
// read cut in two is finished by the next. Not thread-safe: the port's one reader owns it.
class CLineErrorMarks {
public:
    // Takes the |size| bytes at |bytes| as read and leaves their data at the same place, in order (it is never
    // longer); returns the data's length. |errors| (when given) gets the number of bytes dropped for an error.
    size_t Take(char* bytes, size_t size, size_t* errors = nullptr);
    void Reset() { m_State = State::Data; }

private:
    enum class State { Data, Escape, ErrorByte };
    State m_State = State::Data;
};

// Owns one open serial device and its lines. Not thread-safe, with two exceptions: Lines() (whose object is
// thread-safe) and the queue counts may be used by a watcher thread while the owner reads and writes.
class CSerialPort {
public:
    CSerialPort() = default;
    ~CSerialPort() { Close(); }
    CSerialPort(const CSerialPort&) = delete;
    CSerialPort& operator=(const CSerialPort&) = delete;

    // Opens |device| (O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC, then TIOCEXCL so nobody else opens it),
    // applies |settings| raw with RTS/CTS flow control, CLOCAL (the caller watches the carrier itself), HUPCL,
    // and the input checked for parity and framing errors with the bytes in error marked (INPCK, PARMRK), and
    // reads the settings back to check them. The lines come from |linesFile| when it is not empty,
    // else from the driver. False, with |error| naming the failed step and the system's reason, and closed.
    bool Open(const std::string& device, const CSerialSettings& settings, const std::string& linesFile,
              std::string* error);
    void Close();
    bool IsOpen() const { return m_Fd.Valid(); }
    int Fd() const { return m_Fd.Get(); }

    // Writes what the output queue takes now: the bytes written (0 when it is full), -1 with errno on failure.
    long WriteSome(const void* data, size_t size);
    // Reads what is queued, at most |size|: the data read (0 when nothing is), -1 with errno on failure. A byte
    // that arrived with a parity or framing error, or a break, is left out and counted in |lineErrors| (when
    // given).
    long ReadSome(void* data, size_t size, size_t* lineErrors = nullptr);
    // Bytes in the input queue (FIONREAD) and the output queue (TIOCOUTQ); -1 on failure.
    long InputQueued() const;
    long OutputQueued() const;
    // Drops what is queued (tcflush).
    bool PurgeInput();
    bool PurgeOutput();
    // Waits at most |ms| of the clock seam until a write can go on.
    PollResult WaitWritable(uint64_t ms) const { return WaitWritableOnClock(m_Fd.Get(), ms); }

    // The port's modem lines; only while open.
    IModemLines& Lines() { return *m_Lines; }

private:
    CSocketFd m_Fd;
    std::unique_ptr<IModemLines> m_Lines;
    CLineErrorMarks m_Marks;
};
