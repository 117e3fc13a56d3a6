// The values the plug-in's setting exports accept, in the order the host
// offers them, and the stop-bit codes spelled as counts for people.
#pragma once

#include <cstdint>
#include <string>

inline constexpr std::int32_t BaudRates[] = {110,   300,   600,    1200,   2400,
                                             4800,  9600,  14400,  19200,  38400,
                                             56000, 57600, 115200, 128000, 256000};
inline constexpr std::int32_t DataBitsValues[] = {5, 6, 7, 8};

// The stop-bit export takes a code, not a count: 1 is one stop bit, 2 one and
// a half, 3 two. People say "1", "1.5" and "2".
inline const char* StopBitsName(std::int32_t code) {
    switch (code) {
    case 1:
        return "1";
    case 2:
        return "1.5";
    case 3:
        return "2";
    default:
        return "?";
    }
}
inline std::int32_t StopBitsCode(const std::string& name) {
    if (name == "1") return 1;
    if (name == "1.5") return 2;
    if (name == "2") return 3;
    return 0;
}
