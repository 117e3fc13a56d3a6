// WorkerThread: one Win32 thread wrapped in a BaseObject. It is created
// suspended so that its slots can be filled before it runs.
#pragma once

#include "framework/BaseObject.h"
#include <windows.h>

class WorkerThread : public BaseObject {
  public:
    // Ends a thread that has not finished (TerminateThread), waits for it and
    // closes the thread handle.
    void Destroy() override;
    // Runs on the new thread: OnExecute, then records the result.
    virtual DWORD Execute();

    // Resumes the thread; OnResume runs when the thread is running afterwards.
    // Harmless on a running thread (ResumeThread answers 0).
    void Resume();
    // Kills the thread wherever it is, without cleanup.
    void Terminate();
    // Waits without limit for the thread to end; all ones when there is none.
    DWORD WaitFor();

    // Written by the creating thread only.
    bool Suspended = false;
    // Written by the worker as it ends; read by the creator (ordered by
    // WaitFor, or read as a hint in Destroy).
    volatile bool Finished = false;
    HANDLE ThreadHandle = nullptr; // null when CreateThread failed
    DWORD ThreadId = 0;
    EventSlot<void()> OnResume;
    EventSlot<DWORD()> OnExecute;
    bool FreeOnTerminate = false;
    volatile DWORD ExitResult = 0;
};

// A new thread object, suspended.
WorkerThread* NewThread();
// A new thread that runs handler(context, thread) at once.
WorkerThread* NewThreadWithExecute(EventSlot<DWORD()>::HandlerFn handler, void* context);
