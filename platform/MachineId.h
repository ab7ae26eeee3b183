#pragma once
// A stable identifier of this machine for one application, derived from the system's machine id
// (/etc/machine-id, 32 hex digits) so that the machine id itself is never shown to anyone: HMAC-SHA-256 keyed by
// the application's own fixed id over the 16 bytes of the machine id. Two applications get unrelated values,
// and a value cannot be turned back into the machine id.

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>

inline constexpr char kMachineIdFile[] = "/etc/machine-id";

using CAppSpecificId = std::array<uint8_t, 32>;

// The derived id of |machineIdFile| for |appId|. False, with a reason in |error| (when given), when the file
// cannot be read or does not hold exactly 32 hex digits (a trailing line end allowed), or the hash fails.
// Stateless: any thread may call it.
bool MachineAppSpecificId(const std::array<uint8_t, 16>& appId, CAppSpecificId* id, std::string* error = nullptr,
                          const std::filesystem::path& machineIdFile = kMachineIdFile);
