// The host's own loader for comrelay.dll: LoadLibraryA, every export looked
// up by name with GetProcAddress, and the mailbox protocol wrapped in calls
// that say what they do. Only the DLL's export contract is used.
#pragma once

#include <cstdint>
#include <string>
#include <windows.h>

#include "comrelay.h"

class PluginLibrary {
  public:
    PluginLibrary() = default;
    PluginLibrary(const PluginLibrary&) = delete;
    PluginLibrary& operator=(const PluginLibrary&) = delete;

    // False when the library or one of its exports is missing; Error() says which.
    bool Load(const std::string& path);
    const std::string& Error() const { return error_; }
    const std::string& Path() const { return path_; }

    // Information exports.
    std::string Info() const { return Text(getInfo_); }
    std::string ShortInfo() const { return Text(getShortInfo_); }
    std::string Copyright() const { return Text(copyright_); }
    bool HasSettingsDialog() const { return hasIntDlg_() != 0; }
    void RunSettingsDialog() const { interface_(); }
    void SetPath(const std::string& path) const { setPath_(path.c_str()); }

    // The component's window: its parent and its rectangle in that parent.
    void SetParentWindow(HWND window) const { setParentWindow_(window); }
    void Draw(const RECT& r) const { draw_(0, r.left, r.top, r.right - r.left, r.bottom - r.top); }

    // Integer settings: the value goes in through SetData and the set export,
    // and comes back through the get export and GetData. 0 means the get
    // export wrote nothing (the port holds a value outside its table).
    std::int32_t SetBaudRate(std::int32_t rate) const {
        return Exchange(setbaudrate_, getbaudrate_, rate);
    }
    std::int32_t SetDataBits(std::int32_t bits) const {
        return Exchange(setdatabit_, getdatabit_, bits);
    }
    std::int32_t SetStopBits(std::int32_t code) const {
        return Exchange(setstopbit_, getstopbit_, code);
    }
    std::int32_t BaudRate() const { return Read(getbaudrate_); }
    std::int32_t DataBits() const { return Read(getdatabit_); }
    std::int32_t StopBits() const { return Read(getstopbit_); }

    // Text settings and the line. Each of these replaces the text mailbox.
    void SetPort(const std::string& name) const;
    std::string Port() const;
    void Open() const { open_(); }
    void Close() const { close_(); }
    // The mailbox takes a text up to its first zero byte: bytes must hold none.
    void Send(const std::string& bytes) const;

    // The mailbox as the plug-in left it, read on each notification click.
    const char* FetchMailbox() const { return getFile_(); }

  private:
    // Every parameterless serial export has the same type.
    using VoidFn = comrelay_open_fn;
    using TextFn = comrelay_GetInfo_fn;

    template <class F> bool Resolve(F& fn, const char* name);
    static std::string Text(TextFn fn) {
        const char* t = fn();
        return t ? t : "";
    }
    std::int32_t Exchange(VoidFn set, VoidFn get, std::int32_t value) const;
    std::int32_t Read(VoidFn get) const;

    HMODULE module_ = nullptr;
    std::string path_, error_;
    comrelay_Close_fn close_ = nullptr;
    comrelay_open_fn open_ = nullptr;
    comrelay_getport_fn getport_ = nullptr;
    comrelay_setport_fn setport_ = nullptr;
    comrelay_sendstring_fn sendstring_ = nullptr;
    comrelay_getstopbit_fn getstopbit_ = nullptr;
    comrelay_setstopbit_fn setstopbit_ = nullptr;
    comrelay_getdatabit_fn getdatabit_ = nullptr;
    comrelay_setdatabit_fn setdatabit_ = nullptr;
    comrelay_getbaudrate_fn getbaudrate_ = nullptr;
    comrelay_setbaudrate_fn setbaudrate_ = nullptr;
    comrelay_Draw_fn draw_ = nullptr;
    comrelay_SetParentWindow_fn setParentWindow_ = nullptr;
    comrelay_Interface_fn interface_ = nullptr;
    comrelay_HasIntDlg_fn hasIntDlg_ = nullptr;
    comrelay_GetData_fn getData_ = nullptr;
    comrelay_GetInfo_fn getInfo_ = nullptr;
    comrelay_GetShortInfo_fn getShortInfo_ = nullptr;
    comrelay_Copyright_fn copyright_ = nullptr;
    comrelay_GetFile_fn getFile_ = nullptr;
    comrelay_SetPath_fn setPath_ = nullptr;
    comrelay_SetFile_fn setFile_ = nullptr;
    comrelay_SetData_fn setData_ = nullptr;
};
