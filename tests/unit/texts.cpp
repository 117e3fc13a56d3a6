// Text storage and the three text helpers.
#include <doctest/doctest.h>

#include "framework/Text.h"
#include "framework/TextHelpers.h"
#include <cstring>

TEST_CASE("Text holds any bytes, counts them and ends with a zero") {
    Text empty;
    CHECK(empty.Length() == 0);
    CHECK(empty.Data() != nullptr);
    CHECK(empty.Data()[0] == 0);
    CHECK(Text(nullptr).Length() == 0);

    const char bytes[] = {'a', 0, char(0xFF), char(0x80), 'z'};
    Text t(bytes, 5);
    CHECK(t.Length() == 5);
    CHECK(std::memcmp(t.Data(), bytes, 5) == 0);
    CHECK(t.Data()[5] == 0);

    Text copy = t; // shared
    copy.MutableData()[0] = 'b';
    CHECK(t[0] == 'a');
    CHECK(copy[0] == 'b');

    Text grown = Text("str#") + t + Text("#");
    CHECK(grown.Length() == 10);
    CHECK(grown[4] == 'a');
    CHECK(grown[5] == 0);
    CHECK(grown[9] == '#');
    CHECK(grown.Data()[10] == 0);

    grown.Append(grown); // from its own storage
    CHECK(grown.Length() == 20);
    CHECK(grown[10] == 's');

    grown.SetLength(3);
    CHECK(grown == Text("str"));
    CHECK(grown.Data()[3] == 0);
    grown.SetLength(0);
    CHECK(grown.IsEmpty());
}

TEST_CASE("StrToIntPrefix reads a signed prefix and wraps on overflow") {
    struct Case {
        const char* text;
        int value;
    } cases[] = {{"12ab", 12}, {"", 0},      {"-", 0},          {" 5", 0},
                 {"+7", 7},    {"-15", -15}, {"4294967297", 1}, {"-2147483648", -2147483647 - 1}};
    for (const Case& c : cases) {
        CAPTURE(c.text);
        CHECK(StrToIntPrefix(Text(c.text)) == c.value);
    }
}

TEST_CASE("UpperCaseAscii copies and touches only a-z") {
    Text source("com1\xE9z{");
    Text upper = UpperCaseAscii(source);
    CHECK(upper == Text("COM1\xE9Z{"));
    CHECK(source == Text("com1\xE9z{"));
}

TEST_CASE("FormatText formats through wvsprintfA") {
    CHECK(FormatText("COM%d", {3}) == Text("COM3"));
    CHECK(FormatText("%s-%d", {Text("x"), -4}) == Text("x--4"));
}
