// BaseObject: explicit lifetime with a counter in steps of 2, an OnDestroy
// slot, and an AutoFree list of owned objects freed first-registered-first.
// Threads: nothing here is synchronised. An object's lifetime operations
// (AddRef, Free, the AutoFree list, finalisation) run on one thread at a time;
// other threads may use an object while it lives, never end it meanwhile.
#pragma once

#include "framework/EventSlot.h"

class PointerList;

class BaseObject {
  public:
    // Virtual operations in slot order: Init, Destroy, then each kind's own.
    virtual void Init() {}
    // Releases what the kind holds, then the base part: Finalize and the memory.
    virtual void Destroy();

    int RefCount = 0;
    EventSlot<void()> OnDestroy;
    PointerList* AutoFree = nullptr;

    BaseObject(const BaseObject&) = delete;
    BaseObject& operator=(const BaseObject&) = delete;

  protected:
    BaseObject() = default;
    virtual ~BaseObject() = default;
    // OnDestroy (once), then the owned objects in registration order. A second
    // call finds nothing left to do.
    void Finalize();
};

// Creates a zero-filled instance and runs Init.
template <class T> T* NewObject() {
    T* object = new T();
    object->Init();
    return object;
}

void Free(BaseObject* object);
void AddRef(BaseObject* object);
template <class T> void FreeAndNil(T*& reference) {
    T* object = reference;
    reference = nullptr;
    Free(object);
}
void AddToAutoFree(BaseObject* owner, BaseObject* object);
void RemoveFromAutoFree(BaseObject* owner, BaseObject* object);
