// A growable array with fixed growth steps (from at least 5, doubling) and
// a stack on top of it. Storage comes from tarn::AllocBase. Every slot up to
// the capacity holds a live element, so elements beyond the count keep their
// resources for reuse: a string element is emptied but keeps a buffer of up
// to 1000 units when the array shrinks.
#pragma once

#include <cstdint>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#include "frame/containers/wide_string.h"
#include "host/alloc_base.h"
#include "host/tarn_exception.h"

namespace pelox {

// How a value is made empty when its slot or node is reused. The default
// assigns a fresh value; strings keep small buffers.
template <class T>
struct ReuseTraits {
    static void reset(T& v) { v = T(); }
};
template <class C>
struct ReuseTraits<BasicString<C>> {
    static void reset(BasicString<C>& v) { v.resetForReuse(); }
};

template <class T>
class Array {
public:
    Array() noexcept = default;
    Array(const Array& other) { *this = other; }
    Array(Array&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)),
          count_(std::exchange(other.count_, 0)),
          capacity_(std::exchange(other.capacity_, 0)) {}
    Array& operator=(const Array& other) {
        if (this == &other) return *this;
        resize(0);
        reserve(other.count_);
        for (uint32_t i = 0; i < other.count_; ++i) data_[i] = other.data_[i];
        count_ = other.count_;
        return *this;
    }
    Array& operator=(Array&& other) noexcept {
        if (this != &other) {
            destroyAll();
            data_ = std::exchange(other.data_, nullptr);
            count_ = std::exchange(other.count_, 0);
            capacity_ = std::exchange(other.capacity_, 0);
        }
        return *this;
    }
    ~Array() { destroyAll(); }

    uint32_t count() const { return count_; }
    uint32_t size() const { return count_; }
    bool empty() const { return count_ == 0; }
    uint32_t capacity() const { return capacity_; }

    // Makes room for n elements: from the old capacity (at least 5),
    // doubling until n fit.
    void reserve(uint32_t n) {
        if (capacity_ >= n) return;
        uint64_t cap = capacity_ < 5 ? 5 : capacity_;
        while (cap < n) cap *= 2;
        if (cap > 0xFFFFFFFFu) cap = 0xFFFFFFFFu;
        const uint64_t bytes = cap * sizeof(T);
        void* raw = bytes > SIZE_MAX ? nullptr : tarn::AllocBase::_alloc(static_cast<size_t>(bytes));
        if (!raw) throw tarn::MemoryException(cap, sizeof(T));
        T* fresh = static_cast<T*>(raw);
        static_assert(std::is_nothrow_move_constructible_v<T>, "array elements must move without throwing");
        static_assert(std::is_nothrow_default_constructible_v<T> || std::is_trivially_default_constructible_v<T>,
                      "array elements must be made empty without throwing");
        for (uint32_t i = 0; i < capacity_; ++i) {
            new (fresh + i) T(std::move(data_[i]));
            data_[i].~T();
        }
        for (uint64_t i = capacity_; i < cap; ++i) new (fresh + i) T();
        if (data_) tarn::AllocBase::_free(data_);
        data_ = fresh;
        capacity_ = static_cast<uint32_t>(cap);
    }

    // Sets the count; new elements are empty (or 0), removed ones are emptied
    // and kept for reuse.
    void resize(uint32_t n) {
        if (n > count_) {
            reserve(n);
            for (uint32_t i = count_; i < n; ++i) ReuseTraits<T>::reset(data_[i]);
        } else {
            for (uint32_t i = n; i < count_; ++i) ReuseTraits<T>::reset(data_[i]);
        }
        count_ = n;
    }
    void clear() { resize(0); }

    T& append(const T& v) {
        T copy(v);
        return append(std::move(copy));
    }
    T& append(T&& v) {
        reserve(count_ + 1);
        data_[count_] = std::move(v);
        return data_[count_++];
    }
    // Appends an empty element and returns it.
    T& appendEmpty() {
        reserve(count_ + 1);
        ReuseTraits<T>::reset(data_[count_]);
        return data_[count_++];
    }
    // Inserts before index (index == count appends).
    void insert(uint32_t index, T v) {
        if (index > count_) throw tarn::InvalidIndexException(index, static_cast<long long>(count_) - 1);
        reserve(count_ + 1);
        // Rotate the spare slot at count_ down to index, keeping its resources.
        for (uint32_t i = count_; i > index; --i) std::swap(data_[i], data_[i - 1]);
        data_[index] = std::move(v);
        ++count_;
    }
    // Removes element index, moving later ones down.
    void removeAt(uint32_t index) {
        check(index);
        for (uint32_t i = index; i + 1 < count_; ++i) std::swap(data_[i], data_[i + 1]);
        --count_;
        ReuseTraits<T>::reset(data_[count_]);
    }

    T& at(uint32_t index) {
        check(index);
        return data_[index];
    }
    const T& at(uint32_t index) const {
        check(index);
        return data_[index];
    }
    T& operator[](uint32_t index) { return at(index); }
    const T& operator[](uint32_t index) const { return at(index); }

    T* begin() { return data_; }
    T* end() { return data_ + count_; }
    const T* begin() const { return data_; }
    const T* end() const { return data_ + count_; }

private:
    void check(uint32_t index) const {
        if (index >= count_) throw tarn::InvalidIndexException(index, static_cast<long long>(count_) - 1);
    }
    void destroyAll() noexcept {
        for (uint32_t i = 0; i < capacity_; ++i) data_[i].~T();
        if (data_) tarn::AllocBase::_free(data_);
        data_ = nullptr;
        count_ = capacity_ = 0;
    }

    T* data_ = nullptr;
    uint32_t count_ = 0;
    uint32_t capacity_ = 0;
};

template <class T>
struct ReuseTraits<Array<T>> {
    static void reset(Array<T>& v) { v.clear(); }
};

// An array used at its end.
template <class T>
class Stack {
public:
    void push(T v) { items_.append(std::move(v)); }
    T& top() {
        if (items_.empty()) throw tarn::Exception("Stack is empty");
        return items_[items_.count() - 1];
    }
    T pop() {
        if (items_.empty()) throw tarn::Exception("Stack is empty");
        T v = std::move(items_[items_.count() - 1]);
        items_.resize(items_.count() - 1);
        return v;
    }
    uint32_t count() const { return items_.count(); }
    bool empty() const { return items_.empty(); }

private:
    Array<T> items_;
};

// The string array behind object type 2.
using StringArray = Array<WString>;

// Conversions between string arrays and standard vectors.
inline void assign(StringArray& out, const std::vector<std::u16string>& values) {
    out.resize(static_cast<uint32_t>(values.size()));
    for (uint32_t i = 0; i < out.count(); ++i) out[i].assign(values[i]);
}
inline std::vector<std::u16string> toVector(const StringArray& a) {
    std::vector<std::u16string> v;
    v.reserve(a.count());
    for (const WString& s : a) v.push_back(s.str());
    return v;
}

}  // namespace pelox
