#include "kxlib/kxIniFile.h"

#include <filesystem>
#include <system_error>

#include "kxlib/kxException.h"
#include "kxlib/kxFile.h"
#include "kxlib/kxFileFunctions.h"
#include "kxlib/kxFormatString.h"
#include "platform/FileSystem.h"
#include "platform/Files.h"

namespace {
bool IsDataLine(const kxString& trimmed) {
    return trimmed.Length() > 0 && trimmed.GetAt(0) != ';' && trimmed.GetAt(0) != '#';
}

bool IsSectionLine(const kxString& trimmed) {
    return IsDataLine(trimmed) && trimmed.GetAt(0) == '[';
}

// The name of a section line ("[name]"): the text up to the first "]", trimmed; false without a "]".
bool SectionName(const kxString& trimmed, kxString& name) {
    const size_t close = trimmed.Find("]");
    if (!IsSectionLine(trimmed) || trimmed.Length() < 2 || close == kxString::npos) {
        return false;
    }
    name = kxString::Trimmed(trimmed.Mid(1, close - 1));
    return true;
}

bool SameName(const kxString& a, const kxString& b) {
    return a.Length() == b.Length() && a.Compare(b, false) == 0;
}

// The line index after the header of |section|, or npos.
size_t SectionBody(const std::vector<kxString>& lines, const kxString& section) {
    for (size_t i = 0; i < lines.size(); ++i) {
        kxString name;
        if (SectionName(kxString::Trimmed(lines[i]), name) && SameName(name, section)) {
            return i + 1;
        }
    }
    return kxString::npos;
}

// The index of the next section line at or after |from|, or the line count.
size_t SectionEnd(const std::vector<kxString>& lines, size_t from) {
    while (from < lines.size() && !IsSectionLine(kxString::Trimmed(lines[from]))) {
        ++from;
    }
    return from;
}

// Splits an entry line at its first "=": the trimmed key and the trimmed text after it.
bool SplitEntry(const kxString& trimmed, kxString& key, kxString& text) {
    const size_t equals = trimmed.Find("=");
    if (!IsDataLine(trimmed) || IsSectionLine(trimmed) || equals == kxString::npos) {
        return false;
    }
    key = kxString::Trimmed(trimmed.Left(equals));
    text = kxString::Trimmed(trimmed.Mid(equals + 1));
    return true;
}

// Takes "/*" ... "*/" comments out of |line|; |inComment| carries a comment that goes on past the line.
void DropComments(kxString& line, bool& inComment) {
    if (inComment) {
        const size_t close = line.Find("*/");
        if (close == kxString::npos) {
            line.Clear();
            return;
        }
        line = line.Mid(close + 2);
        inComment = false;
    }
    for (size_t open = line.Find("/*"); open != kxString::npos; open = line.Find("/*")) {
        const size_t close = line.Find("*/");
        if (close == kxString::npos) {
            line = line.Left(open);
            inComment = true;
            return;
        }
        if (close < open) {
            return;
        }
        line = line.Left(open) + line.Mid(close + 2);
    }
}

// The delimited value that starts in |first| (the text after "=" of line |at|) and may go on over the lines
// after it; false when the file ends before the closing delimiter.
bool ReadDelimited(const std::vector<kxString>& lines, size_t at, const kxString& first, const kxString& delimiter,
                   kxString& value) {
    value.Clear();
    bool collecting = false;
    bool inComment = false;
    kxString line = first;
    for (size_t next = at + 1;; ++next) {
        if (IsDataLine(line)) {
            DropComments(line, inComment);
            const size_t found = line.Find(delimiter);
            if (found == kxString::npos) {
                if (collecting) {
                    value += line; // lines are joined without a separator
                }
            } else if (collecting) {
                value += line.Left(found);
                return true;
            } else if (found + delimiter.Length() < line.Length()) {
                collecting = true;
                value = line.Mid(found + delimiter.Length());
                const size_t closing = value.Find(delimiter);
                if (closing != kxString::npos) {
                    value = value.Left(closing);
                    return true;
                }
            }
        }
        if (next >= lines.size()) {
            return false;
        }
        line = kxString::Trimmed(lines[next]);
    }
}

// The value of an entry whose text after "=" is |text|: the text itself, or its delimited value.
bool EntryValue(const std::vector<kxString>& lines, size_t at, const kxString& text, const kxString& delimiter,
                kxString& value) {
    if (delimiter.Length() == 0) {
        value = text;
        return true;
    }
    return ReadDelimited(lines, at, text, delimiter, value);
}
} // namespace

void kxIniFile::Validate(bool mustExist, const kxString* section, const kxString* key) const {
    if (m_Path.Length() == 0) {
        throw kxException("Filename cannot be empty.");
    }
    if (section != nullptr && section->Length() == 0) {
        throw kxException("Section name cannot be empty.");
    }
    if (key != nullptr && key->Length() == 0) {
        throw kxException("Key name cannot be empty.");
    }
    if (mustExist && !FileExists(m_Path)) {
        throw kxException(kxFormatString("Cannot find INI file: (%s)", m_Path.c_str()));
    }
}

std::vector<kxString> kxIniFile::ReadLines(bool* crlf) const {
    std::vector<kxString> lines;
    if (crlf != nullptr) {
        *crlf = false;
    }
    if (!FileExists(m_Path)) {
        return lines;
    }
    kxFile file(m_Path);
    kxString line;
    while (file.ReadLine(line, "\n")) {
        if (line.EndsWith("\r")) {
            line = line.Left(line.Length() - 1);
            if (crlf != nullptr) {
                *crlf = true;
            }
        }
        lines.push_back(line);
    }
    return lines;
}

std::vector<kxString> kxIniFile::ReadLinesOrThrow(bool& crlf, const kxString& failure) const {
    try {
        return ReadLines(&crlf);
    } catch (const kxException&) {
        throw kxException(failure);
    }
}

kxIniFile::Pairs kxIniFile::ReadSection(const std::vector<kxString>& lines, const kxString& section,
                                        const kxString& delimiter) const {
    Pairs pairs;
    const size_t body = SectionBody(lines, section);
    if (body == kxString::npos) {
        return pairs;
    }
    const size_t end = SectionEnd(lines, body);
    for (size_t i = body; i < end; ++i) {
        kxString key;
        kxString text;
        kxString value;
        if (SplitEntry(kxString::Trimmed(lines[i]), key, text) && text.Length() > 0 &&
            EntryValue(lines, i, text, delimiter, value)) {
            pairs.emplace_back(key, value);
        }
    }
    return pairs;
}

kxString kxIniFile::GetString(const kxString& section, const kxString& key, const kxString& defaultValue,
                              const kxString& delimiter) const {
    Validate(true, &section, &key);
    const std::vector<kxString> lines = ReadLines();
    const size_t body = SectionBody(lines, section);
    if (body == kxString::npos) {
        return defaultValue;
    }
    const size_t end = SectionEnd(lines, body);
    for (size_t i = body; i < end; ++i) {
        kxString name;
        kxString text;
        if (!SplitEntry(kxString::Trimmed(lines[i]), name, text) || !SameName(name, key)) {
            continue;
        }
        kxString value;
        if (text.Length() == 0 || !EntryValue(lines, i, text, delimiter, value)) {
            return defaultValue;
        }
        return value;
    }
    return defaultValue;
}

void kxIniFile::GetSection(const kxString& section, const kxString& delimiter,
                           std::map<kxString, kxString>& values) const {
    Validate(true, &section, nullptr);
    for (auto& [key, value] : ReadSection(ReadLines(), section, delimiter)) {
        values[key] = value;
    }
}

void kxIniFile::GetSection(const kxString& section, const kxString& delimiter, Pairs& pairs) const {
    pairs.clear();
    Validate(true, &section, nullptr);
    pairs = ReadSection(ReadLines(), section, delimiter);
}

void kxIniFile::GetSectionNames(std::vector<kxString>& names) const {
    names.clear();
    Validate(true, nullptr, nullptr);
    for (const kxString& line : ReadLines()) {
        kxString name;
        if (SectionName(kxString::Trimmed(line), name) && name.Length() > 0) {
            names.push_back(name);
        }
    }
}

bool kxIniFile::WriteLines(const std::vector<kxString>& lines, bool crlf) const {
    std::string bytes;
    for (const kxString& line : lines) {
        bytes += line.Str();
        bytes += crlf ? "\r\n" : "\n";
    }
    // A link stays a link: its target is the file rewritten.
    std::error_code ec;
    std::filesystem::path target = m_Path.Str();
    if (std::filesystem::is_symlink(target, ec)) {
        target = std::filesystem::canonical(target, ec);
        if (ec) {
            return false;
        }
    }
    CFileInfo info;
    const mode_t mode = GetFileInfo(target.string(), true, info) ? info.Mode & 0777 : 0644;
    return WriteFileAtomically(target, bytes, mode);
}

void kxIniFile::WriteString(const kxString& section, const kxString& key, const kxString& value) {
    Validate(false, &section, &key);
    const kxString failure = kxFormatString("Failed to write: %s, into INI file: %s", value.c_str(), m_Path.c_str());
    bool crlf = false;
    std::vector<kxString> lines = ReadLinesOrThrow(crlf, failure);
    const kxString entry = key + "=" + value;
    const size_t body = SectionBody(lines, section);
    if (body == kxString::npos) {
        lines.push_back("[" + section + "]");
        lines.push_back(entry);
    } else {
        const size_t end = SectionEnd(lines, body);
        size_t insertAt = body;
        bool replaced = false;
        for (size_t i = body; i < end && !replaced; ++i) {
            kxString name;
            kxString text;
            const kxString trimmed = kxString::Trimmed(lines[i]);
            if (SplitEntry(trimmed, name, text) && SameName(name, key)) {
                lines[i] = entry;
                replaced = true;
            } else if (IsDataLine(trimmed)) {
                insertAt = i + 1;
            }
        }
        if (!replaced) {
            lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(insertAt), entry);
        }
    }
    if (!WriteLines(lines, crlf)) {
        throw kxException(failure);
    }
}

void kxIniFile::WriteSection(const kxString& section, const Pairs& pairs) {
    Validate(false, &section, nullptr);
    const kxString failure =
        kxFormatString("Failed to write section: %s, into INI file: %s", section.c_str(), m_Path.c_str());
    bool crlf = false;
    std::vector<kxString> lines = ReadLinesOrThrow(crlf, failure);
    std::vector<kxString> entries;
    for (const auto& [key, value] : pairs) {
        if (key.Length() > 0) {
            entries.push_back(key + "=" + value);
        }
    }
    const size_t body = SectionBody(lines, section);
    if (body == kxString::npos) {
        lines.push_back("[" + section + "]");
        lines.insert(lines.end(), entries.begin(), entries.end());
    } else {
        // Blank and comment lines after the section's last entry belong to what follows: they stay.
        size_t end = SectionEnd(lines, body);
        while (end > body && !IsDataLine(kxString::Trimmed(lines[end - 1]))) {
            --end;
        }
        lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(body),
                    lines.begin() + static_cast<std::ptrdiff_t>(end));
        lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(body), entries.begin(), entries.end());
    }
    if (!WriteLines(lines, crlf)) {
        throw kxException(failure);
    }
}
