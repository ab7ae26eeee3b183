#pragma once
// One temporary file in the system's temporary folder, named "kx", six random characters and an extension,
// with its bytes loaded on request. The file is the object's: Delete, a new Create and the destructor remove it.
// Failures throw kxException. Not thread-safe: one thread uses an object.

#include <cstddef>
#include <cstdint>
#include <string>

#include "kxlib/kxString.h"

class kxTempFile {
public:
    kxTempFile() = default;
    ~kxTempFile() { Delete(); }
    kxTempFile(const kxTempFile&) = delete;
    kxTempFile& operator=(const kxTempFile&) = delete;

    // Deletes the previous file, creates a new empty one and returns its path. The extension is "tmp" unless
    // |extension| names another ("." in front is optional, and the comparison ignores case).
    kxString Create(const kxString& extension = kxString());
    // The same, with |count| bytes written to the new file.
    kxString CreateWithData(const uint8_t* bytes, size_t count, const kxString& extension = kxString());
    // Reads the whole file into the object's buffer; returns the byte count.
    size_t Load();
    // Frees the buffer, deletes the file and forgets its path.
    void Delete();
    // The path, without its extension when |withExtension| is false.
    kxString GetFileName(bool withExtension = true) const;
    // The bytes of the last Load.
    const std::string& Data() const { return m_Buffer; }

private:
    kxString m_FileName;
    std::string m_Buffer;
};
