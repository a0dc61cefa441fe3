// Value accessors: read strings, string-array elements and result infos.
#include "frame/frame.h"
#include "registry/access.h"

using namespace pelox;

extern "C" {

PELOX_API const pelox_char* string_getText(int32_t string) {
    return frame::runAccessor(u"string_getText", static_cast<const pelox_char*>(nullptr), [&]() -> const pelox_char* {
        auto s = registry::lockString(string);
        return s ? s->c_str() : nullptr;
    });
}

PELOX_API pelox_bool string_getBoolValue(int32_t string) {
    return frame::runAccessor(u"string_getBoolValue", pelox_bool{0}, [&]() -> pelox_bool {
        auto s = registry::lockString(string);
        if (!s) return 0;
        return tarn::util::stringToBoolean(s->data(), nullptr) ? 1 : 0;
    });
}

PELOX_API int32_t stringArray_getStringAtIndex(int32_t array, uint32_t index, int32_t string) {
    return frame::runExport(false, [&]() -> int32_t {
        auto out = registry::outputString(string);
        if (!out) return PELOX_E_NO_STRING;
        auto a = registry::lockStringArray(array);
        if (!a) return PELOX_E_NO_STRING_ARRAY;
        if (index >= a->count()) return PELOX_E_INDEX;
        out->assign((*a)[index].view());
        return PELOX_OK;
    });
}

PELOX_API const pelox_char* stringArray_getTextAtIndex(int32_t array, uint32_t index) {
    return frame::runAccessor(u"stringArray_getText", static_cast<const pelox_char*>(nullptr),
                              [&]() -> const pelox_char* {
                                  auto a = registry::lockStringArray(array);
                                  if (!a || index >= a->count()) return nullptr;
                                  return (*a)[index].c_str();
                              });
}

PELOX_API int32_t resultInfo_getNames(int32_t resultInfo, int32_t names) {
    return frame::runExport(false, [&]() -> int32_t {
        auto out = registry::outputStringArray(names);
        if (!out) return PELOX_E_NO_STRING_ARRAY;
        auto info = registry::lockResultInfo(resultInfo);
        if (!info) return PELOX_E_NO_RESULT_INFO;
        *out = info->names();
        return PELOX_OK;
    });
}

PELOX_API int32_t resultInfo_getValues(int32_t resultInfo, const pelox_char* name, int32_t values) {
    return frame::runExport(false, [&]() -> int32_t {
        auto out = registry::outputStringArray(values);
        if (!out) return PELOX_E_NO_STRING_ARRAY;
        if (!name) return PELOX_E_NULL_ARGUMENT;
        auto info = registry::lockResultInfo(resultInfo);
        if (!info) return PELOX_E_NO_RESULT_INFO;
        const StringArray* found = info->find(frame::view(name));
        if (!found) return PELOX_E_NO_RESULT_NAME;
        *out = *found;
        return PELOX_OK;
    });
}

}  // extern "C"
