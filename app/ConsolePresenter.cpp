#include "app/ConsolePresenter.h"

#include <iostream>

#include "foundation/Logger.h"
#include "platform/ProcessSignals.h"

namespace {
// The answer typed: Yes, No, or the default for an empty line; 0 when the line means neither.
int ParseAnswer(std::string line, int defaultButton) {
    while (!line.empty() && (line.back() == ' ' || line.back() == '\r' || line.back() == '\t')) {
        line.pop_back();
    }
    if (line.empty()) {
        return defaultButton;
    }
    const char first = line[0];
    if (first == 'y' || first == 'Y') {
        return kIdYes;
    }
    if (first == 'n' || first == 'N') {
        return kIdNo;
    }
    return 0;
}
} // namespace

int CConsolePresenter::ShowBox(const CBoxRequest& request) {
    CMutexLock guard(m_Lock);
    std::cerr << TerminalText(request.message) << std::endl;
    if (request.kind != EBoxKind::YesNo) {
        return kIdOk;
    }
    if (!StandardInputIsTerminal()) {
        std::cerr << "[No terminal to answer: \"No\" is taken]" << std::endl;
        CLogger::Instance().LogLine("%s [No terminal to answer: \"No\" is taken]", request.message.c_str());
        return kIdNo;
    }
    for (;;) {
        std::cerr << (request.defaultButton == kIdNo ? "Yes or No? [y/N] " : "Yes or No? [Y/n] ") << std::flush;
        std::string line;
        if (!std::getline(std::cin, line)) {
            std::cerr << std::endl;
            return kIdNo;
        }
        const int answer = ParseAnswer(line, request.defaultButton == kIdNo ? kIdNo : kIdYes);
        if (answer != 0) {
            return answer;
        }
    }
}
