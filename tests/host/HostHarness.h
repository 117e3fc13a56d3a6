// A host as the plug-in meets it: loads comrelay.dll with LoadLibraryA, looks
// exports up by name or ordinal and calls them with the C convention.
#pragma once

#include <cstdint>
#include <windows.h>

class Plugin {
  public:
    using VoidFn = void(__cdecl*)();
    using IntFn = std::int32_t(__cdecl*)();
    using TextFn = const char*(__cdecl*)();

    explicit Plugin(const char* path = "comrelay.dll") : module_(LoadLibraryA(path)) {}
    ~Plugin() { Unload(); }
    Plugin(const Plugin&) = delete;
    Plugin& operator=(const Plugin&) = delete;

    bool Loaded() const { return module_ != nullptr; }
    HMODULE Module() const { return module_; }
    void Unload() {
        if (module_) FreeLibrary(module_);
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
    void SetData(std::int32_t v) const { Export<void(__cdecl*)(std::int32_t)>("SetData")(v); }
    std::int32_t GetData() const { return CallInt("GetData"); }
    void SetFile(const char* text) const { Export<void(__cdecl*)(const char*)>("SetFile")(text); }
    const char* GetFile() const { return CallText("GetFile"); }
    void SetPath(const char* text) const { Export<void(__cdecl*)(const char*)>("SetPath")(text); }
    void SetParentWindow(HWND w) const { Export<void(__cdecl*)(HWND)>("SetParentWindow")(w); }
    void Draw(std::int32_t left, std::int32_t top, std::int32_t width, std::int32_t height) const {
        using DrawFn =
            void(__cdecl*)(std::int32_t, std::int32_t, std::int32_t, std::int32_t, std::int32_t);
        Export<DrawFn>("Draw")(0, left, top, width, height);
    }

  private:
    HMODULE module_;
};
