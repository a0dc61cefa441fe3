// Process-wide library settings. Each is a single atomic word: options write
// them without a lock and service calls read them at every retry step.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "frame/version.h"

namespace pelox {

inline constexpr const char* kLibraryVersion = PELOX_LIBRARY_VERSION;
inline constexpr uint32_t kMinRetryCount = 10;
inline constexpr int32_t kMinRetryPauseMs = 200;

struct Settings {
    std::atomic<uint32_t> retryCount{kMinRetryCount};
    std::atomic<int32_t> retryPauseMs{kMinRetryPauseMs};
    std::atomic<bool> throwOnFailure{false};
    std::atomic<bool> validationNotices{false};
    std::atomic<int32_t> errorRecordCapacity{10};
};

// The one settings instance of the process.
Settings& settings();

}  // namespace pelox
