// A host's use of comrelay.h in C++: the same declarations, under C++'s
// stricter conversions, and the tables usable as constant expressions.
#include "comrelay.h"

namespace {

void COMRELAY_CALL NoArguments() {}
int32_t COMRELAY_CALL Integer() {
    return 0;
}
const char* COMRELAY_CALL Text() {
    return "";
}
void COMRELAY_CALL Place(int32_t, int32_t, int32_t, int32_t, int32_t) {}

const int32_t rates[COMRELAY_BAUD_RATE_COUNT] = COMRELAY_BAUD_RATES;
const int32_t bits[COMRELAY_DATA_BITS_COUNT] = COMRELAY_DATA_BITS;
static_assert(sizeof COMRELAY_ERROR_TEXT == COMRELAY_ERROR_TEXT_LENGTH + 1, "error text bytes");
static_assert(sizeof COMRELAY_STATUS_OPEN == 10 && sizeof COMRELAY_STATUS_CLOSE == 11,
              "status texts");
static_assert(COMRELAY_STOP_BITS_ONE_AND_HALF == 2, "stop-bit codes");

} // namespace

int UseHeader();
int UseHeader() {
    comrelay_Close_fn close = NoArguments;
    comrelay_HasIntDlg_fn hasDialog = Integer;
    comrelay_GetInfo_fn info = Text;
    comrelay_Draw_fn draw = Place;
    (void)close, (void)hasDialog, (void)info, (void)draw;
    return rates[0] + bits[0];
}
