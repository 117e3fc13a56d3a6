// Text storage. The product makes and uses its texts on the host's thread,
// but the count is changed with interlocked operations all the same, so that
// copies of one text may live on different threads. A Text object itself
// belongs to one thread at a time.
#include "framework/Text.h"

#include <cstdlib>
#include <cstring>
#include <windows.h>

Text::Block* Text::TryAllocate(int capacity) {
    auto* b = static_cast<Block*>(std::malloc(sizeof(Block) + capacity));
    if (!b) return nullptr;
    b->refs = 1;
    b->length = 0;
    b->capacity = capacity;
    b->bytes[0] = 0;
    return b;
}

Text::Block* Text::Allocate(int capacity) {
    Block* b = TryAllocate(capacity);
    if (!b) std::abort();
    return b;
}

bool Text::TryAssign(const void* bytes, int length) {
    if (!bytes || length <= 0) {
        Release();
        return true;
    }
    Block* b = TryAllocate(length);
    if (!b) return false;
    std::memcpy(b->bytes, bytes, length);
    b->bytes[length] = 0;
    b->length = length;
    Release();
    block_ = b;
    return true;
}

Text::Text(const char* zeroTerminated)
    : Text(zeroTerminated, zeroTerminated ? int(std::strlen(zeroTerminated)) : 0) {}

Text::Text(const void* bytes, int length) {
    if (!bytes || length <= 0) return;
    block_ = Allocate(length);
    std::memcpy(block_->bytes, bytes, length);
    block_->bytes[length] = 0;
    block_->length = length;
}

Text::Text(const Text& other) : block_(other.block_) {
    if (block_) InterlockedIncrement(&block_->refs);
}

Text& Text::operator=(const Text& other) {
    // Read before Release: other may be this text itself.
    Block* b = other.block_;
    if (b) InterlockedIncrement(&b->refs);
    Release();
    block_ = b;
    return *this;
}

Text& Text::operator=(Text&& other) noexcept {
    if (this != &other) {
        Release();
        block_ = other.block_;
        other.block_ = nullptr;
    }
    return *this;
}

void Text::Release() {
    if (block_ && InterlockedDecrement(&block_->refs) == 0) std::free(block_);
    block_ = nullptr;
}

void Text::SetLength(int length) {
    if (length <= 0) {
        Release();
        return;
    }
    if (!block_ || block_->refs != 1 || block_->capacity < length) {
        Block* b = Allocate(length);
        int keep = Length() < length ? Length() : length;
        std::memcpy(b->bytes, Data(), keep);
        b->length = keep; // only what lies past the kept bytes is zeroed below
        Release();
        block_ = b;
    }
    if (length > block_->length)
        std::memset(block_->bytes + block_->length, 0, length - block_->length);
    block_->length = length;
    block_->bytes[length] = 0;
}

char* Text::MutableData() {
    if (!block_) return nullptr;
    SetLength(block_->length);
    return block_->bytes;
}

void Text::Append(const void* bytes, int length) {
    if (!bytes || length <= 0) return;
    int old = Length();
    int grown = GrowthCapacity(static_cast<long long>(old) + length);
    if (grown < 0) std::abort(); // past what a length can count
    if (block_ && block_->refs == 1 && block_->capacity - old >= length) {
        std::memmove(block_->bytes + old, bytes, length);
        block_->length = old + length;
        block_->bytes[old + length] = 0;
        return;
    }
    // Grow geometrically so that repeated appends stay linear. The new bytes
    // are copied before the old block goes: they may lie inside it.
    Block* b = Allocate(grown);
    std::memcpy(b->bytes, Data(), old);
    std::memcpy(b->bytes + old, bytes, length);
    b->length = old + length;
    b->bytes[old + length] = 0;
    Release();
    block_ = b;
}

int Text::GrowthCapacity(long long needed) {
    if (needed > MaxLength) return -1;
    long long grown = needed + needed / 2;
    return static_cast<int>(grown < MaxLength ? grown : MaxLength);
}

bool Text::operator==(const Text& other) const {
    return Length() == other.Length() && std::memcmp(Data(), other.Data(), Length()) == 0;
}

Text operator+(const Text& a, const Text& b) {
    Text r(a.Data(), a.Length());
    r.Append(b);
    return r;
}
