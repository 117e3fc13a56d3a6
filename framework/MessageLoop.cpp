// Single-message processing and the drain-the-queue loop of the calling thread.
#include "framework/MessageLoop.h"

#include "framework/WindowObject.h"

bool QuitReceived = false;
int QuitExitCode = 0;

bool ProcessMessage(WindowObject* window) {
    MSG message;
    if (!PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) return false;
    if (message.message == WM_QUIT) {
        // Taken and noted, not dispatched. It ends the run: whatever is
        // queued behind it waits for the owner of the loop, who hands the
        // quit on, rather than being dispatched past every hook.
        QuitReceived = true;
        QuitExitCode = static_cast<int>(message.wParam);
        return false;
    }
    if (!(window && window->MessageFilter && window->MessageFilter(window, message))) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    // A WM_NULL ends a ProcessMessages run although it was taken.
    return LOWORD(message.message) != 0;
}

void ProcessMessages(WindowObject* window) {
    while (ProcessMessage(window)) {
    }
}

void WaitForMessage() {
    // QS_ALLINPUT as Windows 7 defines it (the build targets Windows 7): the
    // later headers' QS_TOUCH and QS_POINTER make this wait fail at once there.
    MsgWaitForMultipleObjectsEx(0, nullptr, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
}

bool TakeQuit() {
    bool taken = QuitReceived;
    QuitReceived = false;
    return taken;
}

void HandBackQuit() {
    PostQuitMessage(QuitExitCode);
}
