// One notification of the plug-in as the host reads it from the text mailbox
// after a posted click: "str#<bytes>#", "sts#<state>#" or "err#<text>#".
#pragma once

#include <string>

struct Notification {
    enum class Kind { Data, Status, Error, Other };
    Kind kind = Kind::Other;
    std::string body; // between the tag and the closing "#"; zero bytes kept
    std::string text; // the whole text, tag and closing "#" included
};

// Reads the mailbox that GetFile points at. A "str#" text may hold zero
// bytes; it ends at the first "#" followed by the terminating zero.
Notification ReadNotification(const char* mailbox);
