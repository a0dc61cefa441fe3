// The library's own string: a buffer of code units with an explicit capacity
// and a cached length. WString holds UTF-16, NString bytes (narrow texts of
// the service channel). Buffers come from tarn::AllocBase; the growth steps
// are fixed (see makeRoom) so that buffers can be reused predictably.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

#include "host/alloc_base.h"
#include "host/tarn_exception.h"

namespace pelox {

template <class CharT>
class BasicString {
public:
    using value_type = CharT;
    using view_type = std::basic_string_view<CharT>;
    // Marks a length that has not been counted yet.
    static constexpr uint32_t kUncounted = 0xFFFFFFFFu;
    // Buffers larger than this are freed rather than kept for reuse.
    static constexpr uint32_t kReuseLimit = 1000;

    BasicString() noexcept = default;
    BasicString(view_type text) { assign(text); }
    BasicString(const CharT* text) { assign(text); }
    BasicString(const BasicString& other) { assign(other.view()); }
    BasicString(BasicString&& other) noexcept
        : buffer_(std::exchange(other.buffer_, nullptr)),
          capacity_(std::exchange(other.capacity_, 0)),
          length_(std::exchange(other.length_, 0)) {}
    BasicString& operator=(const BasicString& other) {
        if (this != &other) assign(other.view());
        return *this;
    }
    BasicString& operator=(BasicString&& other) noexcept {
        if (this != &other) {
            release();
            buffer_ = std::exchange(other.buffer_, nullptr);
            capacity_ = std::exchange(other.capacity_, 0);
            length_ = std::exchange(other.length_, 0);
        }
        return *this;
    }
    BasicString& operator=(view_type text) { return assign(text); }
    ~BasicString() { release(); }

    // The capacity that makeRoom(n) chooses when the buffer must grow.
    static uint64_t grownCapacity(uint32_t n, uint32_t oldCapacity) {
        uint32_t bits = 0;
        for (uint32_t v = n; v; v >>= 1) ++bits;
        uint64_t cap = bits <= 20 ? (uint64_t{1} << bits)
                                  : ((uint64_t{n} + 1) / 1048576u + 1) * 1048576u;
        if (cap < oldCapacity) cap = oldCapacity;
        if (cap < 16) cap = 16;
        return cap;
    }

    // Makes room for n units plus the terminator and writes the terminator
    // at n. n = 0 empties the string without allocating. With `discard` the
    // old content is not kept when the buffer is replaced (the length is then
    // recounted on demand). Returns the buffer (null only for n = 0 with no
    // buffer).
    CharT* makeRoom(uint32_t n, bool discard = false) {
        if (n == 0) {
            if (buffer_) buffer_[0] = CharT(0);
            length_ = 0;
            return buffer_;
        }
        if (capacity_ >= uint64_t{n} + 1) {
            buffer_[n] = CharT(0);
            // A length not yet counted stays so: the text may end before n,
            // and the terminator at n bounds the later count.
            if (length_ != kUncounted && length_ > n) length_ = n;
            return buffer_;
        }
        const uint64_t cap = grownCapacity(n, capacity_);
        if (cap > 0xFFFFFFFFu) throw tarn::MemoryException(cap, sizeof(CharT));
        auto* fresh = static_cast<CharT*>(tarn::AllocBase::_alloc(static_cast<size_t>(cap) * sizeof(CharT)));
        if (!fresh) throw tarn::MemoryException(cap, sizeof(CharT));
        std::memset(fresh, 0, static_cast<size_t>(cap) * sizeof(CharT));
        if (buffer_ && !discard) {
            const uint32_t keep = length();
            std::memcpy(fresh, buffer_, size_t{keep} * sizeof(CharT));
        } else {
            length_ = discard ? kUncounted : 0;
        }
        if (buffer_) tarn::AllocBase::_free(buffer_);
        buffer_ = fresh;
        capacity_ = static_cast<uint32_t>(cap);
        buffer_[n] = CharT(0);
        return buffer_;
    }

    // Length in units without the terminator (counted once, then cached).
    uint32_t length() const {
        if (length_ == kUncounted) {
            uint32_t n = 0;
            if (buffer_)
                while (buffer_[n]) ++n;
            length_ = n;
        }
        return length_;
    }
    uint32_t size() const { return length(); }
    bool empty() const { return !buffer_ || buffer_[0] == CharT(0); }
    uint32_t capacity() const { return capacity_; }
    // The buffer itself (null when none was ever allocated).
    const CharT* data() const { return buffer_; }
    CharT* data() { return buffer_; }
    // Never null: the buffer, or a static empty text.
    const CharT* c_str() const {
        static const CharT kEmpty[1] = {CharT(0)};
        return buffer_ ? buffer_ : kEmpty;
    }
    view_type view() const { return buffer_ ? view_type(buffer_, length()) : view_type(); }
    std::basic_string<CharT> str() const { return std::basic_string<CharT>(view()); }
    operator view_type() const { return view(); }

    // Tells that the content was written directly into the buffer.
    void recount() { length_ = kUncounted; }
    // Sets the length after a direct write of n units (n below the capacity).
    void setLength(uint32_t n) {
        if (!buffer_ || n >= capacity_) throw tarn::InvalidIndexException(n, capacity_ ? capacity_ - 1 : -1LL);
        buffer_[n] = CharT(0);
        length_ = n;
    }

    BasicString& assign(view_type text) {
        if (text.size() > 0xFFFFFFFEu) throw tarn::MemoryException(text.size(), sizeof(CharT));
        const auto n = static_cast<uint32_t>(text.size());
        if (n == 0) {
            makeRoom(0);
            return *this;
        }
        // The source may live inside this very buffer.
        if (buffer_ && text.data() >= buffer_ && text.data() < buffer_ + capacity_) {
            std::memmove(buffer_, text.data(), size_t{n} * sizeof(CharT));
            buffer_[n] = CharT(0);
            length_ = n;
            return *this;
        }
        CharT* b = makeRoom(n, true);
        std::memcpy(b, text.data(), size_t{n} * sizeof(CharT));
        length_ = n;
        return *this;
    }
    BasicString& assign(const CharT* text) { return assign(text ? view_type(text) : view_type()); }
    BasicString& assign(const CharT* text, uint32_t n) { return assign(text ? view_type(text, n) : view_type()); }

    BasicString& append(const CharT* text, uint32_t n) {
        if (!text || n == 0) return *this;
        const uint32_t old = length();
        if (uint64_t{old} + n > 0xFFFFFFFEu) throw tarn::MemoryException(uint64_t{old} + n, sizeof(CharT));
        if (buffer_ && text >= buffer_ && text < buffer_ + capacity_) {
            // Appending a piece of ourselves: copy it out first.
            std::basic_string<CharT> copy(text, n);
            return append(copy.data(), n);
        }
        CharT* b = makeRoom(old + n);
        std::memcpy(b + old, text, size_t{n} * sizeof(CharT));
        length_ = old + n;
        return *this;
    }
    BasicString& append(view_type text) { return append(text.data(), static_cast<uint32_t>(text.size())); }
    BasicString& append(CharT c) { return append(&c, 1); }

    // Cuts the text to at most n units (keeps the buffer).
    void truncate(uint32_t n) {
        if (n < length()) makeRoom(n);
    }
    void clear() { makeRoom(0); }

    // Empties the string for reuse: a buffer above the reuse limit is freed.
    void resetForReuse() {
        if (capacity_ > kReuseLimit) {
            release();
            length_ = kUncounted;
        } else {
            clear();
        }
    }

    // a to z become A to Z; nothing else changes.
    void toUpper() {
        const uint32_t n = length();
        for (uint32_t i = 0; i < n; ++i)
            if (buffer_[i] >= CharT('a') && buffer_[i] <= CharT('z')) buffer_[i] = CharT(buffer_[i] - 32);
    }

    friend bool operator==(const BasicString& a, const BasicString& b) { return a.view() == b.view(); }
    friend bool operator==(const BasicString& a, view_type b) { return a.view() == b; }

    void swap(BasicString& other) noexcept {
        std::swap(buffer_, other.buffer_);
        std::swap(capacity_, other.capacity_);
        std::swap(length_, other.length_);
    }

private:
    void release() noexcept {
        if (buffer_) tarn::AllocBase::_free(buffer_);
        buffer_ = nullptr;
        capacity_ = 0;
        length_ = 0;
    }

    CharT* buffer_ = nullptr;
    uint32_t capacity_ = 0;
    mutable uint32_t length_ = 0;
};

using WString = BasicString<char16_t>;
using NString = BasicString<char>;

// Widening: each byte becomes one UTF-16 unit.
void assignNarrow(WString& out, std::string_view bytes);
// Narrowing: each unit must be at most 255, else tarn::Exception
// "Unable to convert character 0x%x" is thrown.
std::string toNarrow(std::u16string_view text);
void assignWide(NString& out, std::u16string_view text);

}  // namespace pelox
