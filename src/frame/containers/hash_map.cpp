#include "frame/containers/hash_map.h"

#include "host/tarn_context.h"

namespace pelox::detail {

bool isPrime(uint32_t n) {
    if (n == 1 || n == 2 || n == 3) return true;
    if (n == 0 || n % 2 == 0) return false;
    const auto limit = static_cast<uint32_t>(std::sqrt(static_cast<double>(n)) + 1.0);
    for (uint32_t d = 3; d < limit; d += 2)
        if (n % d == 0) return false;
    return true;
}

uint32_t nextPrimeAbove(uint32_t m) {
    // 1 counts as prime here, so the smallest one above 0 is 1.
    if (m == 0) return 1;
    if (m == 1) return 2;
    uint32_t c = (m % 2 == 0) ? m + 1 : m + 2;
    while (!isPrime(c)) c += 2;
    return c;
}

void destructorFailure(const char16_t* className, bool unwinding) {
    try {
        throw;
    } catch (tarn::Exception& e) {
        e.appendMessage(unwinding ? tarn::pexDestructorCaught : tarn::pexDestructorThrown, className, className);
        if (unwinding) {
            tarn::Exception::warn(u"%ls", e.joined(u"\n"));
            return;
        }
        e.rethrow();
    } catch (...) {
        tarn::Exception e(unwinding ? tarn::pexDestructorSevereCaught : tarn::pexDestructorSevereThrown, className,
                          className);
        if (unwinding) {
            tarn::Exception::warn(u"%ls", e.joined(u"\n"));
            return;
        }
        throw e;
    }
}

}  // namespace pelox::detail
