// The error record store: the messages of exceptions caught by exports, kept
// under positive identifiers (1, 2, 3, ...) until read once or pushed out by
// newer records beyond the capacity.
#pragma once

#include <cstdint>

#include "frame/containers/array.h"
#include "frame/containers/hash_map.h"
#include "host/tarn_context.h"

namespace pelox {

class ErrorCache {
public:
    explicit ErrorCache(int32_t capacity = 10);
    ErrorCache(const ErrorCache&) = delete;
    ErrorCache& operator=(const ErrorCache&) = delete;

    // Stores the exception's messages (first message first) under the next
    // identifier and returns it. Older records beyond the capacity are
    // dropped first, so the new record is always kept.
    int32_t addError(tarn::Exception e);
    // Moves record id's messages into out and forgets the record: true. An
    // unknown id empties out: false.
    bool errorForHandle(int32_t id, StringArray& out);
    // Sets the capacity (below 1 becomes 1) and drops the oldest records
    // beyond it at once.
    void resize(int32_t capacity);

    uint32_t capacity();
    uint32_t recordCount();

private:
    void internalResize(int32_t capacity);

    uint32_t capacity_;
    uint32_t nextId_ = 1;
    Array<uint32_t> ids_;  // newest first
    HashMap<StringArray, IntKey> records_{31};
    tarn::ForcedCriticalSection lock_;
};

namespace frame {
// The one error record store of the process. It is made at load together
// with the registries (registry/registries.cpp keeps the load order).
ErrorCache& errorCache();
}  // namespace frame

}  // namespace pelox
