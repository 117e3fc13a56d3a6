// The scripted mode: runs the command line's steps against the host window
// and prints each call and each notification with a timestamp.
#pragma once

#include "host/HostWindow.h"
#include "host/Options.h"

#include <string>
#include <windows.h>

class Transcript {
  public:
    explicit Transcript(HANDLE out) : out_(out), start_(GetTickCount()) {}
    // One line: seconds since start, an arrow or blank, the text.
    void Line(const char* mark, const std::string& text);
    void Plain(const std::string& text);

  private:
    HANDLE out_;
    DWORD start_;
};

class ScriptRunner {
  public:
    ScriptRunner(HostWindow& window, Transcript& out);
    // Runs every step; returns 0 when each did what it asked, 1 otherwise.
    int Run(const Options& options);

  private:
    bool RunStep(const Step& step);
    // Dispatches messages for up to ms or until done(); false if the window went.
    template <class Done> bool PumpUntil(DWORD ms, Done done);
    bool WaitForState(DWORD ms);

    HostWindow& window_;
    Transcript& out_;
    std::string received_; // data not yet matched by --wait-for
    int states_ = 0;       // status and error notifications so far
};
