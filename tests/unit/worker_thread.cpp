// WorkerThread: running a handler, its exit code, resuming, and freeing a
// thread in each of its states.
#include <doctest/doctest.h>

#include "framework/WorkerThread.h"

namespace {

DWORD ReturnSeven(void*, BaseObject*) {
    return 7;
}

struct Gate {
    HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    volatile LONG ran = 0;
    volatile LONG resumed = 0;
    ~Gate() { CloseHandle(release); }
};

DWORD WaitAtGate(void* context, BaseObject*) {
    auto* g = static_cast<Gate*>(context);
    InterlockedIncrement(&g->ran);
    WaitForSingleObject(g->release, INFINITE);
    return 3;
}

void CountResume(void* context, BaseObject*) {
    InterlockedIncrement(&static_cast<Gate*>(context)->resumed);
}

// The object's destruction, seen through its OnDestroy.
void MarkDestroyed(void* context, BaseObject*) {
    *static_cast<bool*>(context) = true;
}

// Wine 8.0 can crash the whole process (a real SIGSEGV) when a thread is
// killed in the first moments after CreateThread, before it has parked in
// its suspended state: about one kill in a few hundred. A millisecond's wait
// took 18,000 kills without a crash; this one leaves a wide margin. The
// plug-in itself never kills a thread: its threads are always waited for.
void LetNewThreadPark() {
    Sleep(100);
}

} // namespace

TEST_CASE("a thread runs its handler and answers its exit code") {
    WorkerThread* t = NewThreadWithExecute(ReturnSeven, nullptr);
    REQUIRE(t->ThreadHandle);
    CHECK(t->WaitFor() == 7);
    CHECK(t->ExitResult == 7);
    CHECK(t->Finished);
    CHECK_FALSE(t->Suspended);
    Free(t);
}

TEST_CASE("a new thread waits suspended until resumed") {
    Gate g;
    WorkerThread* t = NewThread();
    CHECK(t->Suspended);
    t->OnExecute.Set(WaitAtGate, &g);
    t->OnResume.Set(CountResume, &g);
    Sleep(50);
    CHECK(g.ran == 0);
    t->Resume();
    CHECK_FALSE(t->Suspended);
    CHECK(g.resumed == 1);
    // Resuming a running thread does nothing to it, and OnResume runs again.
    t->Resume();
    CHECK(g.resumed == 2);
    CHECK_FALSE(t->Suspended);
    SetEvent(g.release);
    CHECK(t->WaitFor() == 3);
    CHECK(g.ran == 1);
    Free(t);
}

TEST_CASE("Free of a finished thread closes its handle at once") {
    WorkerThread* t = NewThreadWithExecute(ReturnSeven, nullptr);
    t->WaitFor();
    HANDLE copy = nullptr;
    REQUIRE(DuplicateHandle(GetCurrentProcess(), t->ThreadHandle, GetCurrentProcess(), &copy, 0,
                            FALSE, DUPLICATE_SAME_ACCESS));
    HANDLE original = t->ThreadHandle;
    bool destroyed = false;
    t->OnDestroy.Set(MarkDestroyed, &destroyed);
    Free(t);
    CHECK(destroyed);
    DWORD flags = 0;
    CHECK_FALSE(GetHandleInformation(original, &flags)); // closed
    DWORD code = 0;
    CHECK(GetExitCodeThread(copy, &code));
    CHECK(code == 7);
    CloseHandle(copy);
}

TEST_CASE("Free of a thread that never ran ends it without running the handler") {
    Gate g;
    WorkerThread* t = NewThread();
    t->OnExecute.Set(WaitAtGate, &g);
    bool destroyed = false;
    t->OnDestroy.Set(MarkDestroyed, &destroyed);
    LetNewThreadPark();
    Free(t);
    CHECK(destroyed);
    CHECK(g.ran == 0);
}

TEST_CASE("a raised count keeps the thread object through WaitFor") {
    WorkerThread* t = NewThreadWithExecute(ReturnSeven, nullptr);
    AddRef(t);
    CHECK(t->WaitFor() == 7);
    CHECK(t->RefCount == 2);
    Free(t);
    CHECK(t->RefCount == 0);
    Free(t);
}

TEST_CASE("FreeOnTerminate frees the object on its own thread") {
    Gate g;
    WorkerThread* t = NewThread();
    t->OnExecute.Set(WaitAtGate, &g);
    t->FreeOnTerminate = true;
    bool destroyed = false;
    t->OnDestroy.Set(MarkDestroyed, &destroyed);
    HANDLE copy = nullptr;
    DuplicateHandle(GetCurrentProcess(), t->ThreadHandle, GetCurrentProcess(), &copy, 0, FALSE,
                    DUPLICATE_SAME_ACCESS);
    t->Resume();
    SetEvent(g.release);
    CHECK(WaitForSingleObject(copy, 20000) == WAIT_OBJECT_0);
    CHECK(destroyed);
    CloseHandle(copy);
}

TEST_CASE("a thread that could not be created is answered quietly") {
    WorkerThread* t = NewThread();
    // Stand-in for a failed CreateThread: drop the real thread first.
    LetNewThreadPark();
    t->Terminate();
    WaitForSingleObject(t->ThreadHandle, INFINITE);
    CloseHandle(t->ThreadHandle);
    t->ThreadHandle = nullptr;
    t->Finished = false;
    t->Resume();
    CHECK(t->Suspended);
    CHECK(t->WaitFor() == 0xFFFFFFFF);
    Free(t);
}
