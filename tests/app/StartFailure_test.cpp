// Which failed start-ups wait for an operator and which are tried again: the parameter download's and the dial
// backup's failures by the texts their clients give, and one exit status for each kind.

#include "app/StartFailure.h"

#include <set>
#include <string>

#include <gtest/gtest.h>

#include "foundation/TextHelpers.h"
#include "host/ComPort.h"
#include "host/DialBackupServer.h"

namespace {

struct DownloadCase {
    std::string errorText;
    EStartFailure kind;
};

TEST(StartFailureTest, ADownloadTheServiceRefusedWaitsForAnOperatorOneThatDidNotReachItPasses) {
    const DownloadCase cases[] = {
        // The service answered: asking again gets the same answer.
        {"Error(NQMS): Device not registered", EStartFailure::NotConfigured},
        {"Parameter Parsing Error: Expected 22 Parms Got 21", EStartFailure::NotConfigured},
        {"Parms: Challenge Verification Failed!", EStartFailure::NotConfigured},
        {"Unable to Determine who I am.", EStartFailure::NotConfigured},
        {"Unable to Store Param Settings!", EStartFailure::StateNotWritable},
        // The service was not reached, or its answer did not arrive whole.
        {"Connect to 'nqms1.kestrove.com' Failed with Error 111.", EStartFailure::Passing},
        {"DNS Lookup of 'nqms1.kestrove.com' Failed with Error -3.", EStartFailure::Passing},
        {"Wait Message 1 Failed - Server unexpectedly disconnected.(ReceiveAndDecrypt)0", EStartFailure::Passing},
        {"Wait Message 2 Failed - Server Signaled End of Session. (ReceiveAndDecrypt)", EStartFailure::Passing},
        {"Send Message 1 Failed - Socket Error 3003 sending to Host3003", EStartFailure::Passing},
        {"Unable to Parse 2 - %3Chtml%3E", EStartFailure::Passing},
        {"", EStartFailure::Passing},
        // A service's own text that merely holds one of ours is not one of ours.
        {"Wait Message 2 Failed - Error(NQMS): busy", EStartFailure::Passing},
    };
    for (const DownloadCase& c : cases) {
        EXPECT_EQ(c.kind, ParameterDownloadFailure(c.errorText)) << c.errorText;
    }
}

TEST(StartFailureTest, OnlyAModemOfAnotherModelWaitsForAnOperator) {
    EXPECT_EQ(EStartFailure::ModemRefused,
              DialBackupFailure(FormatText(kDialDeviceFailedFormat, 2, kModemNotGenuineText)));
    // A port or a modem that is not there yet may be by the next start.
    for (const std::string& text :
         {FormatText(kDialOpenFailedFormat, 2), FormatText(kDialDsrInactiveFormat, 2),
          FormatText(kDialDeviceFailedFormat, 2, kModemNoResponseText), std::string(kDialThreadFailedText)}) {
        EXPECT_EQ(EStartFailure::Passing, DialBackupFailure(text)) << text;
    }
}

TEST(StartFailureTest, EachKindHasAStatusOfItsOwnAndOnlyPassingCausesTryAgain) {
    const EStartFailure operatorKinds[] = {EStartFailure::CommandLine, EStartFailure::NotConfigured,
                                           EStartFailure::StateNotWritable, EStartFailure::ModemRefused};
    std::set<int> statuses;
    for (const EStartFailure kind : operatorKinds) {
        const int status = ExitStatusFor(kind);
        EXPECT_NE(kExitStopped, status);
        EXPECT_NE(kExitTryAgain, status);
        // systemd keeps 200 and up for its own failures to start a program.
        EXPECT_LT(status, 200);
        statuses.insert(status);
    }
    EXPECT_EQ(statuses.size(), std::size(operatorKinds));
    EXPECT_EQ(kExitTryAgain, ExitStatusFor(EStartFailure::Passing));
    EXPECT_EQ(kExitStopped, ExitStatusFor(EStartFailure::None));
}

} // namespace
