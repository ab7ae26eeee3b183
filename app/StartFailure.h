#pragma once
// Why a start-up ended before the server served, and the exit status that tells it to the service manager: a
// cause that passes by itself ends the process with kExitTryAgain, and the service unit starts the program
// again after a pause for as long as the cause lasts; a cause that only an operator can mend ends it with a
// status of its own, which the unit's RestartPreventExitStatus= lists, so the unit stays down until the
// operator has mended it and starts it (packaging/kestrove.service and the README name the same statuses).

#include <string>

enum class EStartFailure {
    None,             // every interface runs
    Passing,          // no discovery host or management service answering, no network, the POS port or the
                      // instance lock still held by a process that is ending, no thread or memory to spare
    CommandLine,      // the launcher's device id is missing from the command line
    NotConfigured,    // no usable merchant parameters, and the management service refuses to hand them out
    StateNotWritable, // a file or folder of the server's own cannot be read or written (the instance lock, the
                      // parameters, the keys)
    ModemRefused,     // the modem on the dial backup's COM port is not the maker's model
};

// The process's exit statuses. The operator's kinds take the BSD sysexits values of the same sense, which the
// service manager names in its status lines ("status=78/CONFIG").
inline constexpr int kExitStopped = 0;           // a signalled shut-down; --help and --version
inline constexpr int kExitTryAgain = 1;          // EStartFailure::Passing
inline constexpr int kExitCommandLine = 2;       // an unknown option, or EStartFailure::CommandLine
inline constexpr int kExitModemRefused = 69;     // EStartFailure::ModemRefused (EX_UNAVAILABLE)
inline constexpr int kExitStateNotWritable = 73; // EStartFailure::StateNotWritable (EX_CANTCREAT)
inline constexpr int kExitNotConfigured = 78;    // EStartFailure::NotConfigured (EX_CONFIG)

// The exit status of a start-up that ended with |failure| (kExitStopped for None).
int ExitStatusFor(EStartFailure failure);

// The kind of a parameter download that failed with the management-service client's |errorText|. When the
// service answered and refused (its own error, a set that our checks refuse, an answer that does not prove it is
// the service), or this machine cannot be named, asking again gets the same: NotConfigured. A set that came but
// could not be stored: StateNotWritable. Anything else (no connection, no answer, a message cut short) passes.
EStartFailure ParameterDownloadFailure(const std::string& errorText);

// The kind of a dial backup that could not start with |errorText|: ModemRefused when the identity check found
// another model than the maker's, else Passing (a port that is not there yet, a modem not yet powered).
EStartFailure DialBackupFailure(const std::string& errorText);
