// Adding "class::operation" context to exceptions that pass through internal
// classes, and the scoped lock used everywhere.
#pragma once

#include <pthread.h>

#include <exception>
#include <mutex>
#include <utility>

#include "host/tarn_exception.h"

namespace tarn {

// Runs body(); a tarn::Exception leaving it gets the catch-and-throw context
// (className, operation) appended and is thrown on as its own type; any other
// exception becomes a new tarn::Exception carrying only that context.
template <class F>
decltype(auto) annotate(const char16_t* className, const char16_t* operation, F&& body) {
    try {
        return std::forward<F>(body)();
    } catch (Exception& e) {
        e.appendMessage(pexCatchAndThrowClassTarn, className, operation);
        e.rethrow();
        throw Exception(e);
    } catch (...) {
        throw Exception(pexCatchAndThrowClassTarn, className, operation);
    }
}

// A recursive lock taken with a time-out. lock() waits up to the given number
// of milliseconds; if the lock is still held elsewhere after that, it writes a
// warning to the error log and throws tarn::Exception instead of entering
// without ownership (entering anyway would be a data race). unlock() by a
// thread that does not hold the lock throws tarn::Exception.
//
// It is a recursive POSIX mutex waited for with pthread_mutex_timedlock
// rather than std::recursive_timed_mutex: the latter waits through
// pthread_mutex_clocklock, which ThreadSanitizer (gcc 12, clang 14) does not
// intercept, so TSan could not see these locks at all. The time-out is
// measured on the steady clock; the wall-clock deadline that timedlock takes
// is renewed when a clock change ends the wait early.
class ForcedCriticalSection {
public:
    ForcedCriticalSection();
    ~ForcedCriticalSection();
    ForcedCriticalSection(const ForcedCriticalSection&) = delete;
    ForcedCriticalSection& operator=(const ForcedCriticalSection&) = delete;

    bool lock(unsigned milliseconds, bool force);
    void unlock();

private:
    pthread_mutex_t mutex_;
};

// A process-wide section (the service channel's one-time read of the connect
// time-out uses it). Thread safety is always on in this library, so it is
// always locked.
class AutoCriticalSection {
public:
    bool lockImpl(unsigned milliseconds, bool force) { return section_.lock(milliseconds, force); }
    void unlockImpl() { section_.unlock(); }

private:
    ForcedCriticalSection section_;
};

}  // namespace tarn

namespace pelox {

inline constexpr unsigned kLockTimeoutMs = 60000;

// Scoped lock: takes the section on construction (60000 ms), releases it on
// destruction. A failing unlock never throws out of the destructor while
// another exception propagates; the failure is logged instead.
class Guard {
public:
    explicit Guard(tarn::ForcedCriticalSection& section) : section_(&section) {
        section_->lock(kLockTimeoutMs, true);
        held_ = true;
    }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;
    ~Guard() noexcept(false);
    // Releases early; the destructor then does nothing.
    void release();

private:
    tarn::ForcedCriticalSection* section_;
    bool held_ = false;
};

}  // namespace pelox
