// Move-only owners for kernel handles. Each kind knows its invalid value:
// NULL for events and threads, INVALID_HANDLE_VALUE for files and devices.
#pragma once

#include <windows.h>

template <HANDLE (*InvalidValue)()> class OwnedHandle {
  public:
    OwnedHandle() = default;
    explicit OwnedHandle(HANDLE h) : handle_(h) {}
    OwnedHandle(OwnedHandle&& other) noexcept : handle_(other.Release()) {}
    OwnedHandle& operator=(OwnedHandle&& other) noexcept {
        if (this != &other) Reset(other.Release());
        return *this;
    }
    OwnedHandle(const OwnedHandle&) = delete;
    OwnedHandle& operator=(const OwnedHandle&) = delete;
    ~OwnedHandle() { Reset(); }

    HANDLE Get() const { return handle_; }
    bool Valid() const { return handle_ != InvalidValue(); }
    explicit operator bool() const { return Valid(); }
    HANDLE Release() {
        HANDLE h = handle_;
        handle_ = InvalidValue();
        return h;
    }
    void Reset(HANDLE h = InvalidValue()) {
        if (Valid()) CloseHandle(handle_);
        handle_ = h;
    }

  private:
    HANDLE handle_ = InvalidValue();
};

inline HANDLE NullHandleValue() {
    return nullptr;
}
inline HANDLE InvalidHandleValue() {
    return INVALID_HANDLE_VALUE;
}

using EventHandle = OwnedHandle<NullHandleValue>;   // events, threads
using FileHandle = OwnedHandle<InvalidHandleValue>; // files, devices

// A manual-reset event, unnamed, without security attributes.
inline EventHandle NewManualEvent(bool signalled) {
    return EventHandle(CreateEventA(nullptr, TRUE, signalled ? TRUE : FALSE, nullptr));
}
