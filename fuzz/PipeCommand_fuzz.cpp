// Feeds launcher requests of any bytes to the pipe's command handler, as the pipe server hands them over: one
// message of at most 4096 bytes, read up to its first NUL. Whatever follows that NUL becomes the traffic lines the
// view holds (one a line, as lanes' and hosts' texts can make them), so that "APP VIEW" fits lines of any length
// into the reply. The view has no window, as in service mode. The reply must end within its buffer.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/LauncherViewCopy.h"
#include "app/PipeCommandHandler.h"
#include "foundation/TextHelpers.h"
#include "fuzz/FuzzSupport.h"
#include "kxlib/kxNamedPipeServer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzsupport::WorkFolder();
    const size_t take = std::min(size, kxNamedPipeServer::kMessageSize);
    std::array<char, kxNamedPipeServer::kMessageSize + 1> request{};
    std::copy_n(data, take, request.data());
    const size_t nul = std::strlen(request.data());

    CLauncherViewCopy view;
    view.SetCaption("Kestrove - 3 Requests / 2 Sockets");
    CItemMap lines;
    SplitToItems('\n', std::string(request.data() + std::min(nul + 1, take), request.data() + take), lines);
    for (const auto& [number, line] : lines) {
        view.AddTrafficLine(line);
    }

    std::array<char, kxNamedPipeServer::kMessageSize> reply{};
    PipeCommandHandler(reinterpret_cast<uintptr_t>(&view), request.data(), reply.data(), reply.size());
    if (std::memchr(reply.data(), '\0', reply.size()) == nullptr) {
        std::abort();
    }
    return 0;
}
