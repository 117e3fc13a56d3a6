// The reference host's main window: line settings, the plug-in's component,
// traffic pane, send row and status line. One thread only: the plug-in
// reaches the host by posting a click here, which the host answers with GetFile.
#pragma once

#include "host/Notification.h"
#include "host/PluginLibrary.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>
#include <windows.h>

class HostWindow {
  public:
    explicit HostWindow(PluginLibrary& plugin) : plugin_(plugin) {}
    ~HostWindow();
    HostWindow(const HostWindow&) = delete;
    HostWindow& operator=(const HostWindow&) = delete;

    // Builds the window, hands it to the plug-in and waits until the
    // component has moved in (it does so a moment after SetParentWindow).
    // False when the window could not be made, or was closed meanwhile
    // (ClosedWhileStarting: the user's doing, not a failure).
    bool Create(int show);
    bool ClosedWhileStarting() const { return closedWhileStarting_; }
    HWND Handle() const { return window_; }
    // False once the window has been destroyed.
    bool Alive() const { return window_ != nullptr; }

    // What the controls do; the scripted mode calls the same. Each setting
    // returns what the plug-in reports after the change.
    std::string SelectPort(const std::string& name);
    std::int32_t SelectBaudRate(std::int32_t rate);
    std::int32_t SelectDataBits(std::int32_t bits);
    std::int32_t SelectStopBits(std::int32_t code);
    void Open();
    void Close();
    // False when the bytes cannot pass the text mailbox (a zero byte).
    bool Send(const std::string& bytes);
    bool PortOpen() const { return open_; }
    // Where the component was last placed, in client coordinates.
    RECT ComponentRect() const { return drawn_; }
    // Answers every notification click already queued; true if there was one.
    bool AnswerQueuedClicks();
    // Closes the port if it is open and destroys the window.
    void Shut();
    // One message of the thread's queue, with the dialog keys (Tab, Enter).
    void Dispatch(MSG& m);

    // Every notification the host answers; clicks > 1 when queued clicks
    // were answered with one fetch (they all read the same mailbox).
    std::function<void(const Notification&, int clicks)> onNotification;
    // Each export call that acts on the plug-in, as a short line of text.
    std::function<void(const std::string&)> onCall;

  private:
    struct Entry {
        SYSTEMTIME time;
        char kind; // 'R' received, 'T' sent, 'S' status, 'E' error
        std::string bytes;
    };

    static LRESULT CALLBACK Procedure(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
    LRESULT OnMessage(UINT msg, WPARAM wp, LPARAM lp);
    void CreateControls();
    // The ports Windows lists now; called again when one comes or goes.
    void FillPortBox();
    void Layout();
    void Paint();
    void Command(int id, int code);
    void AnswerClick(int clicks);
    bool IsNotificationPoint(LPARAM lp) const;
    void ReadBackSettings();
    void UpdateState();
    void SetStatus(const std::string& lastText);
    void AddEntry(char kind, const std::string& bytes);
    std::wstring EntryText(const Entry& e) const;
    void RebuildTraffic();
    void FlushTraffic();
    void Call(const std::string& what);
    void SendLine();
    void ShowAbout();
    void ShowSettings();

    PluginLibrary& plugin_;
    HWND window_ = nullptr;
    HFONT uiFont_ = nullptr, monoFont_ = nullptr;
    // The DPI the window is laid out for, and a size given for 96 DPI at it.
    int dpi_ = USER_DEFAULT_SCREEN_DPI;
    int Px(int size) const { return MulDiv(size, dpi_, USER_DEFAULT_SCREEN_DPI); }
    HWND portBox_ = nullptr, baudBox_ = nullptr, dataBox_ = nullptr, stopBox_ = nullptr;
    HWND openButton_ = nullptr, closeButton_ = nullptr;
    HWND settingsButton_ = nullptr, aboutButton_ = nullptr;
    HWND traffic_ = nullptr, hexCheck_ = nullptr, clearButton_ = nullptr;
    HWND sendEdit_ = nullptr, eolBox_ = nullptr, sendButton_ = nullptr;
    HWND status_ = nullptr;
    std::vector<HWND> labels_;
    RECT lineFrame_ = {}, componentFrame_ = {}, trafficFrame_ = {};
    RECT drawn_ = {};
    LPARAM points_[2] = {-1, -1}; // the click point now and before the last Draw
    bool open_ = false;
    std::int32_t baud_ = 0, dataBits_ = 0, stopCode_ = 0;
    bool inSettings_ = false, closeAfterSettings_ = false;
    bool closedWhileStarting_ = false;
    std::string lastText_ = "(none yet)";
    std::string port_ = "COM1";
    std::vector<Entry> entries_;
    size_t entryBytes_ = 0; // bytes held by entries_
    std::wstring unshown_;  // entries not yet in the pane
    bool flushPending_ = false;
};
