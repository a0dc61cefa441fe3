#include "host/alloc_base.h"

#include <cstdlib>

namespace tarn {

std::atomic<long> AllocBase::failCountdown_{-1};
std::atomic<long> AllocBase::refusals_{0};

void* AllocBase::_alloc(size_t bytes) noexcept {
    long c = failCountdown_.load(std::memory_order_relaxed);
    while (c >= 0) {
        if (c == 0) {
            refusals_.fetch_add(1, std::memory_order_relaxed);
            return nullptr;
        }
        if (failCountdown_.compare_exchange_weak(c, c - 1, std::memory_order_relaxed)) break;
    }
    return std::malloc(bytes ? bytes : 1);
}

void AllocBase::_free(void* block) noexcept { std::free(block); }

void AllocBase::failAfter(long n) noexcept {
    refusals_.store(0, std::memory_order_relaxed);
    failCountdown_.store(n < 0 ? -1 : n, std::memory_order_relaxed);
}

long AllocBase::refusals() noexcept { return refusals_.load(std::memory_order_relaxed); }

}  // namespace tarn
