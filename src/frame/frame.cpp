#include "frame/frame.h"

#include <atomic>
#include <exception>
#include <mutex>

#include "host/platform.h"

namespace pelox::frame {

namespace {

std::once_flag initOnce;
std::atomic<bool> initStarted{false};
std::atomic<bool> initDone{false};

void initialise() {
    // The flag is set first: a failure below is reported once and not retried.
    initStarted.store(true);
    pelox::host::CHttp::m_isClient = true;
    const std::u16string log = tarn::Exception::GetErrorLogLocation();
    tarn::Exception::SetErrorLogLocation(log.c_str());
    pelox::host::CClientTempFiles::InitializeQorDirectory(u"PELOX");
}

}  // namespace

void ensureInitialised() {
    if (initDone.load(std::memory_order_acquire)) return;
    std::exception_ptr failure;
    std::call_once(initOnce, [&] {
        try {
            initialise();
        } catch (...) {
            failure = std::current_exception();
        }
        initDone.store(true, std::memory_order_release);
    });
    if (failure) std::rethrow_exception(failure);
}

bool initialised() { return initStarted.load(); }

int32_t recordError(const tarn::Exception& e) noexcept {
    try {
        tarn::Exception copy(e);
        return errorCache().addError(copy);
    } catch (...) {
        return PELOX_E_UNEXPECTED;
    }
}

void logCaught(const char16_t* name, bool tarnException) noexcept {
    try {
        tarn::Exception::warn(tarnException ? u"%ls::Tarn Exception caught" : u"%ls::Severe Exception caught", name);
    } catch (...) {
    }
}

}  // namespace pelox::frame
