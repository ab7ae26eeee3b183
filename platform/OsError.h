#pragma once
// Why a call to the operating system failed, as a value: the class its caller decides on, and the system's own
// number for the texts that print it. Code above platform/ tests the class, never errno; a platform call hands
// its cause back (returned, or through an out-parameter) instead of leaving it in errno.

#include <cstdint>
#include <string>

// What a failure means to the caller. A call may give a number the class its own context calls for (an accept
// that fails on the connection that waited says PeerGone); otherwise COsError::FromNumber decides.
enum class EOsErrorClass {
    None,        // no failure
    WouldBlock,  // nothing can move without waiting: try again when the descriptor is ready
    InProgress,  // a connect goes on in the background
    Interrupted, // a signal came first
    PeerGone,    // the connection is over: reset, aborted, shut down, timed out, not connected, network down
    Invalid,     // the call cannot work on this descriptor or with these arguments (closed, not a socket, ...)
    NoResources, // this machine ran short of descriptors, memory, buffers or local ports; the peer is not at fault
    NotFound,    // no such file or entry
    Other,       // anything else: the number tells
};

// A cause of failure, or none (the default). A plain value: any thread may use its own copy.
class COsError {
public:
    constexpr COsError() = default;

    // |number| (an errno value; 0: no failure) under the class it has wherever it comes from.
    static COsError FromNumber(int number);
    // The calling thread's errno now: for the platform's code, right after the call that failed.
    static COsError FromErrno();
    // |number| under the class the call that gave it calls for.
    static constexpr COsError WithClass(EOsErrorClass errorClass, int number) { return COsError(errorClass, number); }

    // Causes that callers decide for themselves (a wait given up, a stop, a send the peer never took), under the
    // numbers the system has for them, so that the texts that print them read as a system call's would.
    static COsError TimedOut();
    static COsError Cancelled();
    static COsError ShutDown();
    static COsError PeerClosed();
    static COsError NotOpen();
    static COsError TooLong();
    static COsError NameTooLong();
    static COsError BadArgument();

    bool Ok() const { return m_Class == EOsErrorClass::None; }
    EOsErrorClass Class() const { return m_Class; }
    bool Is(EOsErrorClass errorClass) const { return m_Class == errorClass; }
    // The system's number (errno), 0 for none: for the texts that print it.
    int Number() const { return m_Number; }
    // The C library's text for the number, as strerror gives it ("Unknown error N" for one it has none for).
    std::string Text() const;
    // The error text of the call that failed for this cause: |what|, ": " and Text().
    std::string FailureText(const std::string& what) const;

    bool operator==(const COsError& other) const = default;

private:
    constexpr COsError(EOsErrorClass errorClass, int number) : m_Class(errorClass), m_Number(number) {}

    EOsErrorClass m_Class = EOsErrorClass::None;
    int m_Number = 0;
};

// Stores COsError::FromErrno() in |*error| when |error| is given: the platform's calls that report through an
// optional out-parameter.
void StoreErrno(COsError* error);

// The C library's text for the errno value |code|, without a line end; "" for a code it has no text for.
std::string OsErrorText(uint64_t code);

// For a call that failed with errno set: |error| (when given) becomes COsError::FromErrno().FailureText(|what|)
// and |cause| (when given) that cause; errno is kept for the caller. Always false.
bool FailWithErrno(std::string* error, const std::string& what, COsError* cause = nullptr);

// Runs |call|, a system call that answers -1 with errno set, again for as long as it fails with EINTR; its
// last answer. When that is a failure, its cause goes to |error| (when given).
template <typename Call> auto RetryOnEintr(Call call, COsError* error = nullptr) {
    for (;;) {
        const auto result = call();
        if (result >= 0) {
            return result;
        }
        const COsError cause = COsError::FromErrno();
        if (!cause.Is(EOsErrorClass::Interrupted)) {
            if (error != nullptr) {
                *error = cause;
            }
            return result;
        }
    }
}
