#include "kxlib/kxPeImage.h"

#include <algorithm>
#include <vector>

#include "kxlib/kxFormatString.h"

namespace {
constexpr uint32_t kMaxSections = 96;          // the loader's own limit
constexpr uint32_t kResourceDirectory = 2;     // index of the resource table among the data directories
constexpr uint32_t kVersionResourceType = 16;  // RT_VERSION
constexpr uint32_t kMaxVersionBlock = 1 << 20; // real version resources are a few KiB

uint16_t U16(const std::string& bytes, size_t at) {
    return static_cast<uint16_t>(static_cast<uint8_t>(bytes[at]) | static_cast<uint8_t>(bytes[at + 1]) << 8);
}

uint32_t U32(const std::string& bytes, size_t at) {
    return static_cast<uint32_t>(U16(bytes, at)) | static_cast<uint32_t>(U16(bytes, at + 2)) << 16;
}

size_t Align4(size_t offset) {
    return (offset + 3) & ~size_t{3};
}

// One block of the version resource: a length, a value, a key and the child blocks after the value.
struct VersionBlock {
    size_t End = 0;
    uint16_t ValueLength = 0;
    uint16_t Type = 0; // 1: the value is text, counted in 16-bit units; 0: bytes
    kxString Key;
    size_t Value = 0;
    size_t Children = 0;
};

// Reads a zero-terminated 16-bit text from |at| up to |end|, each unit keeping its low byte.
kxString NarrowText(const std::string& data, size_t at, size_t end, size_t* after) {
    kxString text;
    size_t p = at;
    while (p + 2 <= end) {
        const uint16_t unit = U16(data, p);
        p += 2;
        if (unit == 0) {
            break;
        }
        text.Append(static_cast<char>(unit & 0xFF));
    }
    if (after != nullptr) {
        *after = p;
    }
    return text;
}

bool ReadBlock(const std::string& data, size_t start, size_t limit, VersionBlock& block) {
    if (start + 6 > limit) {
        return false;
    }
    const size_t length = U16(data, start);
    if (length < 6 || start + length > limit) {
        return false;
    }
    block.End = start + length;
    block.ValueLength = U16(data, start + 2);
    block.Type = U16(data, start + 4);
    size_t afterKey = 0;
    block.Key = NarrowText(data, start + 6, block.End, &afterKey);
    block.Value = std::min(Align4(afterKey), block.End);
    const size_t valueBytes = block.Type == 1 ? size_t{block.ValueLength} * 2 : block.ValueLength;
    block.Children = std::min(Align4(block.Value + valueBytes), block.End);
    return true;
}

// The child blocks of |parent|, in order; a damaged child ends the list.
std::vector<VersionBlock> ChildrenOf(const std::string& data, const VersionBlock& parent) {
    std::vector<VersionBlock> children;
    VersionBlock child;
    for (size_t at = parent.Children; ReadBlock(data, at, parent.End, child); at = Align4(child.End)) {
        children.push_back(child);
    }
    return children;
}

bool SameKey(const kxString& a, const kxString& b) {
    return a.Compare(b, false) == 0;
}
} // namespace

bool kxPeImage::Open(const kxString& path) {
    m_Bytes.clear();
    if (!m_File.Open(path.Str(), CFileHandle::EOpen::ReadOnly)) {
        return false;
    }
    const int64_t size = m_File.Size();
    if (size < 0) {
        return false;
    }
    m_Size = static_cast<uint64_t>(size);
    return Parse();
}

bool kxPeImage::OpenBytes(std::string bytes) {
    m_File.Close();
    m_Bytes = std::move(bytes);
    m_Size = m_Bytes.size();
    return Parse();
}

bool kxPeImage::ReadAt(uint64_t offset, size_t size, std::string& out) const {
    if (offset > m_Size || size > m_Size - offset) {
        return false;
    }
    if (!m_File.IsOpen()) {
        out.assign(m_Bytes, offset, size);
        return true;
    }
    out.resize(size);
    return m_File.ReadAt(static_cast<int64_t>(offset), out.data(), size) == static_cast<int64_t>(size);
}

bool kxPeImage::RvaToOffset(uint32_t rva, uint32_t size, uint64_t& offset) const {
    for (uint32_t i = 0; i < m_SectionCount; ++i) {
        const Section& s = m_Sections[i];
        const uint64_t start = s.VirtualAddress;
        const uint64_t span = std::max(s.VirtualSize, s.RawSize);
        if (rva >= start && rva < start + span) {
            const uint64_t into = rva - start;
            if (into + size > s.RawSize) {
                return false; // not all of it is in the file
            }
            offset = s.RawOffset + into;
            return true;
        }
    }
    return false;
}

bool kxPeImage::Parse() {
    m_SectionCount = 0;
    m_ResourceRva = m_ResourceSize = 0;
    std::string dos;
    if (!ReadAt(0, 64, dos) || dos[0] != 'M' || dos[1] != 'Z') {
        return false;
    }
    const uint64_t header = U32(dos, 0x3C);
    std::string file;
    if (!ReadAt(header, 24, file) || file.compare(0, 4, std::string("PE\0\0", 4)) != 0) {
        return false;
    }
    const uint32_t sections = U16(file, 6);
    const uint32_t optionalSize = U16(file, 20);
    std::string optional;
    if (sections == 0 || sections > kMaxSections || optionalSize < 2 || !ReadAt(header + 24, optionalSize, optional)) {
        return false;
    }
    const uint16_t magic = U16(optional, 0);
    size_t directories = 0;
    if (magic == 0x10B) {
        directories = 96;
    } else if (magic == 0x20B) {
        directories = 112;
    } else {
        return false;
    }
    if (directories > optionalSize) {
        return false;
    }
    const uint32_t declared = U32(optional, directories - 4);
    const uint32_t present = std::min<uint32_t>(declared, static_cast<uint32_t>((optionalSize - directories) / 8));
    if (present > kResourceDirectory) {
        m_ResourceRva = U32(optional, directories + 8 * kResourceDirectory);
        m_ResourceSize = U32(optional, directories + 8 * kResourceDirectory + 4);
    }
    std::string table;
    if (!ReadAt(header + 24 + optionalSize, size_t{40} * sections, table)) {
        return false;
    }
    for (uint32_t i = 0; i < sections; ++i) {
        Section& s = m_Sections[i];
        s.VirtualSize = U32(table, 40 * i + 8);
        s.VirtualAddress = U32(table, 40 * i + 12);
        s.RawSize = U32(table, 40 * i + 16);
        s.RawOffset = U32(table, 40 * i + 20);
        if (s.RawSize > 0 && (s.RawOffset > m_Size || s.RawSize > m_Size - s.RawOffset)) {
            return false; // a section's data would lie past the end of the file
        }
    }
    m_SectionCount = sections;
    return true;
}

bool kxPeImage::VersionStrings(std::map<kxString, kxString>& entries) const {
    entries.clear();
    uint64_t base = 0;
    std::string resources;
    if (m_ResourceRva == 0 || m_ResourceSize < 16 || !RvaToOffset(m_ResourceRva, m_ResourceSize, base) ||
        !ReadAt(base, m_ResourceSize, resources)) {
        return false;
    }
    // The resource tree has three levels: type, name, language. The version resource is the first name and
    // language below the type RT_VERSION.
    uint32_t at = 0;
    for (int level = 0; level < 3; ++level) {
        if (at > resources.size() - 16) {
            return false;
        }
        const uint32_t named = U16(resources, at + 12);
        const uint32_t numbered = U16(resources, at + 14);
        const uint64_t count = uint64_t{named} + numbered;
        if (count == 0 || at + 16 + 8 * count > resources.size()) {
            return false;
        }
        uint64_t entry = at + 16;
        if (level == 0) {
            entry += 8 * uint64_t{named}; // the numbered entries follow the named ones
            uint64_t i = 0;
            while (i < numbered && U32(resources, entry + 8 * i) != kVersionResourceType) {
                ++i;
            }
            if (i == numbered) {
                return false;
            }
            entry += 8 * i;
        }
        const uint32_t target = U32(resources, entry + 4);
        const bool subdirectory = (target & 0x80000000u) != 0;
        if (subdirectory != (level < 2)) {
            return false;
        }
        at = target & 0x7FFFFFFFu;
    }
    if (at > resources.size() - 16) {
        return false;
    }
    const uint32_t dataRva = U32(resources, at);
    const uint32_t dataSize = U32(resources, at + 4);
    uint64_t dataOffset = 0;
    std::string data;
    if (dataSize > kMaxVersionBlock || !RvaToOffset(dataRva, dataSize, dataOffset) ||
        !ReadAt(dataOffset, dataSize, data)) {
        return false;
    }

    VersionBlock root;
    if (!ReadBlock(data, 0, data.size(), root) || root.Key != "VS_VERSION_INFO") {
        return false;
    }
    const std::vector<VersionBlock> parts = ChildrenOf(data, root);
    kxString tableKey;
    for (const VersionBlock& part : parts) {
        if (!SameKey(part.Key, "VarFileInfo")) {
            continue;
        }
        for (const VersionBlock& var : ChildrenOf(data, part)) {
            if (SameKey(var.Key, "Translation") && var.ValueLength >= 4 && var.Value + 4 <= var.End) {
                tableKey = kxFormatString("%04x%04x", U16(data, var.Value), U16(data, var.Value + 2));
                break;
            }
        }
    }
    if (tableKey.Length() == 0) {
        return false;
    }
    for (const VersionBlock& part : parts) {
        if (!SameKey(part.Key, "StringFileInfo")) {
            continue;
        }
        for (const VersionBlock& stringTable : ChildrenOf(data, part)) {
            if (!SameKey(stringTable.Key, tableKey)) {
                continue;
            }
            for (const VersionBlock& string : ChildrenOf(data, stringTable)) {
                entries.emplace(string.Key, NarrowText(data, string.Value, string.End, nullptr));
            }
            return true;
        }
    }
    return false;
}
