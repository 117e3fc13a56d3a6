// Text helpers.
#include "framework/TextHelpers.h"

#include <windows.h>

std::int32_t StrToIntPrefix(const Text& text) {
    const char* p = text.Data();
    const char* end = p + text.Length();
    bool negative = false;
    if (p < end && (*p == '-' || *p == '+')) negative = *p++ == '-';
    std::uint32_t value = 0;
    for (; p < end && *p >= '0' && *p <= '9'; ++p)
        value = value * 10 + (*p - '0');
    return static_cast<std::int32_t>(negative ? 0u - value : value);
}

Text UpperCaseAscii(const Text& text) {
    Text result(text.Data(), text.Length());
    char* p = result.MutableData();
    for (int i = 0; i < result.Length(); ++i)
        if (p[i] >= 'a' && p[i] <= 'z') p[i] = char(p[i] - 32);
    return result;
}

Text FormatText(const Text& format, std::initializer_list<FormatValue> values) {
    // wvsprintfA reads its arguments as consecutive 32-bit words and writes at
    // most 1024 characters, so neither array can overflow.
    std::uint32_t words[32] = {};
    int n = 0;
    for (const FormatValue& v : values)
        if (n < 32) words[n++] = v.word;
    char buffer[2048];
    wvsprintfA(buffer, format.Data(), reinterpret_cast<va_list>(words));
    return Text(buffer);
}
