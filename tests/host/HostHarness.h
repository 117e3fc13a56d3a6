// A host as the plug-in meets it: loads comrelay.dll with LoadLibraryA, looks
// exports up by name or ordinal and calls them with the C convention.
#pragma once

#include <cstdint>
#include <windows.h>

#include "../../include/comrelay.h"

class Plugin {
  public:
    // The exports' types come from the header that host authors use, so a
    // header that drifted from the DLL fails here.
    using VoidFn = comrelay_open_fn;
    using IntFn = comrelay_GetData_fn;
    using TextFn = comrelay_GetFile_fn;

    // A null path: the plug-in's code linked into this program, whose export
    // table it brings.
    explicit Plugin(const char* path = "comrelay.dll")
        : module_(path ? LoadLibraryA(path) : GetModuleHandleA(nullptr)), owned_(path) {}
    ~Plugin() { Unload(); }
    Plugin(const Plugin&) = delete;
    Plugin& operator=(const Plugin&) = delete;

    bool Loaded() const { return module_ != nullptr; }
    HMODULE Module() const { return module_; }
    void Unload() {
        if (module_ && owned_) FreeLibrary(module_);
        module_ = nullptr;
    }

    template <class F> F Export(const char* name) const {
        return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module_, name)));
    }
    template <class F> F Ordinal(int ordinal) const {
        return Export<F>(reinterpret_cast<const char*>(static_cast<std::uintptr_t>(ordinal)));
    }

    // The parameterless exports: serial exports and the information texts.
    void Call(const char* name) const { Export<VoidFn>(name)(); }
    std::int32_t CallInt(const char* name) const { return Export<IntFn>(name)(); }
    const char* CallText(const char* name) const { return Export<TextFn>(name)(); }

    // The mailbox exports.
    void SetData(std::int32_t v) const { Export<comrelay_SetData_fn>("SetData")(v); }
    std::int32_t GetData() const { return CallInt("GetData"); }
    void SetFile(const char* text) const { Export<comrelay_SetFile_fn>("SetFile")(text); }
    const char* GetFile() const { return CallText("GetFile"); }
    void SetPath(const char* text) const { Export<comrelay_SetPath_fn>("SetPath")(text); }
    void SetParentWindow(HWND w) const {
        Export<comrelay_SetParentWindow_fn>("SetParentWindow")(w);
    }
    void Draw(std::int32_t left, std::int32_t top, std::int32_t width, std::int32_t height) const {
        Export<comrelay_Draw_fn>("Draw")(0, left, top, width, height);
    }

  private:
    HMODULE module_;
    bool owned_;
};
