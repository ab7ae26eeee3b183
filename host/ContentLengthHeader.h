#pragma once
// The header of a Content-Length framed message (an HTTP response, a management-service message): where it ends
// and which body length it declares. Shared by the readers of both, so they agree on what a header line is.
// Free functions without state: any thread may call them.

#include <cstddef>
#include <string>

// What the header at the start of a received text says so far.
struct CFramedHeader {
    bool ended = false;       // the empty line that ends the header has arrived
    size_t bodyStart = 0;     // where the body starts, once |ended|
    bool haveLength = false;  // a Content-Length line stood in the header
    size_t contentLength = 0; // its value (SIZE_MAX for a number no body reaches)
};

// Walks |text| line by line (LF ends a line, a CR before it is dropped) up to the first empty line; only the lines
// before it are header lines, so a body line never counts as one. The last Content-Length line wins.
CFramedHeader ScanFramedHeader(const std::string& text);

// The line starts with "Content-Length:", whatever its case.
bool IsContentLengthHeader(const std::string& line);
// The decimal value after the colon of such a line, blanks and tabs before it skipped, held at SIZE_MAX instead
// of overflowing; 0 without digits.
size_t ParseContentLength(const std::string& line);
