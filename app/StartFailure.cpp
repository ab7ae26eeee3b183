#include "app/StartFailure.h"

#include "host/ComPort.h"

namespace {

bool StartsWith(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

} // namespace

int ExitStatusFor(EStartFailure failure) {
    switch (failure) {
    case EStartFailure::None:
        return kExitStopped;
    case EStartFailure::Passing:
        return kExitTryAgain;
    case EStartFailure::CommandLine:
        return kExitCommandLine;
    case EStartFailure::NotConfigured:
        return kExitNotConfigured;
    case EStartFailure::StateNotWritable:
        return kExitStateNotWritable;
    case EStartFailure::ModemRefused:
        return kExitModemRefused;
    }
    return kExitTryAgain;
}

EStartFailure ParameterDownloadFailure(const std::string& errorText) {
    // The texts of CNQMSClient::ExchangeParameters once the service has answered our request, and the one it
    // gives when this device has no name to ask by.
    for (const char* lasting : {"Error(NQMS): ", "Parameter Parsing Error: ", "Parms: Challenge Verification Failed!",
                                "Unable to Determine who I am."}) {
        if (StartsWith(errorText, lasting)) {
            return EStartFailure::NotConfigured;
        }
    }
    if (StartsWith(errorText, "Unable to Store Param Settings!")) {
        return EStartFailure::StateNotWritable;
    }
    return EStartFailure::Passing;
}

EStartFailure DialBackupFailure(const std::string& errorText) {
    return errorText.find(kModemNotGenuineText) != std::string::npos ? EStartFailure::ModemRefused
                                                                     : EStartFailure::Passing;
}
