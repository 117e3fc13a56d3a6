/* comrelay.h: what a host needs to drive comrelay.dll from C or C++.
 *
 * The DLL exports 29 plain C functions (ordinals 1 to 29, GetData twice) and
 * nothing else; look them up with GetProcAddress and call them through the
 * pointer types below. Every export uses the C calling convention: the caller
 * removes the arguments.
 *
 * Mailboxes and clicks. The DLL keeps two mailboxes, an integer (SetData,
 * GetData) and a text (SetFile, GetFile). The serial exports take no
 * arguments: SetData(19200) then setbaudrate() sets a value, getbaudrate()
 * then GetData() reads it back; SetFile("COM3") then setport(), and
 * SetFile(text) then sendstring(), go the same way. To tell the host about
 * received bytes or a port that opened, closed or failed, the DLL writes a
 * text into the text mailbox and posts WM_LBUTTONDOWN and WM_LBUTTONUP into
 * the window given to SetParentWindow, at the top-left corner last given to
 * Draw. The host answers the click by calling GetFile. Answer queued clicks
 * before calling an export that replaces the text mailbox (SetFile, setport,
 * getport, open, Close): they all read the newest text.
 */
#ifndef COMRELAY_H
#define COMRELAY_H

#include <stdint.h>
#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

#define COMRELAY_CALL __cdecl

/* The export table, by ordinal. */
enum comrelay_ordinal {
    COMRELAY_ORDINAL_Close = 1,
    COMRELAY_ORDINAL_open = 2,
    COMRELAY_ORDINAL_getport = 3,
    COMRELAY_ORDINAL_setport = 4,
    COMRELAY_ORDINAL_getstring = 5,
    COMRELAY_ORDINAL_sendstring = 6,
    COMRELAY_ORDINAL_GetData = 7,
    COMRELAY_ORDINAL_senddata = 8,
    COMRELAY_ORDINAL_getparity = 9,
    COMRELAY_ORDINAL_setparity = 10,
    COMRELAY_ORDINAL_getstopbit = 11,
    COMRELAY_ORDINAL_setstopbit = 12,
    COMRELAY_ORDINAL_getdatabit = 13,
    COMRELAY_ORDINAL_setdatabit = 14,
    COMRELAY_ORDINAL_getbaudrate = 15,
    COMRELAY_ORDINAL_setbaudrate = 16,
    COMRELAY_ORDINAL_Draw = 17,
    COMRELAY_ORDINAL_SetParentWindow = 18,
    COMRELAY_ORDINAL_CreateObject = 19,
    COMRELAY_ORDINAL_Interface = 20,
    COMRELAY_ORDINAL_HasIntDlg = 21,
    COMRELAY_ORDINAL_GetInfo = 22,
    COMRELAY_ORDINAL_GetShortInfo = 23,
    COMRELAY_ORDINAL_Copyright = 24,
    COMRELAY_ORDINAL_SetPath = 25,
    COMRELAY_ORDINAL_GetData2 = 26, /* the same function as GetData */
    COMRELAY_ORDINAL_SetData = 27,
    COMRELAY_ORDINAL_GetFile = 28,
    COMRELAY_ORDINAL_SetFile = 29
};
#define COMRELAY_EXPORT_COUNT 29

/* One pointer type per export, named after it. */
typedef void(COMRELAY_CALL* comrelay_Close_fn)(void);       /* close the port */
typedef void(COMRELAY_CALL* comrelay_open_fn)(void);        /* open the port */
typedef void(COMRELAY_CALL* comrelay_getport_fn)(void);     /* text mailbox := "COMn" */
typedef void(COMRELAY_CALL* comrelay_setport_fn)(void);     /* port := text mailbox */
typedef void(COMRELAY_CALL* comrelay_getstring_fn)(void);   /* no effect */
typedef void(COMRELAY_CALL* comrelay_sendstring_fn)(void);  /* write the text mailbox */
typedef int32_t(COMRELAY_CALL* comrelay_GetData_fn)(void);  /* the integer mailbox */
typedef void(COMRELAY_CALL* comrelay_senddata_fn)(void);    /* no effect */
typedef void(COMRELAY_CALL* comrelay_getparity_fn)(void);   /* no effect */
typedef void(COMRELAY_CALL* comrelay_setparity_fn)(void);   /* no effect */
typedef void(COMRELAY_CALL* comrelay_getstopbit_fn)(void);  /* integer mailbox := code */
typedef void(COMRELAY_CALL* comrelay_setstopbit_fn)(void);  /* code := integer mailbox */
typedef void(COMRELAY_CALL* comrelay_getdatabit_fn)(void);  /* integer mailbox := 5..8 */
typedef void(COMRELAY_CALL* comrelay_setdatabit_fn)(void);  /* 5..8 := integer mailbox */
typedef void(COMRELAY_CALL* comrelay_getbaudrate_fn)(void); /* integer mailbox := rate */
typedef void(COMRELAY_CALL* comrelay_setbaudrate_fn)(void); /* rate := integer mailbox */
/* The first argument is ignored; the rest place the component in the client
 * area of the window given to SetParentWindow. */
typedef void(COMRELAY_CALL* comrelay_Draw_fn)(int32_t ignored, int32_t left, int32_t top,
                                              int32_t width, int32_t height);
/* The component moves into the window about 200 ms later: keep the window
 * alive at least that long. */
typedef void(COMRELAY_CALL* comrelay_SetParentWindow_fn)(HWND window);
typedef int32_t(COMRELAY_CALL* comrelay_CreateObject_fn)(void); /* always 0 */
typedef int32_t(COMRELAY_CALL* comrelay_Interface_fn)(void);    /* runs the settings dialog */
typedef int32_t(COMRELAY_CALL* comrelay_HasIntDlg_fn)(void);    /* always 1 */
typedef const char*(COMRELAY_CALL* comrelay_GetInfo_fn)(void);
typedef const char*(COMRELAY_CALL* comrelay_GetShortInfo_fn)(void);
typedef const char*(COMRELAY_CALL* comrelay_Copyright_fn)(void);
typedef void(COMRELAY_CALL* comrelay_SetPath_fn)(const char* path); /* kept, never used */
typedef void(COMRELAY_CALL* comrelay_SetData_fn)(int32_t value);
/* Never null; valid until the text mailbox next changes. */
typedef const char*(COMRELAY_CALL* comrelay_GetFile_fn)(void);
/* Copies the text up to its first zero byte: a zero byte cannot be sent. */
typedef void(COMRELAY_CALL* comrelay_SetFile_fn)(const char* text);

/* Notifications, read with GetFile after a click. A data text is "str#", the
 * received bytes unchanged, then "#". The bytes may hold zero bytes and "#",
 * so the text ends at the first "#" after "str#" that the terminating zero
 * follows. That is its true end: the DLL ends a batch right after any "#"
 * that a zero byte follows in the data, and the rest comes as the next
 * text, so the data texts joined are the received bytes exactly. */
#define COMRELAY_TAG_LENGTH 4
#define COMRELAY_DATA_PREFIX "str#"
#define COMRELAY_STATUS_PREFIX "sts#"
#define COMRELAY_ERROR_PREFIX "err#"
#define COMRELAY_STATUS_OPEN "sts#Open#"
#define COMRELAY_STATUS_CLOSE "sts#Close#"
/* The port failed to open, or a line error: "port error" in Russian,
 * Windows-1251, 17 bytes in all. */
#define COMRELAY_ERROR_TEXT "err#\xEE\xF8\xE8\xE1\xEA\xE0\x20\xEF\xEE\xF0\xF2\xE0#"
#define COMRELAY_ERROR_TEXT_LENGTH 17

/* The values setbaudrate and setdatabit take, and getbaudrate and getdatabit
 * give; anything else is ignored. Use as an initializer:
 *     static const int32_t rates[COMRELAY_BAUD_RATE_COUNT] = COMRELAY_BAUD_RATES; */
#define COMRELAY_BAUD_RATE_COUNT 15
#define COMRELAY_BAUD_RATES                                                                        \
    {                                                                                              \
        110, 300, 600, 1200, 2400, 4800, 9600, 14400, 19200, 38400, 56000, 57600, 115200, 128000,  \
            256000                                                                                 \
    }
#define COMRELAY_DATA_BITS_COUNT 4
#define COMRELAY_DATA_BITS                                                                         \
    { 5, 6, 7, 8 }

/* setstopbit and getstopbit use a code, not a count: 2 is one and a half. */
enum comrelay_stop_bits {
    COMRELAY_STOP_BITS_ONE = 1,
    COMRELAY_STOP_BITS_ONE_AND_HALF = 2,
    COMRELAY_STOP_BITS_TWO = 3
};

#ifdef __cplusplus
}
#endif

#endif /* COMRELAY_H */
