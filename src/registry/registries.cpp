#include "registry/registries.h"

#include "frame/error_cache.h"

namespace pelox {

// ---- sessions ---------------------------------------------------------------

void SessionRegistry::put(std::u16string_view id, const SessionInfo& record) {
    Guard guard(lock_);
    map_.put(id, record);
}

bool SessionRegistry::contains(std::u16string_view id) {
    Guard guard(lock_);
    return map_.contains(id);
}

bool SessionRegistry::copy(std::u16string_view id, SessionInfo& out) {
    Guard guard(lock_);
    const SessionInfo* found = map_.find(id);
    if (!found) return false;
    out = *found;
    return true;
}

// ---- jobs -------------------------------------------------------------------

void HeldJob::release() noexcept {
    if (!record_) return;
    std::shared_ptr<JobInfo> rec = std::move(record_);
    record_.reset();
    try {
        rec->lock.unlock();
    } catch (...) {
    }
}

void HeldJob::hold(std::shared_ptr<JobInfo> rec) {
    if (rec == record_) return;  // already held: keep it without a gap
    release();
    rec->lock.lock(kLockTimeoutMs, true);
    record_ = std::move(rec);
}

std::shared_ptr<JobInfo> JobInfoHashLock::lookup(std::u16string_view id) {
    Guard guard(lock_);
    const std::shared_ptr<JobInfo>* found = map_.find(id);
    return found ? *found : nullptr;
}

bool JobInfoHashLock::find(std::u16string_view id, HeldJob& slot) {
    for (;;) {
        std::shared_ptr<JobInfo> rec = lookup(id);
        if (!rec) return false;
        slot.hold(rec);
        if (lookup(id) == rec) return true;
        // Removed or replaced while we waited for its lock: look again.
        slot.release();
    }
}

bool JobInfoHashLock::insert(std::u16string_view id, HeldJob& slot, bool* created) {
    for (;;) {
        std::shared_ptr<JobInfo> rec;
        bool fresh = false;
        {
            Guard guard(lock_);
            std::shared_ptr<JobInfo>& entry = map_.findOrInsert(id);
            if (!entry) {
                try {
                    entry = std::make_shared<JobInfo>();
                } catch (...) {
                    map_.remove(id);
                    throw;
                }
                fresh = true;
            }
            rec = entry;
        }
        slot.hold(rec);
        if (lookup(id) == rec) {
            if (created) *created = fresh;
            return true;
        }
        slot.release();
    }
}

bool JobInfoHashLock::remove(std::u16string_view id, HeldJob& slot) {
    for (;;) {
        std::shared_ptr<JobInfo> rec = lookup(id);
        if (!rec) return false;
        slot.hold(rec);
        Guard guard(lock_);
        std::shared_ptr<JobInfo>* entry = map_.find(id);
        if (entry && *entry == rec) {
            entry->reset();  // the node is reused later; the slot keeps the record
            map_.remove(id);
            return true;
        }
        guard.release();
        slot.release();
    }
}

uint32_t JobInfoHashLock::size() {
    Guard guard(lock_);
    return map_.size();
}

// ---- library-wide objects ---------------------------------------------------

namespace {

struct LibraryState {
    SessionRegistry sessions;
    JobInfoHashLock jobs;
    ObjectRegistry<WString> strings;
    ObjectRegistry<StringArray> stringArrays;
    ObjectRegistry<ResultInfo> resultInfos;
    ObjectRegistry<ProtocolInfo> protocolInfos;
    ErrorCache errors{10};
};

LibraryState& state() {
    // The error log's own statics are made first so that they outlive the
    // registries (whose destructors may log).
    static const bool logReady = (tarn::Exception::GetErrorLogLocation(), true);
    (void)logReady;
    static LibraryState instance;
    return instance;
}

// Made when the library is loaded, not on first use.
[[maybe_unused]] const bool constructedAtLoad = (state(), true);

}  // namespace

namespace registry {

SessionRegistry& sessions() { return state().sessions; }
JobInfoHashLock& jobs() { return state().jobs; }
ObjectRegistry<WString>& strings() { return state().strings; }
ObjectRegistry<StringArray>& stringArrays() { return state().stringArrays; }
ObjectRegistry<ResultInfo>& resultInfos() { return state().resultInfos; }
ObjectRegistry<ProtocolInfo>& protocolInfos() { return state().protocolInfos; }

}  // namespace registry

// The error record store is made here, with the registries, so that the
// whole load order of the library objects is in one place.
ErrorCache& frame::errorCache() { return state().errors; }
}  // namespace pelox
