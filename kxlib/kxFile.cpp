#include "kxlib/kxFile.h"

#include <algorithm>
#include <new>
#include <stdexcept>
#include <string_view>

#include "kxlib/kxException.h"
#include "kxlib/kxFileFunctions.h"
#include "kxlib/kxFormatString.h"

void kxFile::Fail(const char* format) const {
    throw kxException(kxFormatString(format, m_FileName.c_str()));
}

bool kxFile::OpenForReading() {
    if (m_hFile.IsOpen()) {
        return false;
    }
    if (!m_hFile.Open(m_FileName.Str(), CFileHandle::EOpen::ReadOnly)) {
        Fail("Failed to open file: (%s).");
    }
    return true;
}

size_t kxFile::Write(const void* bytes, size_t count, bool closeAfter) {
    CFileHandle opened;
    CFileHandle& file = m_hFile.IsOpen() ? m_hFile : opened;
    if (!file.IsOpen() && !file.Open(m_FileName.Str(), CFileHandle::EOpen::ReadWriteCreate)) {
        Fail("Failed to create/open file: (%s).");
    }
    const int64_t size = file.Size();
    if (size < 0) {
        Fail("Failed to get file size: (%s).");
    }
    if (size > 0) {
        if (file.Seek(0, CFileHandle::EFrom::Begin) < 0) {
            Fail("Failed to move position in file: (%s).");
        }
        if (m_Truncate) {
            if (!file.Truncate(0)) {
                Fail("Failed to truncate file: (%s).");
            }
        } else if (file.Seek(0, CFileHandle::EFrom::End) < 0) {
            Fail("Failed to move position in file: (%s).");
        }
    } else if (file.Seek(0, CFileHandle::EFrom::Begin) < 0) {
        Fail("Failed to move position in file: (%s).");
    }
    if (count > 0 && (bytes == nullptr || !file.Write(bytes, count))) {
        Fail("Failed to write to file: (%s).");
    }
    m_LinePos = kLineStart;
    if (opened.IsOpen() && !closeAfter) {
        m_hFile = std::move(opened); // kept for the next call
    }
    return count;
}

size_t kxFile::Read(kxString& text, int64_t maximum, bool closeAfter) {
    text.Clear();
    const bool openedHere = OpenForReading();
    // A failure closes what this call opened, so the object is left as it was.
    struct Undo {
        CFileHandle& File;
        bool Active;
        ~Undo() {
            if (Active) {
                File.Close();
            }
        }
    } undo{m_hFile, openedHere};
    const int64_t size = m_hFile.Size();
    if (size < 0) {
        Fail("Failed to get file size: (%s).");
    }
    if (m_hFile.Seek(0, CFileHandle::EFrom::Begin) < 0) {
        Fail("Failed to move position in file: (%s).");
    }
    m_LinePos = kLineStart;
    const int64_t wanted = maximum < 0 || maximum > size ? size : maximum;
    std::string bytes;
    try {
        bytes.resize(static_cast<size_t>(wanted));
    } catch (const std::bad_alloc&) {
        Fail("Failed to copy byte stream: (Out of memory).");
    } catch (const std::length_error&) {
        Fail("Failed to copy byte stream: (Out of memory).");
    }
    // Reading stops early only at the end of the file (a file that shrank meanwhile).
    const int64_t got = m_hFile.Read(bytes.data(), bytes.size());
    if (got < 0) {
        Fail("Failed to read from file: (%s).");
    }
    bytes.resize(static_cast<size_t>(got));
    text = kxString(std::move(bytes));
    undo.Active = openedHere && closeAfter;
    return static_cast<size_t>(got);
}

bool kxFile::ReadLine(kxString& line, const kxString& endOfLine, uint32_t* lineCount) {
    line.Clear();
    if (endOfLine.Length() == 0) {
        throw kxException("The end of line (EOL) parameter cannot be empty.");
    }
    if (m_LinePos == kLineEnd) {
        m_LinePos = kLineStart;
        return false;
    }
    if (m_LinePos == kLineStart) {
        OpenForReading();
        if (m_hFile.Size() < 0) {
            Fail("Failed to get file size: (%s).");
        }
        if (m_hFile.Seek(0, CFileHandle::EFrom::Begin) < 0) {
            Fail("Failed to move position in file: (%s).");
        }
        if (!m_LineBuffer) {
            try {
                m_LineBuffer = std::make_unique<char[]>(kLineBlock);
            } catch (const std::bad_alloc&) {
                Fail("Failed to copy byte stream: (Out of memory).");
            }
        }
        m_LineBlockLength = 0;
        m_LinePos = 0;
    }
    std::string text;
    bool gotAny = false;
    for (;;) {
        if (m_LinePos >= m_LineBlockLength) {
            const int64_t n = m_hFile.Read(m_LineBuffer.get(), kLineBlock);
            if (n < 0) {
                Fail("Failed to read from file: (%s).");
            }
            m_LineBlockLength = static_cast<size_t>(n);
            m_LinePos = 0;
            if (n == 0) {
                // The end: a last line without an end of line is still a line.
                m_LinePos = kLineEnd;
                if (!gotAny) {
                    m_LinePos = kLineStart;
                    return false;
                }
                break;
            }
        }
        const std::string_view block(m_LineBuffer.get() + m_LinePos, m_LineBlockLength - m_LinePos);
        const std::string& eol = endOfLine.Str();
        // An end of line that began in the text taken from the block before.
        if (!text.empty() && eol.size() > 1) {
            const size_t tail = std::min(text.size(), eol.size() - 1);
            const std::string joint =
                text.substr(text.size() - tail) + std::string(block.substr(0, std::min(block.size(), eol.size() - 1)));
            const size_t at = joint.find(eol);
            if (at != std::string::npos && at < tail) {
                text.resize(text.size() - tail + at);
                m_LinePos = static_cast<uint16_t>(m_LinePos + (at + eol.size() - tail));
                break;
            }
        }
        gotAny = true;
        const size_t at = block.find(eol);
        if (at != std::string_view::npos) {
            text.append(block.substr(0, at));
            m_LinePos = static_cast<uint16_t>(m_LinePos + at + eol.size());
            break;
        }
        text.append(block);
        m_LinePos = static_cast<uint16_t>(m_LineBlockLength);
    }
    line = kxString(std::move(text));
    if (lineCount != nullptr) {
        ++*lineCount;
    }
    return true;
}

void kxFile::SeekToBegin() {
    OpenForReading();
    if (m_hFile.Seek(0, CFileHandle::EFrom::Begin) < 0) {
        Fail("Failed to move to the beginning in file: (%s).");
    }
    m_LinePos = kLineStart;
}

void kxFile::SeekToEnd() {
    OpenForReading();
    if (m_hFile.Seek(0, CFileHandle::EFrom::End) < 0) {
        Fail("Failed to move to the end in file: (%s).");
    }
    m_LinePos = kLineEnd;
}

int64_t kxFile::ReadingPosition() {
    const int64_t position = m_hFile.Position();
    if (position < 0 || m_LinePos >= kLineEnd) {
        return position;
    }
    return position - static_cast<int64_t>(m_LineBlockLength - m_LinePos);
}

bool kxFile::IsAtBegin() {
    return !m_hFile.IsOpen() || ReadingPosition() == 0;
}

bool kxFile::IsAtEnd() {
    if (!m_hFile.IsOpen()) {
        return false;
    }
    const int64_t size = m_hFile.Size();
    return size >= 0 && ReadingPosition() >= size;
}

void kxFile::Truncate() {
    if (!m_hFile.IsOpen()) {
        return;
    }
    const int64_t size = m_hFile.Size();
    if (size < 0) {
        Fail("Failed to get file size: (%s).");
    }
    if (size == 0) {
        return;
    }
    if (m_hFile.Seek(0, CFileHandle::EFrom::Begin) < 0) {
        Fail("Failed to move position in file: (%s).");
    }
    if (!m_hFile.Truncate(0)) {
        Fail("Failed to truncate file: (%s).");
    }
    m_LinePos = kLineStart;
}

void kxFile::Close() {
    m_hFile.Close();
    if (m_DeleteOnClose && FileExists(m_FileName)) {
        DeleteFileAt(m_FileName);
    }
    m_LineBuffer.reset();
    m_LineBlockLength = 0;
    m_Truncate = false;
    m_DeleteOnClose = false;
    m_LinePos = kLineStart;
    m_FileName.Clear();
}
