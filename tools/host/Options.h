// The command line of comrelay-host: global options and the steps of the
// scripted mode, run in the order given.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct Step {
    enum class Kind { Port, BaudRate, DataBits, StopBits, Open, Send, Wait, WaitFor, Close };
    Kind kind;
    std::string text;       // port name, bytes to send or to wait for
    std::int32_t value = 0; // rate, bits, stop-bit code or milliseconds
    std::string shown;      // the argument as given, for the transcript
};

struct Options {
    std::string dll;         // empty: comrelay.dll beside the program
    std::vector<Step> steps; // empty: the interactive window only
    bool exit = false;       // leave after the steps (otherwise stay up)
    bool help = false;
    bool version = false; // print the version and leave
    std::string error;    // set when the command line is wrong
};

// argv without the program name.
Options ParseOptions(const std::vector<std::string>& args);

extern const char UsageText[];

// "COM3", "com3" or "3" name the port; the plug-in takes COM1..COM256.
bool PortName(const std::string& text, std::string& name);
