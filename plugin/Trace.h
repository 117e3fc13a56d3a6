// One line per notice, click, re-click, put-back and device failure, for
// host authors who look for lost clicks in a debugger or a debug-output
// viewer (under wine: WINEDEBUG=+debugstr). On when COMRELAY_TRACE held a value
// other than 0, "off" (any case) or nothing as the library loaded; otherwise
// each call is one test of a flag.
//
// Threads: any. TraceOn is written once, before any export runs, and only
// read afterwards; OutputDebugStringA may be called from every thread.
#pragma once

extern const bool TraceOn;

// Formats with wvsprintfA (%s, %d, %lX...) and writes one line.
void TraceWrite(const char* format, ...);

template <class... Args> inline void TraceLine(const char* format, Args... args) {
    if (TraceOn) TraceWrite(format, args...);
}
