// Raw block allocation used by the library's own containers. Every container
// allocates through here so that allocation failures surface in one place
// (callers turn a null result into tarn::MemoryException).
#pragma once

#include <atomic>
#include <cstddef>

namespace tarn {

class AllocBase {
public:
    // A block of at least `bytes` bytes, or null when none can be had.
    static void* _alloc(size_t bytes) noexcept;
    // Frees a block returned by _alloc; null is ignored.
    static void _free(void* block) noexcept;

    // Fault injection for tests: after `n` more successful allocations every
    // further one fails until the countdown is switched off again with -1.
    static void failAfter(long n) noexcept;
    // How many allocations were refused since failAfter() was last called
    // (tests tell a failure they caused from a call that needed fewer
    // allocations).
    static long refusals() noexcept;

private:
    static std::atomic<long> failCountdown_;
    static std::atomic<long> refusals_;
};

}  // namespace tarn
