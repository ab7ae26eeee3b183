#pragma once
// One message received from the management service: header lines, then an empty line, then the body.

#include <list>
#include <string>

// A plain value; one thread uses it.
class CNQMSResponse {
public:
    CNQMSResponse() = default;
    virtual ~CNQMSResponse() = default;

    // Splits |text|; true (status 200) when at least one header line was read and the body is not empty.
    bool Parse(const std::string& text);
    // Empties |lines| and |body|, then walks |text| (CR dropped, LF ends a line): non-empty lines go to |lines|,
    // the first empty line makes the rest of the text the body. A last line without LF counts. Returns the
    // number of lines.
    static int SplitLines(const std::string& text, std::list<std::string>& lines, std::string& body);

    const std::list<std::string>& GetLines() const { return m_Lines; }
    int GetStatus() const { return m_Status; }
    const std::string& GetBody() const { return m_Body; }

private:
    std::list<std::string> m_Lines;
    int m_Status = 0;
    std::string m_Body;
};
