// Splitting a fetched mailbox text into its tag and body.
#include "host/Notification.h"

#include <cstring>
#include <windows.h>

#include "comrelay.h"

namespace {

// A data text ends at the first "#" then zero: the plug-in ends a batch right
// after any "#" that a zero byte follows in the data.
// A text that lacks the pair must not walk the host off the end of readable
// memory: the scan stops where the committed, readable pages end.
size_t ReadableFrom(const char* p) {
    size_t total = 0;
    const char* at = p;
    MEMORY_BASIC_INFORMATION info;
    while (VirtualQuery(at, &info, sizeof info) == sizeof info && info.State == MEM_COMMIT &&
           !(info.Protect & (PAGE_NOACCESS | PAGE_GUARD)) && total < (64u << 20)) {
        const char* end = static_cast<const char*>(info.BaseAddress) + info.RegionSize;
        total += static_cast<size_t>(end - at);
        at = end;
    }
    return total;
}

} // namespace

Notification ReadNotification(const char* mailbox) {
    Notification n;
    if (!mailbox) return n;
    if (std::strncmp(mailbox, COMRELAY_DATA_PREFIX, COMRELAY_TAG_LENGTH) == 0) {
        size_t readable = ReadableFrom(mailbox);
        const char* end = mailbox + 4;
        const char* last = mailbox + (readable >= 2 ? readable - 2 : 0);
        while (end < last && !(end[0] == '#' && end[1] == 0))
            ++end;
        if (end < last && end[0] == '#' && end[1] == 0) {
            n.kind = Notification::Kind::Data;
            n.text.assign(mailbox, end + 1);
            n.body.assign(mailbox + 4, end);
            return n;
        }
    }
    n.text = mailbox;
    size_t len = n.text.size();
    bool closed = len >= 5 && n.text[len - 1] == '#';
    if (closed && n.text.compare(0, COMRELAY_TAG_LENGTH, COMRELAY_STATUS_PREFIX) == 0)
        n.kind = Notification::Kind::Status;
    if (closed && n.text.compare(0, COMRELAY_TAG_LENGTH, COMRELAY_ERROR_PREFIX) == 0)
        n.kind = Notification::Kind::Error;
    if (n.kind != Notification::Kind::Other) n.body = n.text.substr(4, len - 5);
    return n;
}
