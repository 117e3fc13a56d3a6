// Object lifetime: counting, ownership order, finalisation and PointerList.
#include <doctest/doctest.h>

#include "framework/BaseObject.h"
#include "framework/PointerList.h"

#include <windows.h>

namespace {

// Records the order in which probes are destroyed.
struct Journal {
    int order[16] = {};
    int count = 0;
};

struct Probe : BaseObject {
    Journal* journal = nullptr;
    int id = 0;
    void Destroy() override {
        if (journal) journal->order[journal->count++] = id;
        BaseObject::Destroy();
    }
};

Probe* NewProbe(Journal* j, int id) {
    Probe* p = NewObject<Probe>();
    p->journal = j;
    p->id = id;
    return p;
}

void RecordDestroy(void* context, BaseObject*) {
    static_cast<Journal*>(context)->order[static_cast<Journal*>(context)->count++] = 100;
}

} // namespace

TEST_CASE("counting in steps of two decides the moment of destruction") {
    Journal j;
    Probe* p = NewProbe(&j, 1);
    CHECK(p->RefCount == 0);
    AddRef(p);
    Free(p);
    CHECK(j.count == 0);
    CHECK(p->RefCount == 0);
    AddRef(p);
    AddRef(p);
    Free(p);
    CHECK(p->RefCount == 2);
    Free(p);
    CHECK(j.count == 0);
    Free(p);
    CHECK(j.count == 1);
    Free(nullptr); // ignored
    Probe* q = NewProbe(&j, 2);
    FreeAndNil(q);
    CHECK(q == nullptr);
    CHECK(j.count == 2);
}

TEST_CASE("an owner frees what it holds first-registered-first, after OnDestroy") {
    Journal j;
    Probe* owner = NewProbe(nullptr, 0);
    owner->OnDestroy.Set(RecordDestroy, &j);
    for (int id = 1; id <= 3; ++id)
        AddToAutoFree(owner, NewProbe(&j, id));
    Free(owner);
    REQUIRE(j.count == 4);
    CHECK(j.order[0] == 100);
    CHECK(j.order[1] == 1);
    CHECK(j.order[2] == 2);
    CHECK(j.order[3] == 3);
}

TEST_CASE("RemoveFromAutoFree withdraws one registration and drops an empty list") {
    Journal j;
    Probe* owner = NewProbe(nullptr, 0);
    Probe* a = NewProbe(&j, 1);
    Probe* b = NewProbe(&j, 2);
    AddToAutoFree(owner, a);
    AddToAutoFree(owner, b);
    RemoveFromAutoFree(owner, a);
    CHECK(owner->AutoFree->Count == 2);
    RemoveFromAutoFree(owner, a); // not registered: nothing
    RemoveFromAutoFree(owner, b);
    CHECK(owner->AutoFree == nullptr);
    Free(owner);
    CHECK(j.count == 0);
    Free(a);
    Free(b);
    CHECK(j.count == 2);
}

namespace {
// A probe that, while its owner is being finalized, registers a newcomer.
struct Registrar : Probe {
    BaseObject* owner = nullptr;
    Probe* late = nullptr;
    void Destroy() override {
        AddToAutoFree(owner, late);
        Probe::Destroy();
    }
};
} // namespace

TEST_CASE("an object registered during finalisation is freed by the same finalisation") {
    Journal j;
    Probe* owner = NewProbe(nullptr, 0);
    Registrar* r = NewObject<Registrar>();
    r->journal = &j;
    r->id = 1;
    r->owner = owner;
    r->late = NewProbe(&j, 2);
    AddToAutoFree(owner, r);
    AddToAutoFree(owner, NewProbe(&j, 3));
    Free(owner);
    REQUIRE(j.count == 3);
    CHECK(j.order[0] == 1);
    CHECK(j.order[1] == 3);
    CHECK(j.order[2] == 2);
}

namespace {
struct TwiceFinalized : BaseObject {
    void Destroy() override {
        Finalize(); // early, as window objects do
        BaseObject::Destroy();
    }
};
} // namespace

TEST_CASE("OnDestroy runs once even when Finalize runs twice") {
    Journal j;
    auto* o = NewObject<TwiceFinalized>();
    o->OnDestroy.Set(RecordDestroy, &j);
    Free(o);
    CHECK(j.count == 1);
}

TEST_CASE("PointerList grows by its step and edits in place") {
    PointerList* list = NewList();
    CHECK(list->IndexOf(PointerList::Item(5)) == -1);
    CHECK(list->Get(-1) == 0);
    CHECK(list->Get(0) == 0);
    for (int i = 1; i <= 4; ++i)
        list->Add(PointerList::Item(i));
    CHECK(list->Capacity == 4);
    list->Add(PointerList::Item(5));
    CHECK(list->Capacity == 8);
    for (int i = 6; i <= 9; ++i)
        list->Add(PointerList::Item(i));
    CHECK(list->Capacity == 12);
    list->Insert(0, PointerList::Item(42));
    CHECK(list->Get(0) == 42);
    CHECK(list->Get(1) == 1);
    CHECK(list->Count == 10);
    list->Delete(1, 3); // removes 1, 2, 3
    CHECK(list->Get(1) == 4);
    list->Delete(7, 100); // cut to what is there
    CHECK(list->Count == 7);
    list->Remove(PointerList::Item(42));
    CHECK(list->Get(0) == 4);
    CHECK(list->Get(list->Count) == 0);
    list->Insert(list->Count, PointerList::Item(77)); // at the end
    CHECK(list->Get(list->Count - 1) == 77);
    list->Clear();
    CHECK(list->Count == 0);
    CHECK(list->Capacity == 0);
    Free(list);

    PointerList* free_growth = NewObject<PointerList>(); // GrowBy 0
    for (int i = 0; i < 9; ++i)
        free_growth->Add(PointerList::Item(i));
    CHECK(free_growth->Capacity >= 9);
    CHECK(free_growth->Get(8) == 8);
    Free(free_growth);
}

namespace {
constexpr char ExhaustedChild[] = "COMRELAY_OBJECTS_EXHAUSTED";
} // namespace

// The constructor of a new object writes through what operator new returns,
// so a failed allocation must end the program there and then. Seen from a
// second run of this program, which asks for more than the address space.
TEST_CASE("operator new ends the program when the heap cannot serve it") {
    if (GetEnvironmentVariableA(ExhaustedChild, nullptr, 0) != 0) {
        volatile std::size_t size = 0xFFFFFF00u; // more than a 32-bit process can hold
        void* p = ::operator new(size);
        ExitProcess(p ? 1 : 0); // reached only when new came back
    }
    char self[MAX_PATH];
    REQUIRE(GetModuleFileNameA(nullptr, self, sizeof self) > 0);
    char command[MAX_PATH + 80];
    wsprintfA(command, "\"%s\" \"-tc=operator new ends*\"", self);
    SetEnvironmentVariableA(ExhaustedChild, "1");
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    BOOL started =
        CreateProcessA(nullptr, command, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi);
    SetEnvironmentVariableA(ExhaustedChild, nullptr);
    REQUIRE(started);
    CHECK(WaitForSingleObject(pi.hProcess, 60000) == WAIT_OBJECT_0);
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    CHECK(code == 3); // abort()
}
