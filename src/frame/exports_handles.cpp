// Handle exports: create, remove and measure the objects behind handles.
#include "frame/frame.h"

using namespace pelox;

extern "C" {

PELOX_API int32_t peloxImp_createObject(int32_t type) {
    // When registration fails after a handle was drawn, that number is
    // returned (it is then not registered, so later calls report it unknown).
    int32_t drawn = 0;
    const int32_t handle = frame::runAccessor(u"peloxImp_createObject", int32_t{0}, [&]() -> int32_t {
        switch (type) {
            case kTypeString: return frame::strings().create(&drawn);
            case kTypeStringArray: return frame::stringArrays().create(&drawn);
            case kTypeProtocolInfo: return frame::protocolInfos().create(&drawn);
            case kTypeResultInfo: return frame::resultInfos().create(&drawn);
            default: return 0;
        }
    });
    return handle != 0 ? handle : drawn;
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
            case kTypeString: drop(frame::strings()); break;
            case kTypeStringArray: drop(frame::stringArrays()); break;
            case kTypeProtocolInfo: drop(frame::protocolInfos()); break;
            case kTypeResultInfo: {
                // A result info is only emptied; its handle stays valid.
                auto info = frame::lockResultInfo(handle);
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
            case kTypeString:
                return measure(frame::lockString(handle), PELOX_E_NO_STRING, [](WString& s) { return s.length(); });
            case kTypeStringArray:
                return measure(frame::lockStringArray(handle), PELOX_E_NO_STRING_ARRAY,
                               [](StringArray& a) { return a.count(); });
            case kTypeProtocolInfo:
                return measure(frame::lockProtocolInfo(handle), PELOX_E_NO_PROTOCOL_INFO,
                               [](ProtocolInfo& p) { return p.parameterCount(); });
            case kTypeResultInfo:
                return measure(frame::lockResultInfo(handle), PELOX_E_NO_RESULT_INFO,
                               [](ResultInfo& r) { return r.nameCount(); });
            default:
                return PELOX_E_UNKNOWN_TYPE;
        }
    });
}

}  // extern "C"
