// Object lifetime and ownership.
#include "framework/BaseObject.h"
#include "framework/PointerList.h"

namespace {

using FreeProc = void (*)(BaseObject*);

void FreeOwned(BaseObject* object) {
    Free(object);
}

} // namespace

void BaseObject::Finalize() {
    EventSlot<void()> onDestroy = OnDestroy;
    OnDestroy.Clear();
    onDestroy(this);
    // The list is looked up afresh on every pass: a procedure may register or
    // withdraw objects while the owner is being finalized.
    while (AutoFree && AutoFree->Count >= 2) {
        int n = AutoFree->Count;
        auto procedure = reinterpret_cast<FreeProc>(AutoFree->Get(n - 2));
        auto* target = reinterpret_cast<BaseObject*>(AutoFree->Get(n - 1));
        AutoFree->Delete(n - 2, 2);
        procedure(target);
    }
    FreeAndNil(AutoFree);
}

void BaseObject::Destroy() {
    Finalize();
    delete this;
}

void Free(BaseObject* object) {
    if (!object) return;
    object->RefCount -= 2;
    if (object->RefCount < 0) object->Destroy();
}

void AddRef(BaseObject* object) {
    if (object) object->RefCount += 2;
}

void AddToAutoFree(BaseObject* owner, BaseObject* object) {
    if (!owner->AutoFree) owner->AutoFree = NewList();
    owner->AutoFree->Insert(0, reinterpret_cast<PointerList::Item>(object));
    owner->AutoFree->Insert(0, reinterpret_cast<PointerList::Item>(&FreeOwned));
}

void RemoveFromAutoFree(BaseObject* owner, BaseObject* object) {
    if (!owner || !owner->AutoFree) return;
    int i = owner->AutoFree->IndexOf(object);
    if (i < 0) return;
    owner->AutoFree->Delete(i & ~1, 2);
    if (owner->AutoFree->Count == 0) FreeAndNil(owner->AutoFree);
}
