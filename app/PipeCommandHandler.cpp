#include "app/PipeCommandHandler.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "app/LauncherViewCopy.h"
#include "foundation/Logger.h"
#include "platform/ControlChars.h"

namespace {
// The folder the logger writes into is relative to the working folder at the time of writing.
std::string WorkingFolder() {
    std::error_code ec;
    const std::filesystem::path folder = std::filesystem::current_path(ec);
    return ec ? std::string() : folder.string();
}

std::string Answer(CLauncherViewCopy* view, const std::string& command, size_t replySize) {
    if (command == kAppNameCommand) {
        return kAppNameReply;
    }
    if (command == kAppCaptionCommand) {
        return view != nullptr ? view->Caption() : std::string();
    }
    if (command == kAppSettingsFormCommand) {
        return view != nullptr ? view->MakeSettingsForm() : SnapshotErrorReply(kSnapshotNoDialog);
    }
    if (command == kAppLogLocationCommand) {
        return LogLocationReply(WorkingFolder());
    }
    if (command == kAppViewCommand) {
        return view != nullptr ? TrafficViewReply(view->TrafficLines(), replySize) : std::string();
    }
    return "";
}
} // namespace

std::string SnapshotErrorReply(const std::string& text) {
    return std::string("ERROR\x1E") + text;
}

void PipeCommandHandler(uintptr_t view, const char* request, char* reply, size_t replySize) {
    if (request == nullptr || reply == nullptr || replySize == 0) {
        return;
    }
    reply[0] = '\0';
    const size_t prefixLength = std::strlen(kPipeCommandPrefix);
    if (std::strncmp(request, kPipeCommandPrefix, prefixLength) != 0) {
        return;
    }
    std::string text;
    try {
        text = Answer(reinterpret_cast<CLauncherViewCopy*>(view), request + prefixLength, replySize);
    } catch (...) {
        text.clear(); // nothing may leave the pipe thread (the library's exceptions included): the empty reply
    }
    const size_t length = std::min(text.size(), replySize - 1);
    std::memcpy(reply, text.data(), length);
    reply[length] = '\0';
}

std::string LogLocationReply(const std::string& workingFolder) {
    if (workingFolder.empty()) {
        return "";
    }
    const bool endsInSeparator = workingFolder.back() == '/';
    return workingFolder + (endsInSeparator ? "" : "/") + CLogger::kFolderName;
}

std::string TrafficViewReply(const std::vector<std::string>& lines, size_t replySize) {
    std::string reply;
    size_t count = 0;
    for (const std::string& line : lines) {
        if (!reply.empty()) {
            ++count; // the separator
            if (count >= replySize) {
                break;
            }
        }
        count += line.size();
        if (count >= replySize) {
            if (!reply.empty() && reply.back() == kCharUS) {
                reply.pop_back();
            }
            break;
        }
        if (!reply.empty()) {
            reply += kCharUS;
        }
        reply += line;
    }
    return reply;
}
