// comrelay-host.exe started as a user starts it, its standard output read
// through a pipe, and its main window found among the desktop's windows.
#pragma once

#include <string>
#include <vector>
#include <windows.h>

class HostProcess {
  public:
    HostProcess() = default;
    ~HostProcess() {
        // A test that failed half-way must not leave the program running.
        if (process_.hProcess) {
            if (WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT)
                TerminateProcess(process_.hProcess, 99);
            CloseHandle(process_.hProcess);
            CloseHandle(process_.hThread);
        }
        if (read_) CloseHandle(read_);
    }
    HostProcess(const HostProcess&) = delete;
    HostProcess& operator=(const HostProcess&) = delete;

    // Runs "program args" from the build directory.
    bool Start(const std::string& args, const std::string& program = "comrelay-host.exe") {
        SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
        HANDLE write = nullptr;
        if (!CreatePipe(&read_, &write, &sa, 0)) return false;
        SetHandleInformation(read_, HANDLE_FLAG_INHERIT, 0);
        STARTUPINFOA si = {};
        si.cb = sizeof si;
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdOutput = write;
        si.hStdError = write;
        std::string command = program + " " + args;
        BOOL ok = CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                 nullptr, &si, &process_);
        CloseHandle(write);
        if (!ok) process_ = {};
        return ok;
    }

    // Everything the program has printed so far.
    const std::string& Output() {
        DWORD avail = 0;
        while (PeekNamedPipe(read_, nullptr, 0, nullptr, &avail, nullptr) && avail) {
            char buf[4096];
            DWORD got = 0;
            if (!ReadFile(read_, buf, avail < sizeof buf ? avail : sizeof buf, &got, nullptr) ||
                !got)
                break;
            output_.append(buf, got);
        }
        return output_;
    }
    // Waits until the output holds text (after from), or the program ended.
    bool WaitFor(const std::string& text, DWORD timeoutMs = 15000) {
        DWORD end = GetTickCount() + timeoutMs;
        for (;;) {
            if (Output().find(text) != std::string::npos) return true;
            if (static_cast<LONG>(end - GetTickCount()) <= 0) return false;
            if (WaitForSingleObject(process_.hProcess, 20) == WAIT_OBJECT_0)
                return Output().find(text) != std::string::npos;
        }
    }
    // The exit status, or -1 if the program is still running after timeoutMs.
    int WaitExit(DWORD timeoutMs = 20000) {
        if (WaitForSingleObject(process_.hProcess, timeoutMs) != WAIT_OBJECT_0) return -1;
        Output();
        DWORD code = 0;
        GetExitCodeProcess(process_.hProcess, &code);
        return static_cast<int>(code);
    }
    DWORD Id() const { return process_.dwProcessId; }
    HANDLE Process() const { return process_.hProcess; }

    // The program's main window, once it exists.
    HWND Window(DWORD timeoutMs = 10000) {
        DWORD end = GetTickCount() + timeoutMs;
        do {
            Found f{Id(), nullptr};
            EnumWindows(Match, reinterpret_cast<LPARAM>(&f));
            if (f.window) return f.window;
            Sleep(20);
        } while (static_cast<LONG>(end - GetTickCount()) > 0);
        return nullptr;
    }

    // True when the parts occur in the output in this order.
    bool InOrder(const std::vector<std::string>& parts) {
        size_t at = 0;
        for (const std::string& p : parts) {
            at = Output().find(p, at);
            if (at == std::string::npos) return false;
            at += p.size();
        }
        return true;
    }

  private:
    struct Found {
        DWORD pid;
        HWND window;
    };
    static BOOL CALLBACK Match(HWND w, LPARAM lp) {
        auto* f = reinterpret_cast<Found*>(lp);
        DWORD pid = 0;
        GetWindowThreadProcessId(w, &pid);
        char cls[64] = {};
        GetClassNameA(w, cls, sizeof cls);
        if (pid == f->pid && lstrcmpA(cls, "comrelay_host") == 0) {
            f->window = w;
            return FALSE;
        }
        return TRUE;
    }

    PROCESS_INFORMATION process_ = {};
    HANDLE read_ = nullptr;
    std::string output_;
};

// Presses the host's "Settings..." button; Form2, once Interface shows it.
// The dialog runs its own loop inside Interface, in the host's thread.
inline HWND OpenSettings(HostProcess& host, HWND window) {
    HWND settings = FindWindowExA(window, nullptr, "BUTTON", "Settings...");
    if (!settings) return nullptr;
    PostMessageA(window, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(settings), BN_CLICKED),
                 reinterpret_cast<LPARAM>(settings));
    HWND form2 = nullptr;
    for (int i = 0; i < 500 && !form2; ++i, Sleep(20))
        form2 = FindWindowA("obj_Form", "Form2");
    return form2 && host.WaitFor("-> Interface") ? form2 : nullptr;
}

// Clicks "Cansel" as the mouse does.
inline bool ClickCansel(HWND form2) {
    HWND cancel = FindWindowExA(form2, nullptr, nullptr, "Cansel");
    if (!cancel) return false;
    PostMessageA(cancel, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
    PostMessageA(cancel, WM_LBUTTONUP, 0, MAKELPARAM(5, 5));
    return true;
}

// The plug-in's window, once it has moved into the host's and shows.
inline HWND WaitForm1(HWND host) {
    for (int i = 0; i < 500; ++i) {
        HWND f = FindWindowExA(host, nullptr, "obj_Form", "Form1");
        if (f && IsWindowVisible(f)) return f;
        Sleep(20);
    }
    return nullptr;
}
