#include "frame/error_cache.h"

#include <cstdint>

namespace pelox {

ErrorCache::ErrorCache(int32_t capacity) : capacity_(capacity > 0 ? static_cast<uint32_t>(capacity) : 1u) {}

int32_t ErrorCache::addError(tarn::Exception e) {
    return tarn::annotate(u"ErrorCache", u"addError", [&]() -> int32_t {
        Guard guard(lock_);
        const uint32_t id = nextId_;
        ids_.insert(0, id);
        internalResize(static_cast<int32_t>(capacity_));
        StringArray& record = records_.findOrInsert(static_cast<int32_t>(id));
        record.clear();
        for (uint32_t i = 0; i < e.getMessageTotal(); ++i) record.appendEmpty().assign(e.getErrorMessage(i));
        // Identifiers stay positive: after the largest one the count starts
        // over at 1 (records that old are long gone).
        nextId_ = id >= static_cast<uint32_t>(INT32_MAX) ? 1u : id + 1;
        return static_cast<int32_t>(id);
    });
}

bool ErrorCache::errorForHandle(int32_t id, StringArray& out) {
    return tarn::annotate(u"ErrorCache", u"errorForHandle", [&]() -> bool {
        Guard guard(lock_);
        StringArray* record = records_.find(id);
        if (!record) {
            out.clear();
            return false;
        }
        out = *record;
        record->clear();
        records_.remove(id);
        return true;
    });
}

void ErrorCache::resize(int32_t capacity) {
    tarn::annotate(u"ErrorCache", u"resize", [&] {
        Guard guard(lock_);
        internalResize(capacity);
    });
}

void ErrorCache::internalResize(int32_t capacity) {
    tarn::annotate(u"ErrorCache", u"internalResize", [&] {
        capacity_ = capacity > 0 ? static_cast<uint32_t>(capacity) : 1u;
        while (ids_.count() > capacity_) {
            const uint32_t oldest = ids_[ids_.count() - 1];
            ids_.resize(ids_.count() - 1);
            if (StringArray* record = records_.find(static_cast<int32_t>(oldest))) {
                record->clear();
                records_.remove(static_cast<int32_t>(oldest));
            }
        }
    });
}

uint32_t ErrorCache::capacity() {
    Guard guard(lock_);
    return capacity_;
}

uint32_t ErrorCache::recordCount() {
    Guard guard(lock_);
    return records_.size();
}

}  // namespace pelox
