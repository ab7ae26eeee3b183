#pragma once
// Reads a Windows executable image (PE32 or PE32+): checks its headers and section table, and finds the
// string entries of its version resource. Every offset and length read from the file is checked against the
// file's size before it is used, so a damaged or hostile file is "not an image" (or has no version
// resource) and is never read outside its bytes. Only the pieces it needs are read, not the whole file.
//
// Not thread-safe: one thread uses an object.

#include <cstdint>
#include <map>
#include <string>

#include "kxlib/kxString.h"
#include "platform/FileHandle.h"

class kxPeImage {
public:
    // Opens |path| and checks it; false when it cannot be read or is not a well-formed image.
    bool Open(const kxString& path);
    // The same for an image held in memory.
    bool OpenBytes(std::string bytes);

    // The key and value texts of the version resource's string table for its first translation (language
    // and code page); every 16-bit unit keeps its low byte. False (and |entries| empty) when the image has no
    // version resource, no translation or no string table for it.
    bool VersionStrings(std::map<kxString, kxString>& entries) const;

private:
    struct Section {
        uint32_t VirtualAddress = 0;
        uint32_t VirtualSize = 0;
        uint32_t RawOffset = 0;
        uint32_t RawSize = 0;
    };
    // |size| bytes at |offset|; false when any of them lies outside the image.
    bool ReadAt(uint64_t offset, size_t size, std::string& out) const;
    // The file offset of |size| bytes at the address |rva|, when a section holds all of them in the file.
    bool RvaToOffset(uint32_t rva, uint32_t size, uint64_t& offset) const;
    bool Parse();

    CFileHandle m_File;
    std::string m_Bytes; // the image, when it was given in memory
    uint64_t m_Size = 0;
    Section m_Sections[96];
    uint32_t m_SectionCount = 0;
    uint32_t m_ResourceRva = 0;
    uint32_t m_ResourceSize = 0;
};
