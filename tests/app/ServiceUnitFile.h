#pragma once
// The systemd unit of service mode as the tests read it: its settings, and the service manager's restart
// decisions on them (Restart=, RestartPreventExitStatus=, RestartSec= and the start limit), played in simulated
// time so that a test can start the program again after each failure as systemd would, without the pauses.

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace testing_child {

// packaging/kestrove.service of the source tree (KESTROVE_SOURCE_DIR: the build names it for the tests that
// include this).
inline std::filesystem::path SourceUnitFile() {
    return std::filesystem::path(KESTROVE_SOURCE_DIR) / "packaging" / "kestrove.service";
}

// The unit's settings, "Section.Key" -> every value given, in order (systemd's single-value keys take the last).
using UnitSettings = std::map<std::string, std::vector<std::string>>;

inline UnitSettings ParseUnit(const std::string& text) {
    UnitSettings settings;
    std::istringstream in(text);
    std::string line;
    std::string section;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#' || line[0] == ';') {
            continue;
        }
        if (line.front() == '[' && line.back() == ']') {
            section = line.substr(1, line.size() - 2);
            continue;
        }
        const size_t eq = line.find('=');
        if (eq != std::string::npos) {
            settings[section + "." + line.substr(0, eq)].push_back(line.substr(eq + 1));
        }
    }
    return settings;
}

// The value in force for a single-value key; "<unset>" when the unit does not set it.
inline std::string Value(const UnitSettings& unit, const std::string& key) {
    const auto found = unit.find(key);
    return found == unit.end() ? "<unset>" : found->second.back();
}

// A time span of the unit in milliseconds: a number of seconds, or a number with "ms", "s", "min" or "h"; |fallback|
// when unset.
inline uint64_t UnitSpanMs(const UnitSettings& unit, const std::string& key, uint64_t fallback) {
    const std::string text = Value(unit, key);
    if (text == "<unset>") {
        return fallback;
    }
    size_t used = 0;
    const uint64_t number = std::stoull(text, &used);
    const std::string suffix = text.substr(used);
    const std::map<std::string, uint64_t> units = {{"", 1000}, {"s", 1000}, {"ms", 1}, {"min", 60000}, {"h", 3600000}};
    return number * units.at(suffix);
}

// What systemd 252 does with the unit's program when it ends or is started. Not thread-safe.
class CSimulatedServiceManager {
public:
    explicit CSimulatedServiceManager(const UnitSettings& unit)
        : m_Restart(Value(unit, "Service.Restart")), m_RestartMs(UnitSpanMs(unit, "Service.RestartSec", 100)),
          m_StartLimitIntervalMs(UnitSpanMs(unit, "Unit.StartLimitIntervalSec", 10000)),
          m_StartLimitBurst(
              Value(unit, "Unit.StartLimitBurst") == "<unset>" ? 5 : std::stoi(Value(unit, "Unit.StartLimitBurst"))) {
        const auto prevent = unit.find("Service.RestartPreventExitStatus");
        if (prevent != unit.end()) {
            for (const std::string& list : prevent->second) {
                std::istringstream words(list);
                for (std::string word; words >> word;) {
                    m_PreventedStatuses.insert(std::stoi(word));
                }
            }
        }
    }

    // A start of the unit now: false when the start limit refuses it, which leaves the unit failed.
    bool Start() {
        if (m_StartLimitIntervalMs == 0 || m_StartLimitBurst == 0) {
            return true;
        }
        // systemd's rate limit: a window opens at a start and counts the starts within its interval.
        if (!m_WindowBegin || m_NowMs - *m_WindowBegin > m_StartLimitIntervalMs) {
            m_WindowBegin = m_NowMs;
            m_StartsInWindow = 1;
            return true;
        }
        return ++m_StartsInWindow <= m_StartLimitBurst;
    }

    // The program ended by itself with exit status |status|: whether it is started again. The pause before that
    // start passes at once.
    bool RestartsAfter(int status) {
        const bool failed = status != 0;
        const bool restarts =
            (m_Restart == "always" || (m_Restart == "on-failure" && failed)) && m_PreventedStatuses.count(status) == 0;
        if (restarts) {
            m_NowMs += m_RestartMs;
        }
        return restarts;
    }

    // The simulated time since the first start.
    uint64_t NowMs() const { return m_NowMs; }

private:
    const std::string m_Restart;
    const uint64_t m_RestartMs;
    const uint64_t m_StartLimitIntervalMs;
    const int m_StartLimitBurst;
    std::set<int> m_PreventedStatuses;
    uint64_t m_NowMs = 0;
    std::optional<uint64_t> m_WindowBegin;
    int m_StartsInWindow = 0;
};

} // namespace testing_child
