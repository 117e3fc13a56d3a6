// Byte strings as the host shows and reads them: escaped printable text,
// hex dumps, and the escapes and hex that the command line accepts.
#pragma once

#include <string>

// Printable ASCII stays, a backslash doubles, CR/LF/TAB become \r \n \t and
// every other byte, zero and 0x80..0xFF included, becomes \xNN.
std::string EscapeBytes(const std::string& bytes);

// "68 65 6C": two upper-case digits per byte, one space between.
std::string HexBytes(const std::string& bytes);

// The reverse of EscapeBytes (also \0 and \\); false on a broken escape.
bool UnescapeText(const std::string& text, std::string& bytes);

// Hex digit pairs; spaces, commas, colons and dashes may separate bytes.
bool ParseHexBytes(const std::string& text, std::string& bytes);
