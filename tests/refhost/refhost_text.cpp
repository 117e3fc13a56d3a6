// The reference host's text handling: escaping and hex for the transcript,
// reading the mailbox after a click, and the command line.
#include <doctest/doctest.h>

#include "host/ByteText.h"
#include "host/Notification.h"
#include "host/Options.h"

#include <string>
#include <vector>

using namespace std::string_literals;

TEST_CASE("escaping keeps printable ASCII and shows every other byte") {
    struct Case {
        std::string bytes, shown;
    } cases[] = {
        {"hello", "hello"},      {"a\r\n", "a\\r\\n"}, {"\0"s, "\\x00"},
        {"caf\xE9", "caf\\xE9"}, {"a\\b", "a\\\\b"},   {"\t#\x7F\x80", "\\t#\\x7F\\x80"},
    };
    for (const Case& c : cases) {
        CAPTURE(c.shown);
        CHECK(EscapeBytes(c.bytes) == c.shown);
        std::string back;
        CHECK(UnescapeText(c.shown, back));
        CHECK(back == c.bytes);
    }
    std::string all;
    for (int i = 0; i < 256; ++i)
        all += static_cast<char>(i);
    std::string back;
    REQUIRE(UnescapeText(EscapeBytes(all), back));
    CHECK(back == all);
}

TEST_CASE("broken escapes are refused") {
    for (const char* text : {"\\", "\\x4", "\\xg0", "\\q", "a\\"}) {
        std::string shown = text;
        CAPTURE(shown);
        std::string bytes = "unchanged";
        CHECK_FALSE(UnescapeText(text, bytes));
        CHECK(bytes == "unchanged");
    }
}

TEST_CASE("hex in and out") {
    CHECK(HexBytes("hi\r\n\0\xE9"s) == "68 69 0D 0A 00 E9");
    CHECK(HexBytes("") == "");
    struct Case {
        const char* text;
        bool ok;
        std::string bytes;
    } cases[] = {
        {"68 69 0D 0A", true, "hi\r\n"},
        {"68690d0a", true, "hi\r\n"},
        {"68:69,0d-0a", true, "hi\r\n"},
        {"", true, ""},
        {"6", false, ""},
        {"6 8", false, ""},
        {"zz", false, ""},
        {"0x41", false, ""},
    };
    for (const Case& c : cases) {
        std::string shown = c.text;
        CAPTURE(shown);
        std::string bytes;
        CHECK(ParseHexBytes(c.text, bytes) == c.ok);
        if (c.ok) CHECK(bytes == c.bytes);
    }
}

TEST_CASE("a fetched mailbox: data with zero bytes, status, error, anything else") {
    using Kind = Notification::Kind;
    struct Case {
        std::string storage; // as the plug-in keeps it, terminating zero included
        Kind kind;
        std::string body;
    } cases[] = {
        {"str#hello\r\n#\0"s, Kind::Data, "hello\r\n"},
        {"str#a\0b#\0"s, Kind::Data, "a\0b"s},
        {"str#\0#\0"s, Kind::Data, "\0"s},
        {"str##\0"s, Kind::Data, ""},
        {"str#a#b#\0"s, Kind::Data, "a#b"},
        {"sts#Open#\0"s, Kind::Status, "Open"},
        {"sts#Close#\0"s, Kind::Status, "Close"},
        {"err#\xEE\xF8\xE8\xE1\xEA\xE0 \xEF\xEE\xF0\xF2\xE0#\0"s, Kind::Error,
         "\xEE\xF8\xE8\xE1\xEA\xE0 \xEF\xEE\xF0\xF2\xE0"},
        {"COM3\0"s, Kind::Other, ""},
        {"sts#Open\0"s, Kind::Other, ""},
        {"\0"s, Kind::Other, ""},
    };
    for (const Case& c : cases) {
        std::string shown = EscapeBytes(c.storage);
        CAPTURE(shown);
        // Room after the text, as a heap block has, so a scan past the end
        // would be caught by the comparison rather than by a fault.
        std::string block = c.storage + std::string(64, 'x');
        Notification n = ReadNotification(block.data());
        CHECK(n.kind == c.kind);
        CHECK(n.body == c.body);
    }
    CHECK(ReadNotification(nullptr).kind == Kind::Other);
}

namespace {
std::vector<Step::Kind> Kinds(const Options& o) {
    std::vector<Step::Kind> k;
    for (const Step& s : o.steps)
        k.push_back(s.kind);
    return k;
}
} // namespace

TEST_CASE("the command line becomes steps in order") {
    using K = Step::Kind;
    Options o = ParseOptions({"--port",      "com3",  "--baud",    "19200", "--data-bits", "7",
                              "--stop-bits", "1.5",   "--send",    "hi",    "--eol",       "none",
                              "--send-hex",  "41 42", "--timeout", "900",   "--wait-for",  "x\\x00",
                              "--wait",      "10",    "--close",   "--exit"});
    REQUIRE(o.error.empty());
    CHECK(o.exit);
    CHECK(Kinds(o) == std::vector<K>{K::Port, K::BaudRate, K::DataBits, K::StopBits, K::Send,
                                     K::Send, K::WaitFor, K::Wait, K::Close});
    CHECK(o.steps[0].text == "COM3");
    CHECK(o.steps[1].value == 19200);
    CHECK(o.steps[3].value == 2); // 1.5 stop bits is the plug-in's code 2
    CHECK(o.steps[4].text == "hi\r\n");
    CHECK(o.steps[5].text == "AB"); // hex goes as it is, no line ending
    CHECK(o.steps[6].text == "x\0"s);
    CHECK(o.steps[6].value == 900);
    CHECK(o.steps[4].value == 5000); // a send on a closed port opens it, with the default limit
    CHECK(ParseOptions({}).steps.empty());
    CHECK(ParseOptions({"--dll", "x.dll"}).dll == "x.dll");
}

TEST_CASE("a wrong command line is refused as a whole") {
    const std::vector<std::vector<std::string>> wrong = {
        {"--baud", "230400"},  {"--baud", "fast"}, {"--data-bits", "9"}, {"--stop-bits", "3"},
        {"--port", "COM257"},  {"--port", "COM0"}, {"--send"},           {"--send-hex", "00 41"},
        {"--send", "a\\x00b"}, {"--eol", "crcr"},  {"--wait", "-1"},     {"--wait-for", ""},
        {"--frobnicate"},
    };
    for (const auto& args : wrong) {
        CAPTURE(args[0]);
        CHECK_FALSE(ParseOptions(args).error.empty());
    }
}
