// WorkerThread: creation, resuming, waiting and teardown of one Win32 thread.
//
// Threads: the creating thread calls every operation here; the new thread runs
// only Execute (and, with FreeOnTerminate, the Free at its end). The worker
// hands its result over through ExitResult and Finished, which the creator
// reads after WaitFor has seen the thread end.
#include "framework/WorkerThread.h"

namespace {

DWORD WINAPI ThreadStart(void* parameter) {
    return static_cast<WorkerThread*>(parameter)->Execute();
}

} // namespace

WorkerThread* NewThread() {
    // msvcrt sets up its per-thread data on first use, so a thread made by
    // CreateThread needs no run-time preparation.
    WorkerThread* t = NewObject<WorkerThread>();
    t->Suspended = true;
    t->ThreadHandle = CreateThread(nullptr, 0, ThreadStart, t, CREATE_SUSPENDED, &t->ThreadId);
    return t;
}

WorkerThread* NewThreadWithExecute(EventSlot<DWORD()>::HandlerFn handler, void* context) {
    WorkerThread* t = NewThread();
    t->OnExecute.Set(handler, context);
    t->Resume();
    return t;
}

DWORD WorkerThread::Execute() {
    DWORD result = OnExecute(this);
    // Read before Finished: once it is set the creator may free this object.
    bool freeSelf = FreeOnTerminate;
    ExitResult = result;
    Finished = true;
    if (freeSelf) Free(this);
    return result;
}

void WorkerThread::Resume() {
    Suspended = false;
    DWORD previous = ResumeThread(ThreadHandle);
    // Above 1: still suspended, or no thread at all (the call answers all ones).
    if (previous > 1) {
        Suspended = true;
        return;
    }
    OnResume(this);
}

void WorkerThread::Terminate() {
    if (ThreadHandle) TerminateThread(ThreadHandle, 0);
    Finished = true;
}

DWORD WorkerThread::WaitFor() {
    // Keeps a Free on another path from destroying the object mid-wait.
    AddRef(this);
    DWORD code = 0xFFFFFFFF;
    if (ThreadHandle) {
        WaitForSingleObject(ThreadHandle, INFINITE);
        GetExitCodeThread(ThreadHandle, &code);
    }
    Free(this);
    return code;
}

void WorkerThread::Destroy() {
    // Destruction is decided; the raised count keeps the Free inside WaitFor
    // from starting it a second time.
    AddRef(this);
    if (!Finished) {
        Terminate();
        WaitFor();
    }
    if (ThreadHandle) CloseHandle(ThreadHandle);
    ThreadHandle = nullptr;
    BaseObject::Destroy();
}
