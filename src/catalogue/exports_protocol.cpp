// pelox_getProtocolParameters and the protocolInfo_ exports: filling a
// protocol-info object from the server, then reading and editing it.
#include "catalogue/protocol_info.h"
#include "catalogue/retrieval.h"
#include "frame/frame.h"
#include "registry/access.h"
#include "frame/settings.h"
#include "host/qor_keys.h"
#include "peloxImp.h"

using namespace pelox;

namespace {

// The texts of a caller's null-terminated value list.
std::vector<std::u16string> valueList(const pelox_char* const* values) {
    std::vector<std::u16string> out;
    for (const pelox_char* const* p = values; *p; ++p) out.push_back(frame::toU16(*p));
    return out;
}

// Fills out with property N of parameter i, after bringing the validation
// up to date where the property needs it. Returns the validation's result
// (0 when none ran) or -994 for an unknown property.
int32_t readProperty(ProtocolInfo& info, uint32_t index, int32_t property, StringArray& out) {
    int32_t result = PELOX_OK;
    if (info.validationDue(property)) result = info.validate();
    std::vector<std::u16string> texts;
    if (!info.getParameterProperty(index, property, texts)) return PELOX_E_NO_PROPERTY;
    frame::setArray(out, texts);
    return result;
}

bool isLaunchName(std::u16string_view name) {
    return tarn::util::equalsIgnoreCaseAscii(name, qor::QOR_NoUI) ||
           tarn::util::equalsIgnoreCaseAscii(name, qor::QOR_ClientTempDirectory) ||
           tarn::util::equalsIgnoreCaseAscii(name, qor::QOR_WebExports);
}

}  // namespace

PELOX_API int32_t pelox_getProtocolParameters(const pelox_char* sessionId, const pelox_char* componentName,
                                              int32_t protocolInfo, int32_t flags) {
    return frame::runExport(/*initialising=*/false, [&]() -> int32_t {
        auto info = registry::outputProtocolInfo(protocolInfo);
        if (!info) return PELOX_E_NO_PROTOCOL_INFO;
        if (!sessionId || !componentName) return PELOX_E_NULL_ARGUMENT;
        SessionInfo session;
        if (!registry::copySession(frame::view(sessionId), session)) return PELOX_E_NO_SESSION;
        return retrieveProtocolInfo(*info, session, frame::view(sessionId), frame::view(componentName), flags);
    });
}

PELOX_API int32_t protocolInfo_getParameterProperty(int32_t protocolInfo, int32_t index, int32_t property,
                                                    int32_t values) {
    return frame::runExport(/*initialising=*/false, [&]() -> int32_t {
        auto out = registry::outputStringArray(values);
        if (!out) return PELOX_E_NO_STRING_ARRAY;
        auto info = registry::lockProtocolInfo(protocolInfo);
        if (!info) return PELOX_E_NO_PROTOCOL_INFO;
        // Compared as unsigned: a negative index is out of range, never read.
        if (static_cast<uint32_t>(index) >= info->parameterCount()) return PELOX_E_NO_PARAMETER;
        return readProperty(*info, static_cast<uint32_t>(index), property, *out);
    });
}

PELOX_API int32_t protocolInfo_getParameterPropertyForName(int32_t protocolInfo, const pelox_char* name,
                                                           int32_t property, int32_t values) {
    return frame::runExport(/*initialising=*/false, [&]() -> int32_t {
        if (!name) return PELOX_E_NULL_ARGUMENT;
        auto out = registry::outputStringArray(values);
        if (!out) return PELOX_E_NO_STRING_ARRAY;
        auto info = registry::lockProtocolInfo(protocolInfo);
        if (!info) return PELOX_E_NO_PROTOCOL_INFO;
        uint32_t index = 0;
        if (!info->getIndexForName(frame::view(name), index) || index >= info->parameterCount())
            return PELOX_E_NO_PARAMETER;
        return readProperty(*info, index, property, *out);
    });
}

PELOX_API int32_t protocolInfo_getParameterPropertyType(int32_t protocolInfo, const pelox_char* name, int32_t index,
                                                        int32_t property, pelox_bool* value, int32_t mode) {
    return frame::runExport(/*initialising=*/false, [&]() -> int32_t {
        if (!value) return PELOX_E_NULL_ARGUMENT;
        auto info = registry::lockProtocolInfo(protocolInfo);
        if (!info) return PELOX_E_NO_PROTOCOL_INFO;
        if (!(mode & PELOX_KIND_BOOLEAN)) return PELOX_E_LOOKUP_MODE;
        uint32_t at = 0;
        if (mode & PELOX_LOOKUP_BY_NAME) {
            if (!name) return PELOX_E_NULL_ARGUMENT;
            if (!info->getIndexForName(frame::view(name), at)) return PELOX_E_NO_PARAMETER;
        } else if (mode & PELOX_LOOKUP_BY_INDEX) {
            at = static_cast<uint32_t>(index);
        } else {
            return PELOX_E_LOOKUP_MODE;
        }
        if (at >= info->parameterCount()) return PELOX_E_NO_PARAMETER;
        bool read = false;
        if (!info->getParameterPropertyBool(at, property, read)) return PELOX_E_NO_PROPERTY;
        *value = read ? 1 : 0;
        int32_t result = PELOX_OK;
        if (info->validationDue(property)) {
            result = info->validate();
            info->getParameterPropertyBool(at, property, read);
            *value = read ? 1 : 0;
        }
        return result;
    });
}

PELOX_API int32_t protocolInfo_setParameterValues(int32_t protocolInfo, int32_t index,
                                                  const pelox_char* const* values) {
    return frame::runExport(/*initialising=*/false, [&]() -> int32_t {
        auto info = registry::lockProtocolInfo(protocolInfo);
        if (!info) return PELOX_E_NO_PROTOCOL_INFO;
        if (static_cast<uint32_t>(index) >= info->parameterCount()) return PELOX_E_NO_PARAMETER;
        if (!values || !values[0]) return PELOX_E_NULL_ARGUMENT;
        info->setParameterValues(static_cast<uint32_t>(index), valueList(values));
        return PELOX_OK;
    });
}

PELOX_API int32_t protocolInfo_setParameterValue(int32_t protocolInfo, int32_t index, const pelox_char* value) {
    return frame::runExport(/*initialising=*/false, [&]() -> int32_t {
        if (index == -1 && value && tarn::util::canCoerceToBoolean(value)) {
            auto info = registry::lockProtocolInfo(protocolInfo);
            if (!info) return PELOX_E_NO_PROTOCOL_INFO;
            info->validationEnabled = tarn::util::stringToBoolean(value, nullptr);
            return PELOX_OK;
        }
        const pelox_char* list[2] = {value, nullptr};
        return protocolInfo_setParameterValues(protocolInfo, index, list);
    });
}

PELOX_API int32_t protocolInfo_setOrAddParameter(int32_t protocolInfo, const pelox_char* name,
                                                 const pelox_char* const* values) {
    return frame::runExport(/*initialising=*/false, [&]() -> int32_t {
        if (!name || !name[0]) return PELOX_E_NULL_ARGUMENT;
        if (!values || !values[0]) return PELOX_E_NULL_ARGUMENT;
        auto info = registry::lockProtocolInfo(protocolInfo);
        if (!info) return PELOX_E_NO_PROTOCOL_INFO;
        const std::u16string_view parameterName = frame::view(name);
        uint32_t index = 0;
        if (info->getIndexForName(parameterName, index) && index < info->parameterCount()) {
            info->setParameterValues(index, valueList(values));
            return PELOX_OK;
        }
        if (isLaunchName(parameterName)) return PELOX_E_RESERVED_NAME;
        ParameterInfo added;
        added.name = std::u16string(parameterName);
        added.type = u"StringArrayType";
        info->AddCallerParameter(added);
        info->setParameterValues(info->parameterCount() - 1, valueList(values));
        return settings().validationNotices.load() ? PELOX_NOTICE_PARAMETER_ADDED : PELOX_OK;
    });
}

PELOX_API int32_t protocolInfo_addGlobalPropertyResult(int32_t protocolInfo, const pelox_char* name) {
    return frame::runExport(/*initialising=*/false, [&]() -> int32_t {
        if (!name || !name[0]) return PELOX_E_NULL_ARGUMENT;
        auto info = registry::lockProtocolInfo(protocolInfo);
        if (!info) return PELOX_E_NO_PROTOCOL_INFO;
        info->AddExport(frame::view(name));
        return PELOX_OK;
    });
}

PELOX_API int32_t protocolInfo_getProtocolStringAttribute(int32_t protocolInfo, int32_t string, int32_t selector) {
    return frame::runExport(/*initialising=*/false, [&]() -> int32_t {
        auto out = registry::outputString(string);
        if (!out) return PELOX_E_NO_STRING;
        auto info = registry::lockProtocolInfo(protocolInfo);
        if (!info) return PELOX_E_NO_PROTOCOL_INFO;
        switch (selector) {
            case PELOX_ATTR_COMMENT: frame::setText(*out, info->comment); return PELOX_OK;
            case PELOX_ATTR_DESCRIPTION: frame::setText(*out, info->description); return PELOX_OK;
            case PELOX_ATTR_GUID: frame::setText(*out, info->componentGuidFetched()); return PELOX_OK;
            case PELOX_ATTR_FULL_NAME: frame::setText(*out, info->fullName); return PELOX_OK;
            default: frame::setText(*out, u""); return PELOX_E_UNSUPPORTED;
        }
    });
}

PELOX_API int32_t protocolInfo_getProtocolComment(int32_t protocolInfo, int32_t string) {
    return protocolInfo_getProtocolStringAttribute(protocolInfo, string, PELOX_ATTR_COMMENT);
}

PELOX_API int32_t protocolInfo_getProtocolDescription(int32_t protocolInfo, int32_t string) {
    return protocolInfo_getProtocolStringAttribute(protocolInfo, string, PELOX_ATTR_DESCRIPTION);
}
