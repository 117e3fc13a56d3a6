// The values the plug-in's setting exports accept, in the order the host
// offers them, and the stop-bit codes spelled as counts for people.
#pragma once

#include <cstdint>
#include <string>

#include "comrelay.h"

inline constexpr std::int32_t BaudRates[COMRELAY_BAUD_RATE_COUNT] = COMRELAY_BAUD_RATES;
inline constexpr std::int32_t DataBitsValues[COMRELAY_DATA_BITS_COUNT] = COMRELAY_DATA_BITS;

// The stop-bit export takes a code, not a count: 1 is one stop bit, 2 one and
// a half, 3 two. People say "1", "1.5" and "2".
inline const char* StopBitsName(std::int32_t code) {
    switch (code) {
    case COMRELAY_STOP_BITS_ONE:
        return "1";
    case COMRELAY_STOP_BITS_ONE_AND_HALF:
        return "1.5";
    case COMRELAY_STOP_BITS_TWO:
        return "2";
    default:
        return "?";
    }
}
inline std::int32_t StopBitsCode(const std::string& name) {
    if (name == "1") return COMRELAY_STOP_BITS_ONE;
    if (name == "1.5") return COMRELAY_STOP_BITS_ONE_AND_HALF;
    if (name == "2") return COMRELAY_STOP_BITS_TWO;
    return 0;
}
