#pragma once
// Reading one hexadecimal digit, shared by the key-blob texts of the crypto layer and the hex escapes of the
// host envelopes. A free function without state: any thread may call it.

// The value 0..15 of |c| as a hex digit of either case; -1 for any other character.
inline int HexDigitValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}
