#pragma once
// One file read whole, written whole or appended to, or read line by line, with an open descriptor kept
// between calls until Close. Failures throw kxException with the path in the text; a failed call leaves a
// descriptor kept before it as it was.
//
// Not thread-safe: one thread uses an object.

#include <cstddef>
#include <cstdint>
#include <memory>

#include "kxlib/kxString.h"
#include "platform/FileHandle.h"

class kxFile {
public:
    static constexpr size_t kLineBlock = 4096;

    explicit kxFile(const kxString& fileName = kxString()) : m_FileName(fileName) {}
    ~kxFile() { Close(); }
    kxFile(const kxFile&) = delete;
    kxFile& operator=(const kxFile&) = delete;

    void SetFileName(const kxString& fileName) { m_FileName = fileName; }
    const kxString& FileName() const { return m_FileName; }
    // Write replaces the content (true) or appends (false, the default).
    void SetTruncate(bool truncate) { m_Truncate = truncate; }
    // Close deletes the file.
    void SetDeleteOnClose(bool deleteOnClose) { m_DeleteOnClose = deleteOnClose; }

    // Writes |count| bytes, at the start of a file cut to nothing (truncate) or after its end; opens (or
    // creates) the file unless it is open, and with |closeAfter| closes what it opened. Returns |count|.
    size_t Write(const void* bytes, size_t count, bool closeAfter = false);
    // Empties |text|, then reads the whole file (|maximum| negative) or its first |maximum| bytes into it;
    // returns the bytes read. Opens the file read-only unless it is open (with |closeAfter| only for the call).
    size_t Read(kxString& text, int64_t maximum = -1, bool closeAfter = false);
    // The next line without |endOfLine|, read in blocks of kLineBlock bytes; an end of line split between two
    // blocks is found, and a last line without an end of line is returned. False (and |line| empty) at the end
    // of the file; the call after that starts again from the beginning. |lineCount|, when given, is counted up
    // by one for every line returned.
    bool ReadLine(kxString& line, const kxString& endOfLine, uint32_t* lineCount = nullptr);
    // Open the file read-only unless it is open, then move to its beginning (the next ReadLine starts there)
    // or its end (the next ReadLine returns nothing).
    void SeekToBegin();
    void SeekToEnd();
    // Whether the reading position (the lines returned so far, with ReadLine) is at the start / the end. A
    // closed file is at its beginning and not at its end.
    bool IsAtBegin();
    bool IsAtEnd();
    // Cuts an open, non-empty file to nothing.
    void Truncate();
    // Closes the file (deleting it when asked), frees the line buffer, clears both flags and the name.
    void Close();

private:
    // Line-position marks: start again from the beginning, and end of file reached.
    static constexpr uint16_t kLineStart = 0xFFFF;
    static constexpr uint16_t kLineEnd = 0xFFFE;

    [[noreturn]] void Fail(const char* format) const;
    // Opens read-only when no descriptor is held; true when this call opened it.
    bool OpenForReading();
    // The position of the reading: the descriptor's less what the line buffer holds unread.
    int64_t ReadingPosition();

    bool m_Truncate = false;
    bool m_DeleteOnClose = false;
    kxString m_FileName;
    CFileHandle m_hFile;
    std::unique_ptr<char[]> m_LineBuffer;
    size_t m_LineBlockLength = 0; // bytes of the current block in m_LineBuffer
    uint16_t m_LinePos = kLineStart;
};
