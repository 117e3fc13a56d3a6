// The trace for host authors: see Trace.h.
#include "plugin/Trace.h"

#include <cstdarg>
#include <windows.h>

namespace {

bool ReadTraceSwitch() {
    char value[8];
    return GetEnvironmentVariableA("COMRELAY_TRACE", value, sizeof value) > 0;
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
