#pragma once
// A zero-terminated 8-bit copy of a 16-bit text: every unit keeps its low byte (no code page conversion).
// Owns its array. Not thread-safe: one thread uses an object.

#include <cstdint>
#include <memory>

class kxNarrowBuffer {
public:
    static constexpr uint32_t kMeasure = 0xFFFFFFFF;

    // |length| units of |text| (kMeasure: up to its zero unit). A null text, or an array that cannot be
    // allocated, leaves Data() null and Length() 0.
    explicit kxNarrowBuffer(const char16_t* text, uint32_t length = kMeasure);
    kxNarrowBuffer(const kxNarrowBuffer&) = delete;
    kxNarrowBuffer& operator=(const kxNarrowBuffer&) = delete;

    const char* Data() const { return m_Data.get(); }
    uint32_t Length() const { return m_Length; }

private:
    uint32_t m_Length = 0; // before m_Data: its initialiser writes the length
    std::unique_ptr<char[]> m_Data;
};
