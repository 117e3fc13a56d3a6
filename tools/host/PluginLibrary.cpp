// Loading comrelay.dll and the mailbox round trips of its exports.
#include "host/PluginLibrary.h"

template <class F> bool PluginLibrary::Resolve(F& fn, const char* name) {
    // The exports are plain C functions; the cast goes through void* because
    // FARPROC and our pointer types differ only in their signature.
    fn = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module_, name)));
    if (!fn && error_.empty()) error_ = path_ + " has no export \"" + name + "\"";
    return fn != nullptr;
}

bool PluginLibrary::Load(const std::string& path) {
    path_ = path;
    error_.clear();
    module_ = LoadLibraryA(path.c_str());
    if (!module_) {
        error_ = "cannot load " + path + " (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    bool ok = true;
    ok &= Resolve(close_, "Close");
    ok &= Resolve(open_, "open");
    ok &= Resolve(getport_, "getport");
    ok &= Resolve(setport_, "setport");
    ok &= Resolve(sendstring_, "sendstring");
    ok &= Resolve(getData_, "GetData");
    ok &= Resolve(getstopbit_, "getstopbit");
    ok &= Resolve(setstopbit_, "setstopbit");
    ok &= Resolve(getdatabit_, "getdatabit");
    ok &= Resolve(setdatabit_, "setdatabit");
    ok &= Resolve(getbaudrate_, "getbaudrate");
    ok &= Resolve(setbaudrate_, "setbaudrate");
    ok &= Resolve(draw_, "Draw");
    ok &= Resolve(setParentWindow_, "SetParentWindow");
    ok &= Resolve(interface_, "Interface");
    ok &= Resolve(hasIntDlg_, "HasIntDlg");
    ok &= Resolve(getInfo_, "GetInfo");
    ok &= Resolve(getShortInfo_, "GetShortInfo");
    ok &= Resolve(copyright_, "Copyright");
    ok &= Resolve(setPath_, "SetPath");
    ok &= Resolve(setData_, "SetData");
    ok &= Resolve(getFile_, "GetFile");
    ok &= Resolve(setFile_, "SetFile");
    if (!ok) {
        FreeLibrary(module_);
        module_ = nullptr;
    }
    return ok;
}

std::int32_t PluginLibrary::Exchange(VoidFn set, VoidFn get, std::int32_t value) const {
    setData_(value);
    set();
    return Read(get);
}

std::int32_t PluginLibrary::Read(VoidFn get) const {
    // A get export with nothing to report leaves the mailbox alone: clear it
    // first, or the value just sent would read back as if it had been taken.
    setData_(0);
    get();
    return getData_();
}

void PluginLibrary::SetPort(const std::string& name) const {
    setFile_(name.c_str());
    setport_();
}

std::string PluginLibrary::Port() const {
    getport_();
    const char* name = getFile_();
    return name ? name : "";
}

void PluginLibrary::Send(const std::string& bytes) const {
    setFile_(bytes.c_str());
    sendstring_();
}
