// The trace for host authors: see Trace.h.
#include "plugin/Trace.h"

#include <cstdarg>
#include <windows.h>

namespace {

// Users write 0 or "off" to mean off, as they would unset it; any other
// value, 1 or "on" for example, turns the trace on.
bool ReadTraceSwitch() {
    char value[8];
    DWORD n = GetEnvironmentVariableA("COMRELAY_TRACE", value, sizeof value);
    if (n == 0 || n >= sizeof value) return n != 0;
    return lstrcmpA(value, "0") != 0 && lstrcmpiA(value, "off") != 0;
}

} // namespace

// Read once, as the library loads.
const bool TraceOn = ReadTraceSwitch();

void TraceWrite(const char* format, ...) {
    // wvsprintfA writes at most 1024 bytes; the line and its end fit.
    char line[1100];
    va_list args;
    va_start(args, format);
    int n = wvsprintfA(line, format, args);
    va_end(args);
    if (n < 0) return;
    line[n] = '\n';
    line[n + 1] = 0;
    OutputDebugStringA(line);
}
