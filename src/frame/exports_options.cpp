// Library options, library information and the interface version check.
#include <string>

#include "frame/frame.h"
#include "registry/access.h"
#include "frame/settings.h"

using namespace pelox;

namespace {

// Compares a dotted decimal version with the library's own. Served: any
// version with major 6 or 7, and any 8.x not newer than the library.
int32_t checkVersion(const char* requested) {
    if (!requested) return PELOX_E_UNSUPPORTED;
    const char* req = requested;
    const char* lib = kLibraryVersion;
    for (int k = 0;; ++k) {
        if (*req == '\0' || *lib == '\0') return PELOX_E_UNSUPPORTED;
        const char* reqEnd = req;
        const char* libEnd = lib;
        const int32_t r = tarn::util::stringToInteger(req, &reqEnd, true);
        const int32_t l = tarn::util::stringToInteger(lib, &libEnd, true);
        if (r > l) return PELOX_E_UNSUPPORTED;
        if (r < l) {
            if (k >= 1) return PELOX_OK;
            return r >= 6 ? PELOX_OK : PELOX_E_UNSUPPORTED;
        }
        if (*reqEnd == '\0') return PELOX_OK;
        req = reqEnd + 1;
        if (*libEnd == '\0') return PELOX_E_UNSUPPORTED;
        lib = libEnd + 1;
    }
}

}  // namespace

extern "C" {

PELOX_API int32_t pelox_setPeloxOptions(int32_t option, const pelox_char* value) {
    return frame::runExport(option != PELOX_OPTION_RESERVED, [&]() -> int32_t {
        Settings& s = settings();
        switch (option) {
            case PELOX_OPTION_ERROR_CAPACITY: {
                int32_t n = tarn::util::stringToInteger(value, nullptr, true);
                if (n < 1) n = 1;
                frame::errorCache().resize(n);
                s.errorRecordCapacity = n;
                return PELOX_OK;
            }
            case PELOX_OPTION_ERROR_LOG:
                tarn::Exception::SetErrorLogLocation(value);
                return PELOX_OK;
            case PELOX_OPTION_RESERVED:
            case PELOX_OPTION_RESERVED_106:
                return PELOX_OK;
            case PELOX_OPTION_RETRY_COUNT: {
                int64_t n = tarn::util::stringToInt64(value, nullptr);
                if (n < kMinRetryCount) n = kMinRetryCount;
                if (n > UINT32_MAX) n = UINT32_MAX;
                s.retryCount = static_cast<uint32_t>(n);
                return PELOX_OK;
            }
            case PELOX_OPTION_RETRY_PAUSE: {
                int32_t n = tarn::util::stringToInteger(value, nullptr, true);
                s.retryPauseMs = n < kMinRetryPauseMs ? kMinRetryPauseMs : n;
                return PELOX_OK;
            }
            case PELOX_OPTION_THROW_ON_FAILURE:
                s.throwOnFailure = tarn::util::stringToBoolean(value, nullptr);
                return PELOX_OK;
            case PELOX_OPTION_VALIDATION_NOTICES:
                s.validationNotices = tarn::util::stringToBoolean(value, nullptr);
                return PELOX_OK;
            default:
                return PELOX_E_UNKNOWN_OPTION;
        }
    });
}

PELOX_API int32_t pelox_getPeloxInfo(int32_t selector, int32_t string) {
    return frame::runExport(true, [&]() -> int32_t {
        auto out = registry::outputString(string);
        if (!out) return PELOX_E_NO_STRING;
        switch (selector) {
            case PELOX_INFO_RETRY_COUNT:
                // The setting is unsigned: 4294967295 is shown as such, not as -1.
                assignNarrow(*out, std::to_string(settings().retryCount.load()));
                return PELOX_OK;
            case PELOX_INFO_RETRY_PAUSE:
                assignNarrow(*out, std::to_string(settings().retryPauseMs.load()));
                return PELOX_OK;
            case PELOX_INFO_VERSION:
                assignNarrow(*out, kLibraryVersion);
                return PELOX_OK;
            default:
                return PELOX_E_UNKNOWN_INFO;
        }
    });
}

PELOX_API int32_t peloxImp_checkVersion(const char* version) {
    return frame::runAccessor(u"peloxImp_checkVersion", int32_t{PELOX_E_UNEXPECTED},
                              [&] { return checkVersion(version); });
}

}  // extern "C"
