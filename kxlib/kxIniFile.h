#pragma once
// Reads and writes an INI file: "[section]" lines, "key=value" lines, and comment lines beginning with ";" or
// "#" (after leading white space). Lines end in LF or CR LF; a last line without a line end counts. Section
// names and keys match whole and ignore letter case; white space around them and around a value is not part
// of them. A value may be read between delimiters (a quote, say) across several lines, with "/*" ... "*/"
// comments left out (GetString).
//
// A write rewrites the whole file crash-safe: the new content goes to a temporary file in the same folder
// that is then renamed over the old one, so the file is always either the old or the new one. A new file gets
// LF line ends; an existing one keeps CR LF when it used them.
//
// Failures throw kxException. An object holds only the path: any thread may read; writes to one file must not
// run concurrently (the last rename wins).

#include <map>
#include <utility>
#include <vector>

#include "kxlib/kxString.h"

class kxIniFile {
public:
    using Pairs = std::vector<std::pair<kxString, kxString>>;

    explicit kxIniFile(const kxString& path) : m_Path(path) {}

    // The value of |key| in |section|, or |defaultValue| when the file lacks it (the search for the key ends at
    // the next section line) or the value is empty. With a |delimiter|, the value is the text between the first
    // delimiter after "=" and the next one, read on over the following lines (joined without separator) when it
    // does not end on the same line; "/*" ... "*/" comments in it are left out. A value that does not begin on
    // the entry's line is sought on the lines after it, past section lines too. The default is returned when
    // no closing delimiter comes before the end of the file.
    kxString GetString(const kxString& section, const kxString& key, const kxString& defaultValue = kxString(),
                       const kxString& delimiter = kxString()) const;
    // Every key and value of the section, as GetString reads them (a delimited value that does not close is
    // left out): added to |values|, or put in |pairs| in file order after emptying it.
    void GetSection(const kxString& section, const kxString& delimiter, std::map<kxString, kxString>& values) const;
    void GetSection(const kxString& section, const kxString& delimiter, Pairs& pairs) const;
    // Empties |names|, then adds every section's name in file order.
    void GetSectionNames(std::vector<kxString>& names) const;

    // Sets |key| in |section| to |value|: the key's line is replaced, or a line is added after the section's last
    // entry, or the section is added at the end of the file; a missing file is created. Throws "Failed to write:
    // %s, into INI file: %s" (value, path) when the file cannot be written.
    void WriteString(const kxString& section, const kxString& key, const kxString& value);
    // Replaces the section's entries with |pairs| (those with an empty key are left out; none leaves the section
    // empty), adding the section when it is missing. Throws "Failed to write section: %s, into INI file: %s".
    void WriteSection(const kxString& section, const Pairs& pairs);

private:
    // Throws "Filename cannot be empty.", "Section name cannot be empty." or "Key name cannot be empty." for an
    // empty path, or a given but empty section or key, and "Cannot find INI file: (%s)" when |mustExist| and
    // there is no such file.
    void Validate(bool mustExist, const kxString* section, const kxString* key) const;
    // The file's lines without their line ends; |crlf| tells whether they ended in CR LF.
    std::vector<kxString> ReadLines(bool* crlf = nullptr) const;
    // ReadLines for a write: a file that cannot be read throws |failure|, the write's own text.
    std::vector<kxString> ReadLinesOrThrow(bool& crlf, const kxString& failure) const;
    // Collects the section's entries in file order.
    Pairs ReadSection(const std::vector<kxString>& lines, const kxString& section, const kxString& delimiter) const;
    bool WriteLines(const std::vector<kxString>& lines, bool crlf) const;

    kxString m_Path;
};
