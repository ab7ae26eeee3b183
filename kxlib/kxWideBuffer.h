#pragma once
// A zero-terminated 16-bit copy of an 8-bit text: every byte becomes one unit of the same value (no code page
// conversion). Owns its array. Not thread-safe: one thread uses an object.

#include <cstdint>
#include <memory>

class kxWideBuffer {
public:
    static constexpr uint32_t kMeasure = 0xFFFFFFFF;

    // |length| bytes of |text| (kMeasure: up to its zero byte). A null text, or an array that cannot be
    // allocated, leaves Data() null and Length() 0.
    explicit kxWideBuffer(const char* text, uint32_t length = kMeasure);
    kxWideBuffer(const kxWideBuffer&) = delete;
    kxWideBuffer& operator=(const kxWideBuffer&) = delete;

    const char16_t* Data() const { return m_Data.get(); }
    uint32_t Length() const { return m_Length; }

private:
    uint32_t m_Length = 0; // before m_Data: its initialiser writes the length
    std::unique_ptr<char16_t[]> m_Data;
};
