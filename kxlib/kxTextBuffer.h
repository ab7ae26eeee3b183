#pragma once
// The copy both conversion buffers make: |length| units of |text| (all bits set: up to the zero unit) into a
// new zero-terminated array of |To|, each unit converted by value. Used only by kxWideBuffer and kxNarrowBuffer.

#include <cstdint>
#include <memory>
#include <new>

template <typename To, typename From>
std::unique_ptr<To[]> CopyTextUnits(const From* text, uint32_t length, uint32_t& copied) {
    copied = 0;
    if (text == nullptr) {
        return nullptr;
    }
    if (length == 0xFFFFFFFF) {
        length = 0;
        while (text[length] != 0 && length < 0xFFFFFFFE) {
            ++length;
        }
    }
    std::unique_ptr<To[]> data;
    try {
        data = std::make_unique<To[]>(static_cast<size_t>(length) + 1); // zero-filled: the terminator is there
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    for (uint32_t i = 0; i < length; ++i) {
        data[i] = static_cast<To>(text[i]);
    }
    copied = length;
    return data;
}
