/* A host's use of comrelay.h in C: the types take functions of the DLL's
 * shapes, and the constants hold what the DLL sends and accepts. */
#include "comrelay.h"

#define CHECK(name, condition) typedef char name[(condition) ? 1 : -1]

static void COMRELAY_CALL NoArguments(void) {}
static int32_t COMRELAY_CALL Integer(void) {
    return 0;
}
static const char* COMRELAY_CALL Text(void) {
    return "";
}
static void COMRELAY_CALL TakeText(const char* text) {
    (void)text;
}
static void COMRELAY_CALL TakeInteger(int32_t value) {
    (void)value;
}
static void COMRELAY_CALL TakeWindow(HWND window) {
    (void)window;
}
static void COMRELAY_CALL Place(int32_t ignored, int32_t left, int32_t top, int32_t width,
                                int32_t height) {
    (void)ignored, (void)left, (void)top, (void)width, (void)height;
}

int UseHeader(void);
int UseHeader(void) {
    static const int32_t rates[COMRELAY_BAUD_RATE_COUNT] = COMRELAY_BAUD_RATES;
    static const int32_t bits[COMRELAY_DATA_BITS_COUNT] = COMRELAY_DATA_BITS;
    comrelay_sendstring_fn send = NoArguments;
    comrelay_GetData_fn getData = Integer;
    comrelay_GetFile_fn getFile = Text;
    comrelay_SetFile_fn setFile = TakeText;
    comrelay_SetData_fn setData = TakeInteger;
    comrelay_SetParentWindow_fn setParent = TakeWindow;
    comrelay_Draw_fn draw = Place;
    (void)send, (void)getData, (void)getFile, (void)setFile, (void)setData, (void)setParent;
    (void)draw;
    return rates[COMRELAY_BAUD_RATE_COUNT - 1] + bits[0] + COMRELAY_STOP_BITS_TWO;
}

/* A hex escape that swallowed the next character would shorten the text. */
CHECK(error_text_length, sizeof COMRELAY_ERROR_TEXT == COMRELAY_ERROR_TEXT_LENGTH + 1);
CHECK(error_text_prefix, sizeof COMRELAY_ERROR_PREFIX == COMRELAY_TAG_LENGTH + 1);
CHECK(data_prefix, sizeof COMRELAY_DATA_PREFIX == COMRELAY_TAG_LENGTH + 1);
CHECK(last_ordinal, COMRELAY_ORDINAL_SetFile == COMRELAY_EXPORT_COUNT);
