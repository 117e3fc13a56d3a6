// Notices (open, close, line errors) against received data that the host has
// been told of but has not fetched yet: nothing announced is overwritten, and
// everything arrives once, in the order it happened; an error storm folds.
#include <doctest/doctest.h>

#include "plugin/OpenHost.h"

namespace {

const std::string ErrorText = "err#\xEE\xF8\xE8\xE1\xEA\xE0 \xEF\xEE\xF0\xF2\xE0#";

// Lets a batch arrive and be announced, without the host fetching it.
void AnnounceUnfetched(OpenHost& h, const std::string& bytes) {
    h.host.answerClicks = false;
    int before = h.host.clicks;
    REQUIRE(h.peer.Write(1, bytes));
    REQUIRE(h.host.PumpUntil([&] { return h.host.clicks > before; }, 5000));
    h.host.Pump(150);
}

// The host answers every click from here on; returns once nothing more comes.
std::vector<std::string> AnswerAll(OpenHost& h) {
    h.host.answerClicks = true;
    h.host.Fetch();
    for (size_t seen = 0; seen != h.host.received.size();) {
        seen = h.host.received.size();
        h.host.Pump(400);
    }
    return h.host.Texts();
}

} // namespace

TEST_CASE("line errors while a batch waits unfetched come after it, folded into one") {
    OpenHost h(115200);
    AnnounceUnfetched(h, "ABC");
    for (const char* kind : {"frame", "parity", "overrun"}) {
        REQUIRE(h.peer.Error(1, kind));
        h.host.Pump(200);
    }
    CHECK(h.host.clicks == 1);
    CHECK(AnswerAll(h) == std::vector<std::string>{"str#ABC#", ErrorText});
    CHECK(h.host.clicks == 2);
}

TEST_CASE("Close while a batch waits unfetched: the batch, then sts#Close#") {
    OpenHost h(115200);
    AnnounceUnfetched(h, "XYZ");
    h.host.plugin.Call("Close");
    h.host.Pump(200);
    CHECK(h.host.clicks == 1);
    CHECK(AnswerAll(h) == std::vector<std::string>{"str#XYZ#", "sts#Close#"});
}

TEST_CASE("the host's own SetFile frees the mailbox for a waiting notice, as a fetch does") {
    OpenHost h(115200);
    AnnounceUnfetched(h, "mine?");
    h.host.plugin.Call("Close");
    h.host.plugin.SetFile("the host's text");
    h.host.answerClicks = true;
    REQUIRE(h.host.WaitNotifications(1));
    h.host.Pump(300);
    CHECK(h.host.Texts() == std::vector<std::string>{"sts#Close#"});
}

TEST_CASE("an error raised just before Close never comes after sts#Close#") {
    SUBCASE("nothing unfetched") {
        OpenHost h(115200);
        REQUIRE(h.peer.Error(1, "frame"));
        Sleep(300); // the event thread has seen it; the host has not
        h.host.plugin.Call("Close");
        h.host.Pump(400);
        std::vector<std::string> texts = h.host.Texts();
        REQUIRE(!texts.empty());
        CHECK(texts.back() == "sts#Close#");
    }
    SUBCASE("a batch unfetched: the error comes between it and the close") {
        OpenHost h(115200);
        AnnounceUnfetched(h, "data");
        REQUIRE(h.peer.Error(1, "frame"));
        Sleep(300);
        h.host.plugin.Call("Close");
        CHECK(AnswerAll(h) == std::vector<std::string>{"str#data#", ErrorText, "sts#Close#"});
    }
}

TEST_CASE("batches and notices interleaved: each arrives once, in order") {
    OpenHost h(115200);
    std::vector<std::string> expected;
    for (int round = 0; round < 3; ++round) {
        CAPTURE(round);
        std::string a = "A" + std::to_string(round), b = "B" + std::to_string(round);
        AnnounceUnfetched(h, a);
        REQUIRE(h.peer.Error(1, "frame"));
        h.host.Pump(200);
        h.host.plugin.Call("Close");
        h.host.plugin.Call("open");
        REQUIRE(h.peer.Write(1, b)); // after the open: waits behind both notices
        h.host.Pump(200);
        CHECK(h.host.received.empty());
        std::vector<std::string> want = {"str#" + a + "#", ErrorText, "sts#Close#", "sts#Open#",
                                         "str#" + b + "#"};
        CHECK(AnswerAll(h) == want);
        h.host.received.clear();
        h.host.clicks = 0;
    }
}

TEST_CASE("with nothing unfetched, each notice replaces the mailbox as before") {
    OpenHost h(115200);
    // setport to another line on an open port: both clicks read the open.
    REQUIRE(h.peer.Attach(2));
    h.host.answerClicks = false;
    h.host.plugin.SetFile("COM2");
    h.host.plugin.Call("setport");
    CHECK(std::string(h.host.plugin.GetFile()) == "sts#Open#");
    h.host.Pump(200);
    CHECK(h.host.clicks == 2);
    h.host.plugin.Call("Close");
    CHECK(std::string(h.host.plugin.GetFile()) == "sts#Close#");
    h.host.plugin.Call("Close"); // already closed: nothing
    h.host.Pump(200);
    CHECK(h.host.clicks == 3);
}

TEST_CASE("an error storm: err# folds to about one per relay interval, and the bytes still come") {
    OpenHost h(115200);
    const long total = 5000;
    const int seed = 5;
    DWORD start = GetTickCount();
    REQUIRE(h.peer.Storm(1, true)); // every look at the line finds a new framing error
    REQUIRE(h.peer.StreamRate(1, total, 2000, seed));
    h.host.Pump(2500);
    REQUIRE(h.peer.Storm(1, false));
    REQUIRE(h.peer.StreamWait(1, 20000).done);
    std::string data;
    int errors = 0;
    auto collect = [&] {
        data.clear();
        errors = 0;
        for (const Notification& n : h.host.received) {
            if (n.text == ErrorText) ++errors;
            if (n.bytes.rfind("str#", 0) == 0) data += n.bytes.substr(4, n.bytes.size() - 5);
        }
        return data.size() >= size_t(total);
    };
    CHECK(h.host.PumpUntil(collect, 20000));
    DWORD spent = GetTickCount() - start;
    CHECK(errors >= 2);
    CHECK(errors <= int(2 * spent / 50) + 10); // the line failed at every look: thousands
    REQUIRE(data.size() == size_t(total));
    long wrong = 0;
    for (long i = 0; i < total; ++i)
        wrong += static_cast<unsigned char>(data[i]) != PeerClient::PatternByte(seed, i);
    CHECK(wrong == 0);
}
