#pragma once
// The control characters of the system's protocols, named once: the frames of the lanes' requests and replies,
// the fields of the host message and the parameter texts, the login texts and the launcher's replies, the dial
// line, and the DC1 ... DC2 frame of the public-key text that the crypto layer reads. Constants: any thread
// may read them.

inline constexpr char kCharSTX = 0x02; // starts a frame's body
inline constexpr char kCharETX = 0x03; // ends a frame
inline constexpr char kCharENQ = 0x05; // the dial host is ready
inline constexpr char kCharACK = 0x06; // the dial frame was taken
inline constexpr char kCharDC1 = 0x11; // opens a key text
inline constexpr char kCharDC2 = 0x12; // closes a key text
inline constexpr char kCharNAK = 0x15; // the dial frame was refused: send it again
inline constexpr char kCharFS = 0x1C;  // separates fields
inline constexpr char kCharRS = 0x1E;  // opens a login hex text; follows a pipe reply's "COMMAND" or "ERROR"
inline constexpr char kCharUS = 0x1F;  // closes a login hex text; separates the traffic lines of a pipe reply
