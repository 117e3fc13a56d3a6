// Three small functions on texts: a lenient integer reader, ASCII upper-casing
// and wvsprintfA formatting.
#pragma once

#include "framework/Text.h"
#include <cstdint>
#include <initializer_list>

// Optional sign, then decimal digits up to the first non-digit; wraps on
// overflow, never fails, skips no blanks.
std::int32_t StrToIntPrefix(const Text& text);

// An unshared copy with a-z turned into A-Z; every other byte stays.
Text UpperCaseAscii(const Text& text);

// One wvsprintfA argument: an integer, or a text passed as its characters.
struct FormatValue {
    FormatValue(std::int32_t value) : word(static_cast<std::uint32_t>(value)) {}
    FormatValue(const Text& text) : word(reinterpret_cast<std::uintptr_t>(text.Data())) {}
    std::uint32_t word;
};

Text FormatText(const Text& format, std::initializer_list<FormatValue> values);
