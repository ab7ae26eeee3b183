#pragma once
// One open file for the utility library's file classes: open modes, positioned reads and writes, size and
// truncation, with EINTR retried and writes looped until every byte is out.

#include <cstddef>
#include <cstdint>
#include <string>

// Writes every byte to |fd|, looping over short writes and EINTR; false with errno set.
bool WriteEvery(int fd, const void* data, size_t size);

// Owns one file descriptor (close-on-exec) and closes it. Not thread-safe: one owner uses it. Movable.
class CFileHandle {
public:
    enum class EOpen {
        ReadOnly,        // the file must exist
        ReadWriteCreate, // opened, or created (mode 0666 less the umask) when missing
        WriteTruncate,   // write only, the content cut away; the file must exist
    };
    enum class EFrom { Begin, Current, End };

    CFileHandle() = default;
    ~CFileHandle() { Close(); }
    CFileHandle(CFileHandle&& other) noexcept : m_Fd(other.m_Fd) { other.m_Fd = -1; }
    CFileHandle& operator=(CFileHandle&& other) noexcept;
    CFileHandle(const CFileHandle&) = delete;
    CFileHandle& operator=(const CFileHandle&) = delete;

    // Closes a file held before. False with errno set.
    bool Open(const std::string& path, EOpen mode);
    bool IsOpen() const { return m_Fd >= 0; }
    void Close();

    // Reads until |size| bytes or the end of the file: the bytes read (fewer only at the end), or -1.
    int64_t Read(void* data, size_t size);
    // The same at |offset|, the file position left as it was.
    int64_t ReadAt(int64_t offset, void* data, size_t size) const;
    // Writes every byte; false with errno set.
    bool Write(const void* data, size_t size);
    // The new position, or -1 with errno set.
    int64_t Seek(int64_t offset, EFrom from);
    int64_t Position() { return Seek(0, EFrom::Current); }
    // The file's size, or -1 with errno set.
    int64_t Size() const;
    bool Truncate(int64_t length);

private:
    int m_Fd = -1;
};
