#include "kxlib/kxTempFile.h"

#include <new>
#include <stdexcept>

#include "kxlib/kxException.h"
#include "kxlib/kxFileFunctions.h"
#include "kxlib/kxFormatString.h"
#include "platform/FileHandle.h"
#include "platform/FileSystem.h"

kxString kxTempFile::Create(const kxString& extension) {
    Delete();
    kxString wanted = extension;
    wanted.TrimLeft(".", false);
    // The extension is part of the unique name from the start, so no second step renames the file.
    const kxString suffix = wanted.Length() == 0 || kxString::Lower(wanted) == "tmp" ? kxString(".tmp") : "." + wanted;
    const kxString folder = GetTempFolder(false);
    const std::string path = CreateUniqueFile((folder + (folder == "/" ? "" : "/") + "kx").Str(), suffix.Str());
    if (path.empty()) {
        throw kxException("Could not create temporary file \"strTempFileName\".");
    }
    m_FileName = path;
    return m_FileName;
}

kxString kxTempFile::CreateWithData(const uint8_t* bytes, size_t count, const kxString& extension) {
    Create(extension);
    CFileHandle file;
    if (!file.Open(m_FileName.Str(), CFileHandle::EOpen::WriteTruncate)) {
        throw kxException(kxFormatString("Failed to open temporary file: (%s).", m_FileName.c_str()));
    }
    if (count > 0 && (bytes == nullptr || !file.Write(bytes, count))) {
        throw kxException(kxFormatString("Failed to write to the temporary file: (%s).", m_FileName.c_str()));
    }
    return m_FileName;
}

size_t kxTempFile::Load() {
    m_Buffer.clear();
    m_Buffer.shrink_to_fit();
    if (m_FileName.Length() == 0) {
        throw kxException("Filename variable \"m_FileName\" is empty.");
    }
    if (!FileExists(m_FileName)) {
        throw kxException(kxFormatString("Cannot find file: (%s)", m_FileName.c_str()));
    }
    CFileHandle file;
    if (!file.Open(m_FileName.Str(), CFileHandle::EOpen::ReadOnly)) {
        throw kxException(kxFormatString("Failed to open temporary file: (%s).", m_FileName.c_str()));
    }
    const int64_t size = file.Size();
    if (size < 0) {
        throw kxException(kxFormatString("Failed to get temporary file size: (%s).", m_FileName.c_str()));
    }
    try {
        m_Buffer.resize(static_cast<size_t>(size));
    } catch (const std::bad_alloc&) {
        throw kxException("Failed to copy byte stream: (Out of memory)");
    } catch (const std::length_error&) {
        throw kxException("Failed to copy byte stream: (Out of memory)");
    }
    if (file.Read(m_Buffer.data(), m_Buffer.size()) != size) {
        m_Buffer.clear();
        throw kxException(kxFormatString("Failed to read from the temporary file: (%s). ", m_FileName.c_str()));
    }
    return m_Buffer.size();
}

void kxTempFile::Delete() {
    m_Buffer.clear();
    m_Buffer.shrink_to_fit();
    if (m_FileName.Length() > 0) {
        DeleteFileAt(m_FileName);
        m_FileName.Clear();
    }
}

kxString kxTempFile::GetFileName(bool withExtension) const {
    if (withExtension) {
        return m_FileName;
    }
    const kxString extension = GetExtension(m_FileName);
    return extension.Length() == 0 ? m_FileName : m_FileName.Left(m_FileName.Length() - extension.Length() - 1);
}
