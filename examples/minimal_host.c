/* minimal_host.c: the smallest complete host of comrelay.dll. It loads the
 * DLL, gives it a window, opens a port, sends one line, prints every
 * notification the DLL posts, and closes the port again.
 *
 *     minimal_host [COMn [text]]        (default: COM1 and "hello")
 *
 * With a far end that echoes, the exit status is 0 once the line has come
 * back, 1 when the port did not open or the echo did not come, 2 when
 * comrelay.dll (looked for beside the program first) cannot be loaded.
 * Build it as a 32-bit Windows console program, for example:
 *     i686-w64-mingw32-gcc -Wall minimal_host.c -o minimal_host.exe
 */
#include <stdio.h>
#include <string.h>
#include <windows.h>

#include "comrelay.h"

static comrelay_SetParentWindow_fn SetParentWindow;
static comrelay_Draw_fn Draw;
static comrelay_SetFile_fn SetFile;
static comrelay_GetFile_fn GetFile;
static comrelay_setport_fn setport;
static comrelay_open_fn open;
static comrelay_sendstring_fn sendstring;
static comrelay_Close_fn Close;

static HWND window;
static char line[256];        /* what we send, and expect back */
static char received[65536];  /* what has come back so far */
static size_t receivedLength; /* received bytes may include zero bytes */
static int opened, closed, failed, echoed;

static void Print(const char* bytes, size_t n) {
    size_t i;
    for (i = 0; i < n; ++i) {
        unsigned char c = (unsigned char)bytes[i];
        if (c == '\r')
            printf("\\r");
        else if (c == '\n')
            printf("\\n");
        else if (c < 0x20 || c >= 0x7F || c == '\\')
            printf("\\x%02X", c);
        else
            putchar(c);
    }
    putchar('\n');
}

/* The click: the text mailbox holds a new notification. */
static void Fetch(void) {
    MSG queued;
    const char* text;
    size_t n;
    /* Every click still queued would read the same, newest text: take them
     * as one, before reading, so that none posted after GetFile is lost. */
    while (PeekMessageA(&queued, window, WM_LBUTTONDOWN, WM_LBUTTONUP, PM_REMOVE)) {
    }
    text = GetFile();
    if (strncmp(text, COMRELAY_DATA_PREFIX, COMRELAY_TAG_LENGTH) == 0) {
        /* Received bytes may hold zero bytes and "#": the text ends at the
         * first "#" that the terminating zero follows. That holds because
         * the DLL ends a batch right after any "#" that a zero byte follows
         * in the data, and sends the rest as the next text. */
        n = COMRELAY_TAG_LENGTH;
        while (!(text[n] == '#' && text[n + 1] == '\0'))
            ++n;
        printf("<- ");
        Print(text, n + 1);
        n -= COMRELAY_TAG_LENGTH;
        if (n > sizeof received - receivedLength) n = sizeof received - receivedLength;
        memcpy(received + receivedLength, text + COMRELAY_TAG_LENGTH, n);
        receivedLength += n;
        /* The line has come back when it is the last thing received (a
         * device may send other bytes first). */
        echoed = receivedLength >= strlen(line) &&
                 memcmp(received + receivedLength - strlen(line), line, strlen(line)) == 0;
        return;
    }
    printf("<- ");
    Print(text, strlen(text));
    if (strcmp(text, COMRELAY_STATUS_OPEN) == 0) opened = 1;
    if (strcmp(text, COMRELAY_STATUS_CLOSE) == 0) closed = 1;
    if (strcmp(text, COMRELAY_ERROR_TEXT) == 0) failed = 1;
}

static LRESULT CALLBACK WindowProc(HWND w, UINT message, WPARAM wp, LPARAM lp) {
    if (message == WM_LBUTTONDOWN) {
        Fetch();
        return 0;
    }
    return DefWindowProcA(w, message, wp, lp);
}

/* Runs the message loop (the clicks arrive through it) until *flag is set,
 * an error came, or ms milliseconds have passed. */
static int WaitFor(const int* flag, DWORD ms) {
    DWORD start = GetTickCount();
    MSG m;
    while (!*flag && !failed && GetTickCount() - start < ms) {
        if (PeekMessageA(&m, NULL, 0, 0, PM_REMOVE)) {
            TranslateMessage(&m);
            DispatchMessageA(&m);
        } else {
            MsgWaitForMultipleObjects(0, NULL, FALSE, 20, QS_ALLINPUT);
        }
    }
    return *flag;
}

/* Looks an export up by name into the pointer of the same name. The cast goes
 * through void (*)(void), which converts to any function pointer type. */
#define RESOLVE(name)                                                                              \
    ((name = (comrelay_##name##_fn)(void (*)(void))GetProcAddress(dll, #name)) != NULL)

int main(int argc, char** argv) {
    const char* port = argc > 1 ? argv[1] : "COM1";
    const char* text = argc > 2 ? argv[2] : "hello";
    static const int never = 0;
    WNDCLASSA wc;
    HMODULE dll;

    setvbuf(stdout, NULL, _IONBF, 0);
    dll = LoadLibraryA("comrelay.dll");
    if (!dll ||
        !(RESOLVE(SetParentWindow) && RESOLVE(Draw) && RESOLVE(SetFile) && RESOLVE(GetFile) &&
          RESOLVE(setport) && RESOLVE(open) && RESOLVE(sendstring) && RESOLVE(Close))) {
        fprintf(stderr, "minimal_host: cannot load comrelay.dll\n");
        return 2;
    }

    memset(&wc, 0, sizeof wc);
    wc.lpfnWndProc = WindowProc;
    wc.hInstance = GetModuleHandleA(NULL);
    wc.hbrBackground = (HBRUSH)(COLOR_BTNFACE + 1);
    wc.lpszClassName = "minimal_host";
    RegisterClassA(&wc);
    window = CreateWindowA("minimal_host", "minimal_host", WS_OVERLAPPEDWINDOW | WS_VISIBLE,
                           CW_USEDEFAULT, CW_USEDEFAULT, 280, 160, NULL, NULL, wc.hInstance, NULL);
    SetParentWindow(window);
    Draw(0, 10, 10, 231, 89); /* the clicks arrive at (10, 10) */
    /* The component moves into the window a moment later; let it. */
    WaitFor(&never, 300);

    SetFile(port);
    setport();
    printf("-> open %s\n", port);
    open();
    if (WaitFor(&opened, 5000)) {
        snprintf(line, sizeof line, "%s\r\n", text);
        printf("-> send ");
        Print(line, strlen(line));
        SetFile(line);
        sendstring();
        WaitFor(&echoed, 5000);
        printf("-> Close\n");
        Close();
        WaitFor(&closed, 5000);
    }
    printf(echoed ? "the line came back\n" : "no echo\n");
    DestroyWindow(window); /* the component goes with it */
    return echoed ? 0 : 1;
}
