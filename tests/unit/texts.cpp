// Text storage and the three text helpers.
#include <doctest/doctest.h>

#include "framework/Text.h"
#include "framework/TextHelpers.h"
#include <cstring>
#include <string>

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

namespace {

// One way of changing a text, and what it makes of "hello".
struct Change {
    const char* name;
    void (*apply)(Text& t);
    const char* result;
    int resultLength;
};

const Change Changes[] = {
    {"Append bytes", [](Text& t) { t.Append("!?", 2); }, "hello!?", 7},
    {"Append a text", [](Text& t) { t.Append(Text("xyz")); }, "helloxyz", 8},
    {"Append a zero byte", [](Text& t) { t.Append("", 1); }, "hello\0", 6},
    {"SetLength shorter", [](Text& t) { t.SetLength(2); }, "he", 2},
    {"SetLength same", [](Text& t) { t.SetLength(5); }, "hello", 5},
    {"SetLength longer", [](Text& t) { t.SetLength(8); }, "hello\0\0\0", 8},
    {"SetLength zero", [](Text& t) { t.SetLength(0); }, "", 0},
    {"MutableData", [](Text& t) { t.MutableData()[1] = 'a'; }, "hallo", 5},
    {"assignment", [](Text& t) { t = Text("other"); }, "other", 5},
    {"move assignment", [](Text& t) { t = Text("moved!"); }, "moved!", 6},
    {"self-assignment",
     [](Text& t) {
         Text& same = t;
         t = same;
     },
     "hello", 5},
};

// Byte for byte, the zero that follows the last counted byte included.
bool Holds(const Text& t, const char* bytes, int length) {
    return t.Length() == length && std::memcmp(t.Data(), bytes, length + 1) == 0;
}

// "hello" in a block of its exact size, or in one with room to spare (as
// appending leaves it), so that a change in place is possible.
Text Hello(bool withRoom) {
    if (!withRoom) return Text("hello");
    Text t;
    t.Append("hel", 3);
    t.Append("lo", 2);
    return t;
}

} // namespace

TEST_CASE("every change to a text leaves the texts that share its bytes alone") {
    for (bool withRoom : {false, true})
        for (const Change& c : Changes) {
            std::string name = c.name;
            CAPTURE(name);
            CAPTURE(withRoom);
            // Changed alone.
            Text alone = Hello(withRoom);
            c.apply(alone);
            CHECK(Holds(alone, c.result, c.resultLength));
            // The copy changes, the original stays.
            Text a = Hello(withRoom);
            Text b = a;
            c.apply(b);
            CHECK(Holds(b, c.result, c.resultLength));
            CHECK(Holds(a, "hello", 5));
            // The original changes, the copy stays.
            Text x = Hello(withRoom);
            Text y = x;
            c.apply(x);
            CHECK(Holds(x, c.result, c.resultLength));
            CHECK(Holds(y, "hello", 5));
        }
}

TEST_CASE("a text's growth size is worked out without overflow") {
    struct Case {
        long long needed;
        int capacity; // -1: more than a text can hold
    } cases[] = {
        {1, 1},
        {10, 15},
        {1000, 1500},
        {1000000000, 1500000000},
        {1500000000, Text::MaxLength}, // half again would pass the limit
        {Text::MaxLength, Text::MaxLength},
        {Text::MaxLength + 1LL, -1},
        {0x7FFFFFFFLL + 5, -1}, // what two int lengths add up to
    };
    for (const Case& c : cases) {
        CAPTURE(c.needed);
        CHECK(Text::GrowthCapacity(c.needed) == c.capacity);
    }
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
