// Running the steps of the scripted mode and printing the transcript.
#include "host/Script.h"

#include "host/ByteText.h"
#include "host/LineSettings.h"

#include <cstdio>

void Transcript::Plain(const std::string& text) {
    if (!out_ || out_ == INVALID_HANDLE_VALUE) return;
    std::string line = text + "\n";
    DWORD written = 0;
    WriteFile(out_, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

void Transcript::Line(const char* mark, const std::string& text) {
    DWORD ms = GetTickCount() - start_;
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%4lu.%03lu  %-2s ", static_cast<unsigned long>(ms / 1000),
                  static_cast<unsigned long>(ms % 1000), mark);
    Plain(stamp + text);
}

ScriptRunner::ScriptRunner(HostWindow& window, Transcript& out) : window_(window), out_(out) {
    window_.onCall = [this](const std::string& what) { out_.Line("->", what); };
    window_.onNotification = [this](const Notification& n, int clicks) {
        std::string text = n.kind == Notification::Kind::Data ? "str#" + EscapeBytes(n.body) + "#"
                                                              : EscapeBytes(n.text);
        if (n.kind == Notification::Kind::Data)
            text += "  (" + std::to_string(n.body.size()) + " bytes)";
        if (clicks > 1) text += "  (" + std::to_string(clicks) + " clicks, one text)";
        out_.Line("<-", text);
        if (n.kind != Notification::Kind::Data) {
            ++states_;
            return;
        }
        received_ += n.body;
        // Unmatched data waits for a later --wait-for, within reason.
        if (received_.size() > (4u << 20)) received_.erase(0, received_.size() - (1u << 20));
    };
}

template <class Done> bool ScriptRunner::PumpUntil(DWORD ms, Done done) {
    DWORD start = GetTickCount();
    for (;;) {
        if (done()) return true;
        if (!window_.Alive()) return false;
        DWORD spent = GetTickCount() - start;
        if (spent >= ms) return done();
        // Short slices: a message sent from another thread does not wake
        // every wait under wine.
        DWORD slice = ms - spent < 50 ? ms - spent : 50;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, slice, QS_ALLINPUT);
        MSG m;
        while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
            if (m.message == WM_QUIT) {
                PostQuitMessage(static_cast<int>(m.wParam));
                return false;
            }
            window_.Dispatch(m);
        }
    }
}

bool ScriptRunner::WaitForState(DWORD ms) {
    int before = states_;
    return PumpUntil(ms, [&] { return states_ != before; });
}

int ScriptRunner::Run(const Options& options) {
    int status = 0;
    for (const Step& step : options.steps) {
        if (!window_.Alive()) {
            out_.Line("!!", "the window was closed; the remaining steps are not run");
            return 1;
        }
        if (!RunStep(step)) status = 1;
    }
    // Whatever the steps did, the transcript ends with every notification
    // that was already on its way.
    PumpUntil(100, [] { return false; });
    return status;
}

bool ScriptRunner::RunStep(const Step& step) {
    switch (step.kind) {
    case Step::Kind::Port: {
        // An open port is moved to the new device, which may fail to open.
        bool wasOpen = window_.PortOpen();
        std::string now = window_.SelectPort(step.text);
        out_.Line("", "getport: " + now);
        if (wasOpen && !window_.PortOpen()) out_.Line("!!", "the port did not open");
        return now == step.text && window_.PortOpen() == wasOpen;
    }
    case Step::Kind::BaudRate: {
        std::int32_t now = window_.SelectBaudRate(step.value);
        out_.Line("", "getbaudrate: " + std::to_string(now));
        return now == step.value;
    }
    case Step::Kind::DataBits: {
        std::int32_t now = window_.SelectDataBits(step.value);
        out_.Line("", "getdatabit: " + std::to_string(now));
        return now == step.value;
    }
    case Step::Kind::StopBits: {
        std::int32_t now = window_.SelectStopBits(step.value);
        out_.Line("",
                  "getstopbit: " + std::to_string(now) + " (" + StopBitsName(now) + " stop bits)");
        return now == step.value;
    }
    case Step::Kind::Open:
        if (window_.PortOpen()) return true;
        window_.Open();
        WaitForState(static_cast<DWORD>(step.value));
        if (!window_.PortOpen()) out_.Line("!!", "the port did not open");
        return window_.PortOpen();
    case Step::Kind::Close:
        if (!window_.PortOpen()) return true;
        window_.Close();
        WaitForState(5000);
        return !window_.PortOpen();
    case Step::Kind::Send:
        if (!window_.PortOpen()) RunStep(Step{Step::Kind::Open, "", step.value, ""});
        if (!window_.PortOpen()) {
            out_.Line("!!", "not sent, the port is not open: \"" + EscapeBytes(step.text) + "\"");
            return false;
        }
        return window_.Send(step.text);
    case Step::Kind::Wait:
        PumpUntil(static_cast<DWORD>(step.value), [] { return false; });
        return window_.Alive();
    case Step::Kind::WaitFor: {
        size_t at = std::string::npos;
        PumpUntil(static_cast<DWORD>(step.value), [&] {
            at = received_.find(step.text);
            return at != std::string::npos;
        });
        if (at == std::string::npos) {
            out_.Line("!!", "\"" + EscapeBytes(step.text) + "\" did not come within " +
                                std::to_string(step.value) + " ms");
            return false;
        }
        out_.Line("", "received \"" + EscapeBytes(step.text) + "\"");
        received_.erase(0, at + step.text.size());
        return true;
    }
    }
    return false;
}
