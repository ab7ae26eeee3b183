#pragma once
// The one masking of card data for the log: every log line that carries a POS request, a host message, a host
// answer or a reply passes the text it shows through MaskCardData first, over IP and over dial alike.

#include <string>

// |text| with every card number, track and card verification value replaced by 'X', wherever it stands and however
// often:
// - request fields "AcctNo=" (all but its last four characters), "Track2=" (all but the last four characters of
//   the account and the '=' separators), "CVVData=" (all of it) and, when the text holds no "Track2=", "ExpDate="
//   (all of it); a value ends at FS, ETX, "</" or the end of the text;
// - host message fields "70" (account, all but its last four characters) and "35" (track, as "Track2="), a field
//   being the text after FS, STX or ETX (or at the start of |text|) up to the next of them;
// - the reply elements "<AcctNo>" and "<RefNo>" (all but their last four characters);
// - and, behind these, any run of 13 or more digits (all but its last four), so that a card number in a place no
//   rule names is not written out either.
// A free function without state: any thread may call it.
std::string MaskCardData(const std::string& text);
