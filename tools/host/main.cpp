// comrelay-host: the reference host for comrelay.dll. Without steps on the
// command line it is an interactive serial terminal; with steps it runs them
// and prints a transcript (see UsageText).
#include "host/HostWindow.h"
#include "host/Options.h"
#include "host/PluginLibrary.h"
#include "host/Script.h"

#include "comrelay_version.h"

#include <cstdlib>
#include <string>
#include <vector>
#include <windows.h>

namespace {

// A GUI program started from a console or a batch file has no standard
// output of its own unless the caller redirected it: borrow the caller's
// console then. (Under wine, a program started from a Unix shell already
// has the shell's output as its standard output.)
HANDLE StandardOutput(bool attach) {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out && out != INVALID_HANDLE_VALUE && GetFileType(out) != FILE_TYPE_UNKNOWN) return out;
    if (!attach || !AttachConsole(ATTACH_PARENT_PROCESS)) return nullptr;
    out = CreateFileA("CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                      nullptr, OPEN_EXISTING, 0, nullptr);
    return out == INVALID_HANDLE_VALUE ? nullptr : out;
}

std::string BesideProgram(const char* file) {
    char path[MAX_PATH] = {};
    DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string dir(path, n);
    size_t slash = dir.find_last_of("\\/");
    dir = slash == std::string::npos ? std::string() : dir.substr(0, slash + 1);
    return dir + file;
}

int Report(HANDLE out, Transcript& t, const std::string& text, int status) {
    if (out)
        t.Plain("comrelay-host: " + text);
    else
        MessageBoxA(nullptr, text.c_str(), "comrelay-host", MB_OK | MB_ICONERROR);
    return status;
}

} // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int show) {
    // The window scales its own layout and fonts; without this, Windows at
    // 125% and more would stretch it, and the plug-in in it, as a blurred bitmap.
    SetProcessDPIAware();
    std::vector<std::string> args;
    for (int i = 1; i < __argc; ++i)
        args.push_back(__argv[i]);
    Options options = ParseOptions(args);
    bool scripted = options.help || options.version || !options.error.empty() ||
                    !options.steps.empty() || options.exit;
    HANDLE out = StandardOutput(scripted);
    Transcript transcript(out);
    if (options.help) {
        transcript.Plain(UsageText);
        return 0;
    }
    if (options.version) {
        transcript.Plain("comrelay-host " COMRELAY_VERSION);
        return 0;
    }
    if (!options.error.empty()) {
        return Report(out, transcript, options.error + " (see --help)", 2);
    }

    PluginLibrary plugin;
    std::string path = options.dll.empty() ? BesideProgram("comrelay.dll") : options.dll;
    if (!plugin.Load(path)) return Report(out, transcript, plugin.Error(), 2);
    std::string info = plugin.Info();
    while (!info.empty() && (info.back() == '\r' || info.back() == '\n'))
        info.pop_back();
    transcript.Line("", "loaded " + path + ": " + plugin.ShortInfo() + " / " + info);

    HostWindow window(plugin);
    ScriptRunner runner(window, transcript);
    if (!window.Create(show))
        return window.ClosedWhileStarting()
                   ? 0
                   : Report(out, transcript, "cannot create the window", 2);

    int status = 0;
    if (!options.steps.empty()) status = runner.Run(options);
    if (options.exit) {
        window.Shut();
        return status;
    }
    MSG m;
    while (GetMessageA(&m, nullptr, 0, 0) > 0)
        window.Dispatch(m);
    return status;
}
