// Handle exports: create, remove and measure the objects behind handles.
#include "frame/frame.h"
#include "registry/access.h"

using namespace pelox;

extern "C" {

PELOX_API int32_t peloxImp_createObject(int32_t type) {
    // When registration fails (no memory for the entry) the call fails with
    // 0: the number already drawn is never issued, and handing it out would
    // report success for an object that does not exist.
    return frame::runAccessor(u"peloxImp_createObject", int32_t{0}, [&]() -> int32_t {
        switch (type) {
            case PELOX_OBJECT_STRING: return registry::strings().create();
            case PELOX_OBJECT_STRING_ARRAY: return registry::stringArrays().create();
            case PELOX_OBJECT_PROTOCOL_INFO: return registry::protocolInfos().create();
            case PELOX_OBJECT_RESULT_INFO: return registry::resultInfos().create();
            default: return 0;
        }
    });
}

PELOX_API void peloxImp_removeObject(int32_t type, int32_t handle) {
    frame::runAccessor(u"peloxImp_removeObject", 0, [&] {
        auto drop = [handle](auto& registry) {
            Guard guard(registry.lock());
            if (auto* object = registry.find(handle)) {
                object->clear();
                registry.remove(handle);
            }
        };
        switch (type) {
            case PELOX_OBJECT_STRING: drop(registry::strings()); break;
            case PELOX_OBJECT_STRING_ARRAY: drop(registry::stringArrays()); break;
            case PELOX_OBJECT_PROTOCOL_INFO: drop(registry::protocolInfos()); break;
            case PELOX_OBJECT_RESULT_INFO: {
                // A result info is only emptied; its handle stays valid.
                auto info = registry::lockResultInfo(handle);
                if (info) info->clear();
                break;
            }
            default: break;
        }
        return 0;
    });
}

PELOX_API int32_t peloxImp_getObjectSize(int32_t type, int32_t handle, int32_t* size) {
    return frame::runExport(false, [&]() -> int32_t {
        auto measure = [&](auto locked, int32_t missing, auto sizeOf) -> int32_t {
            if (!locked) return missing;
            if (!size) return PELOX_E_NULL_ARGUMENT;
            *size = static_cast<int32_t>(sizeOf(*locked));
            return PELOX_OK;
        };
        switch (type) {
            case PELOX_OBJECT_STRING:
                return measure(registry::lockString(handle), PELOX_E_NO_STRING, [](WString& s) { return s.length(); });
            case PELOX_OBJECT_STRING_ARRAY:
                return measure(registry::lockStringArray(handle), PELOX_E_NO_STRING_ARRAY,
                               [](StringArray& a) { return a.count(); });
            case PELOX_OBJECT_PROTOCOL_INFO:
                return measure(registry::lockProtocolInfo(handle), PELOX_E_NO_PROTOCOL_INFO,
                               [](ProtocolInfo& p) { return p.parameterCount(); });
            case PELOX_OBJECT_RESULT_INFO:
                return measure(registry::lockResultInfo(handle), PELOX_E_NO_RESULT_INFO,
                               [](ResultInfo& r) { return r.nameCount(); });
            default:
                return PELOX_E_UNKNOWN_TYPE;
        }
    });
}

}  // extern "C"
