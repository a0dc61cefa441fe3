// The library's registries: the four object registries behind the handles
// (string, string array, protocol info, result info), the session registry
// and the job registry. Each has its own lock. Exports reach them through the
// helpers of registry/access.h.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "catalogue/protocol_info.h"
#include "connection/session_info.h"
#include "frame/containers/array.h"
#include "frame/containers/hash_map.h"
#include "frame/containers/wide_string.h"
#include "frame/result_info.h"
#include "host/tarn_context.h"
#include "jobs/job_record.h"

namespace pelox {

template <>
struct ReuseTraits<ProtocolInfo> {
    static void reset(ProtocolInfo& v) { v.clear(); }
};

// Objects of one type under their handles. Handles come from a counter that
// starts at 1 and only grows: never 0, never reused.
template <class T>
class ObjectRegistry {
public:
    ObjectRegistry() = default;
    ObjectRegistry(const ObjectRegistry&) = delete;
    ObjectRegistry& operator=(const ObjectRegistry&) = delete;

    tarn::ForcedCriticalSection& lock() { return lock_; }
    // The object of a handle, or null. Call with the lock held.
    T* find(int32_t handle) { return map_.find(handle); }
    // Draws the next handle and registers an empty object under it (takes
    // the lock itself). `drawn` receives the handle before registration, so
    // that a failing registration can still report it.
    int32_t create(int32_t* drawn = nullptr) {
        pelox::Guard guard(lock_);
        if (next_ > INT32_MAX) throw tarn::Exception("No more handles for this object type");
        const auto handle = static_cast<int32_t>(next_++);
        if (drawn) *drawn = handle;
        map_.findOrInsert(handle);
        return handle;
    }
    // Removes an entry (call with the lock held).
    bool remove(int32_t handle) { return map_.remove(handle); }
    // The number of registered objects (call with the lock held).
    uint32_t count() const { return map_.size(); }

private:
    HashMap<T, IntKey> map_{31};
    tarn::ForcedCriticalSection lock_;
    int64_t next_ = 1;
};

// Logged-in sessions by session identifier (case-sensitive). Records are
// never removed.
class SessionRegistry {
public:
    void put(std::u16string_view id, const SessionInfo& record);
    bool contains(std::u16string_view id);
    // Copies the record into out; false (out untouched) when absent.
    bool copy(std::u16string_view id, SessionInfo& out);

private:
    HashMap<SessionInfo, WStringKey> map_{31};
    tarn::ForcedCriticalSection lock_;
};

// The held-lock slot of the job registry: owns at most one job record and
// holds that record's lock. Destruction (or release) unlocks it. A record
// removed from the registry stays alive while a slot holds it.
class HeldJob {
public:
    HeldJob() = default;
    HeldJob(const HeldJob&) = delete;
    HeldJob& operator=(const HeldJob&) = delete;
    ~HeldJob() { release(); }

    JobInfo* get() const { return record_.get(); }
    JobInfo* operator->() const { return record_.get(); }
    JobInfo& operator*() const { return *record_; }
    explicit operator bool() const { return record_ != nullptr; }
    // Unlocks and drops the record.
    void release() noexcept;

private:
    friend class JobInfoHashLock;
    // Unlocks the record held so far, then locks and keeps rec.
    void hold(std::shared_ptr<JobInfo> rec);
    std::shared_ptr<JobInfo> record_;
};

// Known jobs by job identifier (case-sensitive). The registry lock is held
// only for the look-up itself; the record lock is taken without it, and the
// entry is checked again afterwards, so a slow holder of one record never
// blocks look-ups of other jobs.
class JobInfoHashLock {
public:
    // Finds the record and puts it, locked, into the slot (a record held
    // before is unlocked first). False when the identifier is unknown.
    bool find(std::u16string_view id, HeldJob& slot);
    // The same, but an unknown identifier gets a new record (state 1507).
    // `created` tells whether the record is new.
    bool insert(std::u16string_view id, HeldJob& slot, bool* created = nullptr);
    // Locks the record into the slot and removes the entry; the record stays
    // valid (and locked) in the slot until released. False when unknown.
    bool remove(std::u16string_view id, HeldJob& slot);
    uint32_t size();

private:
    std::shared_ptr<JobInfo> lookup(std::u16string_view id);
    HashMap<std::shared_ptr<JobInfo>, WStringKey> map_{31};
    tarn::ForcedCriticalSection lock_;
};

namespace registry {

// The library-wide objects, made at load and destroyed at unload in reverse
// order: session registry, job registry, the registries of types 1, 2, 4, 3,
// then the error record store (frame::errorCache()).
SessionRegistry& sessions();
JobInfoHashLock& jobs();
ObjectRegistry<WString>& strings();
ObjectRegistry<StringArray>& stringArrays();
ObjectRegistry<ResultInfo>& resultInfos();
ObjectRegistry<ProtocolInfo>& protocolInfos();

}  // namespace registry
}  // namespace pelox
