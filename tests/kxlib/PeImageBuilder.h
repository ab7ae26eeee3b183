#pragma once
// Builds small Windows images (PE32 or PE32+) in memory for the tests of the image reader: one ".rsrc" section
// holding a resource tree with a version resource, laid out as a linker lays it out.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace pe_builder {

inline void Put16(std::string& bytes, size_t at, uint16_t value) {
    bytes[at] = static_cast<char>(value & 0xFF);
    bytes[at + 1] = static_cast<char>(value >> 8);
}

inline void Put32(std::string& bytes, size_t at, uint32_t value) {
    Put16(bytes, at, static_cast<uint16_t>(value & 0xFFFF));
    Put16(bytes, at + 2, static_cast<uint16_t>(value >> 16));
}

inline void Pad4(std::string& bytes) {
    while (bytes.size() % 4 != 0) {
        bytes += '\0';
    }
}

// |text| as 16-bit units with the terminating zero unit.
inline std::string Wide(const std::string& text) {
    std::string units;
    for (const char c : text) {
        units += c;
        units += '\0';
    }
    return units + std::string(2, '\0');
}

// One version block: header, key, value, then its children, each on a 4-byte boundary.
inline std::string Block(const std::string& key, const std::string& value, uint16_t valueLength, uint16_t type,
                         const std::vector<std::string>& children = {}) {
    std::string block(6, '\0');
    block += Wide(key);
    Pad4(block);
    block += value;
    for (const std::string& child : children) {
        Pad4(block);
        block += child;
    }
    Put16(block, 0, static_cast<uint16_t>(block.size()));
    Put16(block, 2, valueLength);
    Put16(block, 4, type);
    return block;
}

inline std::string StringEntry(const std::string& key, const std::string& text) {
    return Block(key, Wide(text), static_cast<uint16_t>(text.size() + 1), 1);
}

// A version resource with |strings| in the string table |tableKey| and, unless |translation| is empty, a
// translation block of those bytes.
inline std::string VersionResource(const std::vector<std::pair<std::string, std::string>>& strings,
                                   const std::string& tableKey = "040904B0",
                                   const std::string& translation = std::string("\x09\x04\xb0\x04", 4)) {
    std::string fixed(52, '\0');
    Put32(fixed, 0, 0xFEEF04BD);
    std::vector<std::string> entries;
    for (const auto& [key, text] : strings) {
        entries.push_back(StringEntry(key, text));
    }
    std::vector<std::string> parts{Block("StringFileInfo", "", 0, 1, {Block(tableKey, "", 0, 1, entries)})};
    if (!translation.empty()) {
        parts.push_back(Block("VarFileInfo", "", 0, 1,
                              {Block("Translation", translation, static_cast<uint16_t>(translation.size()), 0)}));
    }
    return Block("VS_VERSION_INFO", fixed, 52, 0, parts);
}

// A whole image; |version| empty gives one without a resource table.
inline std::string Image(const std::string& version, bool plus = false) {
    constexpr uint32_t kHeader = 0x40;
    constexpr uint32_t kRaw = 0x400;
    constexpr uint32_t kRva = 0x1000;
    const uint32_t optionalSize = plus ? 240 : 224;
    const uint32_t directories = plus ? 112 : 96;

    std::string section(0x58, '\0');
    if (!version.empty()) {
        // type 16 -> name 1 -> language 0x409 -> data entry, each directory with one numbered entry
        for (uint32_t level = 0; level < 3; ++level) {
            const uint32_t at = level * 0x18;
            Put16(section, at + 14, 1);
            Put32(section, at + 16, level == 0 ? 16 : level == 1 ? 1 : 0x409);
            Put32(section, at + 20, level < 2 ? 0x80000000u | (at + 0x18) : 0x48);
        }
        Put32(section, 0x48, kRva + 0x58);
        Put32(section, 0x4C, static_cast<uint32_t>(version.size()));
        section += version;
    }
    Pad4(section);

    std::string image(kRaw, '\0');
    image[0] = 'M';
    image[1] = 'Z';
    Put32(image, 0x3C, kHeader);
    image.replace(kHeader, 4, std::string("PE\0\0", 4));
    Put16(image, kHeader + 4, plus ? 0x8664 : 0x14C);
    Put16(image, kHeader + 6, 1);
    Put16(image, kHeader + 20, static_cast<uint16_t>(optionalSize));
    const uint32_t optional = kHeader + 24;
    Put16(image, optional, plus ? 0x20B : 0x10B);
    Put32(image, optional + directories - 4, 16);
    if (!version.empty()) {
        Put32(image, optional + directories + 16, kRva);
        Put32(image, optional + directories + 20, static_cast<uint32_t>(section.size()));
    }
    const uint32_t table = optional + optionalSize;
    image.replace(table, 5, ".rsrc");
    Put32(image, table + 8, static_cast<uint32_t>(section.size()));
    Put32(image, table + 12, kRva);
    Put32(image, table + 16, static_cast<uint32_t>(section.size()));
    Put32(image, table + 20, kRaw);
    return image + section;
}

} // namespace pe_builder
