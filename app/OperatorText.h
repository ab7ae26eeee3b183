#pragma once
// The operator's texts as a terminal or a window label shows them.

#include <string>

// The boxes' line breaks ("\r\n", or a lone "\r" as in the close question) become new lines.
std::string TerminalText(const std::string& text);
