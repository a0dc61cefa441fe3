// Reading error records.
#include "frame/frame.h"
#include "registry/access.h"

using namespace pelox;

extern "C" {

PELOX_API int32_t pelox_getPeloxErrors(int32_t errorId, int32_t messages) {
    // Any exception here gives -984 (storing it as a record would be
    // circular), logged under the export's name.
    return frame::runAccessor(u"pelox_getPeloxErrors", int32_t{PELOX_E_UNEXPECTED}, [&]() -> int32_t {
        frame::ensureInitialised();
        auto out = registry::outputStringArray(messages);
        if (!out) return PELOX_E_NO_STRING_ARRAY;
        if (errorId <= 0) return PELOX_E_NO_ERROR_RECORD;
        return frame::errorCache().errorForHandle(errorId, *out) ? PELOX_OK : PELOX_E_NO_ERROR_RECORD;
    });
}

}  // extern "C"
