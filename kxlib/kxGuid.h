#pragma once
// A new GUID as text with the caller's delimiters. A free function without state: any thread may call it.

#include "kxlib/kxString.h"

// Sets |text| to |opening|, the new GUID's five groups of upper-case hexadecimal digits (8, 4, 4, 4 and 12)
// with |separator| between them, and |closing|; a delimiter of 0 is left out. '{', '}' and '-' give the
// 38-character registry form. The GUID is a random (version 4) UUID; when the kernel's random source fails,
// throws "Could not convert a GUID into a String.".
void FormatNewGuid(kxString& text, char opening, char closing, char separator);
