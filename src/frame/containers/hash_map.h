// A chained hash map with node reuse. Nodes are allocated one by one (so a
// value's address stays fixed while its entry exists) and removed nodes are
// kept on a free-node stack for later insertions. The table starts with the
// bucket count given at construction and grows, when an insertion finds the
// map at its threshold (three quarters of the buckets), to the smallest prime
// above twice the bucket count: 31 -> 67 -> 137 -> 277 ...
#pragma once

#include <cmath>
#include <cstdint>
#include <exception>
#include <new>
#include <string_view>
#include <utility>

#include "frame/containers/array.h"
#include "frame/containers/wide_string.h"
#include "host/alloc_base.h"
#include "host/tarn_exception.h"

namespace pelox {

// ---- key kinds -----------------------------------------------------------

// 32-bit integers (handles, error record identifiers): the hash is the value.
struct IntKey {
    using Stored = int32_t;
    using Lookup = int32_t;
    static uint32_t hash(int32_t k) { return static_cast<uint32_t>(k); }
    static bool equal(int32_t stored, int32_t k) { return stored == k; }
    static void store(Stored& s, int32_t k) { s = k; }
};

// UTF-16 text compared unit by unit; the hash takes the low byte of each
// unit: h = h * 31 + (c mod 256).
struct WStringKey {
    using Stored = WString;
    using Lookup = std::u16string_view;
    static uint32_t hash(std::u16string_view k) {
        uint32_t h = 0;
        for (char16_t c : k) h = h * 31u + (static_cast<uint32_t>(c) & 0xFFu);
        return h;
    }
    static bool equal(const WString& stored, std::u16string_view k) { return stored.view() == k; }
    static void store(Stored& s, std::u16string_view k) { s.assign(k); }
};

// UTF-16 text with the letters A to Z folded to a to z (nothing else folds).
// A null text and an empty text are the same key.
struct WStringNoCaseKey {
    using Stored = WString;
    using Lookup = std::u16string_view;
    static char16_t fold(char16_t c) { return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c; }
    static uint32_t hash(std::u16string_view k) {
        uint32_t h = 0;
        for (char16_t c : k) h = h * 31u + fold(c);
        return h;
    }
    static bool equal(const WString& stored, std::u16string_view k) {
        const std::u16string_view s = stored.view();
        if (s.size() != k.size()) return false;
        for (size_t i = 0; i < s.size(); ++i)
            if (fold(s[i]) != fold(k[i])) return false;
        return true;
    }
    static void store(Stored& s, std::u16string_view k) { s.assign(k); }
};

namespace detail {
bool isPrime(uint32_t n);
uint32_t nextPrimeAbove(uint32_t m);
// Reports an exception caught in a destructor the way scoped locks do: logged
// and dropped while another exception propagates, else thrown on.
void destructorFailure(const char16_t* className, bool unwinding);
}  // namespace detail

template <class V, class KeyKind>
class HashMap {
public:
    using Key = typename KeyKind::Stored;
    using Lookup = typename KeyKind::Lookup;

    struct Node {
        Node* next = nullptr;
        uint32_t hash = 0;
        Key key{};
        V value{};
    };

    explicit HashMap(uint32_t buckets = 31) { resize(buckets); }
    HashMap(const HashMap&) = delete;
    HashMap& operator=(const HashMap&) = delete;

    ~HashMap() noexcept(false) {
        const bool unwinding = std::uncaught_exceptions() > 0;
        try {
            destroy();
        } catch (...) {
            detail::destructorFailure(u"HashMap", unwinding);
        }
    }

    uint32_t size() const { return size_; }
    uint32_t bucketCount() const { return buckets_.count(); }
    uint32_t threshold() const { return threshold_; }
    uint32_t freeNodeCount() const { return free_.count(); }

    // Grows the bucket table to n buckets (never shrinks it).
    void resize(uint32_t n) {
        if (n > buckets_.count()) {
            Array<Node*> fresh;
            fresh.resize(n);
            for (uint32_t b = 0; b < buckets_.count(); ++b) {
                Node* node = buckets_[b];
                while (node) {
                    Node* next = node->next;
                    Node*& head = fresh[node->hash % n];
                    node->next = head;
                    head = node;
                    node = next;
                }
                buckets_[b] = nullptr;
            }
            buckets_ = std::move(fresh);
            threshold_ = static_cast<uint32_t>(std::floor(static_cast<double>(n) * 0.75));
        }
        if (buckets_.count() == 0) throw tarn::Exception("Cannot resize a hash map to 0");
    }

    // The value stored under key, or null (end) when absent.
    V* find(Lookup key) {
        Node* n = findNode(key, u"Tried to find in a hash map with 0 buckets");
        return n ? &n->value : nullptr;
    }
    const V* find(Lookup key) const { return const_cast<HashMap*>(this)->find(key); }
    bool contains(Lookup key) const { return find(key) != nullptr; }

    // The value under key; an absent key gets a new, empty value.
    V& findOrInsert(Lookup key, bool* inserted = nullptr) {
        if (buckets_.count() == 0) throw tarn::Exception("Tried to put into a hash map with 0 buckets");
        if (Node* n = findNode(key, u"Tried to find in a hash map with 0 buckets")) {
            if (inserted) *inserted = false;
            return n->value;
        }
        if (inserted) *inserted = true;
        return insertNode(key, KeyKind::hash(key))->value;
    }

    // Inserts or overwrites. A new key whose value cannot be stored (the
    // copy runs out of memory) is taken out again: a failed put never leaves
    // an empty entry behind.
    V& put(Lookup key, const V& value) {
        return assign(key, [&](V& slot) { slot = value; });
    }
    V& put(Lookup key, V&& value) {
        return assign(key, [&](V& slot) { slot = std::move(value); });
    }

    // Removes the entry; its node (and value) is kept for reuse.
    bool remove(Lookup key) {
        if (buckets_.count() == 0) throw tarn::Exception("Tried to remove from hash map with 0 buckets");
        const uint32_t h = KeyKind::hash(key);
        Node** link = &buckets_[h % buckets_.count()];
        while (*link) {
            Node* n = *link;
            if (n->hash == h && KeyKind::equal(n->key, key)) {
                free_.push(n);  // may throw before anything changed
                *link = n->next;
                n->next = nullptr;
                --size_;
                return true;
            }
            link = &n->next;
        }
        return false;
    }

    // Every entry's node goes to the free-node stack.
    void clear() {
        for (uint32_t b = 0; b < buckets_.count(); ++b) {
            while (Node* n = buckets_[b]) {
                free_.push(n);
                buckets_[b] = n->next;
                n->next = nullptr;
                --size_;
            }
        }
        size_ = 0;
    }

    // Calls f(key, value) for every entry, bucket by bucket from the first,
    // each bucket from its front (the newest entry first).
    template <class F>
    void forEach(F&& f) {
        for (uint32_t b = 0; b < buckets_.count(); ++b)
            for (Node* n = buckets_[b]; n; n = n->next) f(static_cast<const Key&>(n->key), n->value);
    }
    template <class F>
    void forEach(F&& f) const {
        for (uint32_t b = 0; b < buckets_.count(); ++b)
            for (const Node* n = buckets_[b]; n; n = n->next) f(static_cast<const Key&>(n->key), n->value);
    }

private:
    template <class Store>
    V& assign(Lookup key, Store store) {
        bool inserted = false;
        V& slot = findOrInsert(key, &inserted);
        try {
            store(slot);
        } catch (...) {
            if (inserted) discard(key);
            throw;
        }
        return slot;
    }

    // Unlinks key's node and gives it back to the allocator. Unlike remove
    // it needs no memory, so it can undo an insertion when memory ran out.
    void discard(Lookup key) noexcept {
        const uint32_t h = KeyKind::hash(key);
        for (Node** link = &buckets_[h % buckets_.count()]; *link; link = &(*link)->next) {
            Node* n = *link;
            if (n->hash == h && KeyKind::equal(n->key, key)) {
                *link = n->next;
                --size_;
                n->~Node();
                tarn::AllocBase::_free(n);
                return;
            }
        }
    }

    Node* findNode(Lookup key, const char16_t* zeroBucketsMessage) {
        if (buckets_.count() == 0) throw tarn::Exception(zeroBucketsMessage);
        const uint32_t h = KeyKind::hash(key);
        for (Node* n = buckets_[h % buckets_.count()]; n; n = n->next)
            if (n->hash == h && KeyKind::equal(n->key, key)) return n;
        return nullptr;
    }

    Node* insertNode(Lookup key, uint32_t h) {
        if (size_ >= threshold_) resize(detail::nextPrimeAbove(buckets_.count() * 2));
        Node* n;
        const bool reused = !free_.empty();
        if (reused) {
            n = free_.pop();
            ReuseTraits<V>::reset(n->value);
        } else {
            void* raw = tarn::AllocBase::_alloc(sizeof(Node));
            if (!raw) throw tarn::MemoryException(1, sizeof(Node));
            try {
                n = new (raw) Node();
            } catch (...) {
                tarn::AllocBase::_free(raw);
                throw;
            }
        }
        try {
            n->hash = h;
            KeyKind::store(n->key, key);
        } catch (...) {
            // A reused node goes back to the free stack, which still has its
            // slot; a fresh one back to the allocator, since growing the
            // stack for it could fail for want of memory as well.
            if (reused) {
                free_.push(n);
            } else {
                n->~Node();
                tarn::AllocBase::_free(n);
            }
            throw;
        }
        Node*& head = buckets_[h % buckets_.count()];
        n->next = head;
        head = n;
        ++size_;
        return n;
    }

    // Frees every node. The nodes of the buckets are freed where they are
    // rather than moved to the free-node stack first, which could need
    // memory: destroying a map never fails for want of it.
    void destroy() {
        for (uint32_t b = 0; b < buckets_.count(); ++b) {
            while (Node* n = buckets_[b]) {
                buckets_[b] = n->next;
                n->~Node();
                tarn::AllocBase::_free(n);
            }
        }
        size_ = 0;
        while (!free_.empty()) {
            Node* n = free_.pop();
            n->~Node();
            tarn::AllocBase::_free(n);
        }
    }

    Array<Node*> buckets_;
    Stack<Node*> free_;
    uint32_t size_ = 0;
    uint32_t threshold_ = 0;
};

}  // namespace pelox
