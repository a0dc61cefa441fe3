// How exports reach the registries: a locked look-up of an output or input
// object (the registry's lock is held for as long as the returned object
// lives), several outputs of one registry under one lock, and the session
// and job look-ups. See frame/frame.h for the export gate that runs around
// them.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "registry/registries.h"

namespace pelox::registry {

// Holds a registry's lock for its lifetime and the object found under a
// handle (null when the handle is not registered). Returned by the lock* and
// output* helpers below; keep it in a local variable for the whole export.
template <class T>
class Locked {
public:
    Locked(ObjectRegistry<T>& registry, int32_t handle, bool emptyIt)
        : guard_(registry.lock()), object_(registry.find(handle)) {
        if (object_ && emptyIt) object_->clear();
    }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

    explicit operator bool() const { return object_ != nullptr; }
    T* get() const { return object_; }
    T* operator->() const { return object_; }
    T& operator*() const { return *object_; }
    // Lets the lock go early; the object must not be used afterwards.
    void release() {
        object_ = nullptr;
        guard_.release();
    }

private:
    Guard guard_;
    T* object_;
};

// How LockedMany empties its objects.
enum class Emptying {
    OnceAllFound,  // all handles are looked up first: an unknown handle leaves every output untouched
    InTurn,        // each object right after its own look-up: the outputs before an unknown handle are empty
};

// Several objects of one registry under one lock, looked up in order. Index
// i of the result is the object of handles[i].
template <class T, size_t N>
class LockedMany {
public:
    LockedMany(ObjectRegistry<T>& registry, const std::array<int32_t, N>& handles, Emptying emptying)
        : guard_(registry.lock()) {
        for (size_t i = 0; i < N; ++i) {
            objects_[i] = registry.find(handles[i]);
            if (!objects_[i]) {
                found_ = false;
                return;
            }
            if (emptying == Emptying::InTurn) objects_[i]->clear();
        }
        if (emptying == Emptying::OnceAllFound)
            for (T* object : objects_) object->clear();
    }
    LockedMany(const LockedMany&) = delete;
    LockedMany& operator=(const LockedMany&) = delete;

    // True when every handle was found.
    explicit operator bool() const { return found_; }
    T& operator[](size_t i) const { return *objects_[i]; }

private:
    Guard guard_;
    std::array<T*, N> objects_{};
    bool found_ = true;
};

// Lock the registry and look the handle up (input objects).
inline Locked<WString> lockString(int32_t h) { return Locked<WString>(strings(), h, false); }
inline Locked<StringArray> lockStringArray(int32_t h) { return Locked<StringArray>(stringArrays(), h, false); }
inline Locked<ProtocolInfo> lockProtocolInfo(int32_t h) { return Locked<ProtocolInfo>(protocolInfos(), h, false); }
inline Locked<ResultInfo> lockResultInfo(int32_t h) { return Locked<ResultInfo>(resultInfos(), h, false); }
// The same, and empty the object when found (output objects).
inline Locked<WString> outputString(int32_t h) { return Locked<WString>(strings(), h, true); }
inline Locked<StringArray> outputStringArray(int32_t h) { return Locked<StringArray>(stringArrays(), h, true); }
inline Locked<ProtocolInfo> outputProtocolInfo(int32_t h) { return Locked<ProtocolInfo>(protocolInfos(), h, true); }
inline Locked<ResultInfo> outputResultInfo(int32_t h) { return Locked<ResultInfo>(resultInfos(), h, true); }

// Several string-array outputs at once: all found, then all emptied (the
// listings, which look up all their outputs before emptying any).
template <size_t N>
LockedMany<StringArray, N> outputStringArrays(const std::array<int32_t, N>& handles) {
    return LockedMany<StringArray, N>(stringArrays(), handles, Emptying::OnceAllFound);
}
// The same, each emptied right after its own look-up, as single outputs
// are: with an unknown later handle the earlier outputs are left empty, so
// a host that ignores the code never reads stale contents from them.
template <size_t N>
LockedMany<StringArray, N> outputStringArraysInTurn(const std::array<int32_t, N>& handles) {
    return LockedMany<StringArray, N>(stringArrays(), handles, Emptying::InTurn);
}

// ---- sessions and jobs ------------------------------------------------------

inline void putSession(std::u16string_view id, const SessionInfo& record) { sessions().put(id, record); }
inline bool hasSession(std::u16string_view id) { return sessions().contains(id); }
// Copies the session record into out; false when the identifier is unknown.
inline bool copySession(std::u16string_view id, SessionInfo& out) { return sessions().copy(id, out); }

// The job record under id, locked into the slot (released by the slot).
inline bool findJob(std::u16string_view id, HeldJob& slot) { return jobs().find(id, slot); }
// The same, creating a record (state 1507) for an unknown id.
inline bool insertJob(std::u16string_view id, HeldJob& slot, bool* created = nullptr) {
    return jobs().insert(id, slot, created);
}
// Locks the record into the slot and forgets it in the registry.
inline bool removeJob(std::u16string_view id, HeldJob& slot) { return jobs().remove(id, slot); }

}  // namespace pelox::registry
