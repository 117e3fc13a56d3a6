// Text: a reference-counted byte string with an explicit length. It holds any
// byte, zero included, and its storage always ends with one zero byte.
#pragma once

class Text {
  public:
    Text() = default;
    Text(const char* zeroTerminated); // null or "" gives the empty text
    Text(const void* bytes, int length);
    Text(const Text& other);
    Text(Text&& other) noexcept : block_(other.block_) { other.block_ = nullptr; }
    Text& operator=(const Text& other);
    Text& operator=(Text&& other) noexcept;
    ~Text() { Release(); }

    int Length() const { return block_ ? block_->length : 0; }
    bool IsEmpty() const { return Length() == 0; }
    // Never null; a zero byte always follows the last counted byte.
    const char* Data() const { return block_ ? block_->bytes : ""; }
    char operator[](int i) const { return Data()[i]; }

    // Writable bytes of a copy that no one else shares.
    char* MutableData();
    // Replaces the text with a copy of bytes; false, and the text as it was,
    // when no storage can be had. For input of any size from outside, which
    // must not end the process the way a failed allocation elsewhere does.
    bool TryAssign(const void* bytes, int length);
    // Unshares and resizes, keeping the leading bytes; new bytes are zero.
    void SetLength(int length);
    void Append(const void* bytes, int length);
    void Append(const Text& other) { Append(other.Data(), other.Length()); }

    // The longest text there can be, and the capacity that appending grows a
    // text to when it needs the given length: half again, within that limit.
    // -1 when the length is past the limit.
    static constexpr int MaxLength = 0x7FFFFFFF - 64;
    static int GrowthCapacity(long long needed);

    bool operator==(const Text& other) const;
    bool operator!=(const Text& other) const { return !(*this == other); }
    friend Text operator+(const Text& a, const Text& b);

  private:
    struct Block {
        volatile long refs;
        int length;
        int capacity;
        char bytes[1];
    };
    static Block* Allocate(int capacity);    // ends the program when it cannot
    static Block* TryAllocate(int capacity); // null when it cannot
    void Release();

    Block* block_ = nullptr;
};
