// EventSlot: a (Handler, Context) pair, called as Handler(Context, Sender, ...).
// An empty slot is skipped; the slot never owns its context.
#pragma once

class BaseObject;

template <class Signature> struct EventSlot;

template <class R, class... Args> struct EventSlot<R(Args...)> {
    using HandlerFn = R (*)(void* context, BaseObject* sender, Args... args);

    HandlerFn Handler = nullptr;
    void* Context = nullptr;

    explicit operator bool() const { return Handler != nullptr; }
    void Set(HandlerFn handler, void* context) {
        Handler = handler;
        Context = context;
    }
    void Clear() { Set(nullptr, nullptr); }
    R operator()(BaseObject* sender, Args... args) const {
        if (!Handler) return R();
        return Handler(Context, sender, args...);
    }
};
