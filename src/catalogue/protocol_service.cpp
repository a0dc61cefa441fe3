// The parts of the protocol-info object that talk to the server: retrieval,
// validation and the lazily fetched protocol attributes.
#include "peloxImp.h"
#include "catalogue/protocol_info.h"
#include "catalogue/retrieval.h"
#include "soapH.h"
#include "wire/convert.h"
#include "connection/channel.h"
#include "frame/settings.h"
#include "host/qor_keys.h"
#include "host/tarn_exception.h"
#include "host/tarn_util.h"

namespace pelox {

using wire::utf8;
using wire::toWide;
using wire::fromArray;

namespace {

constexpr const char* kValidateFailed = "soap call to ValidateParameters() failed";
constexpr const char* kFindFailed = "soap call to FindParameterInfo2() failed";

}  // namespace

int ProtocolInfo::validate() {
    if (!serverValidates || !needsValidation) return 0;
    if (!validationEnabled) return PELOX_E_VALIDATION_OFF;
    const NameValueList list = buildNameValueList(0, NameValueForm::Validation);
    SoapStruct ctx;
    qor__ValidateParametersResponse response;
    const int rc = callWithRetry(ctx, kValidateFailed, [&](struct soap* s) {
        // No state yet: the member is left out.
        xsd__base64Binary* state = validationState.empty() ? nullptr : wire::toBase64(s, validationState);
        return soap_call_qor__ValidateParameters(s, xmldbEndpoint.c_str(), "", utf8(s, sessionId),
                                                 utf8(s, componentName), state,
                                                 wire::toArrayOfNameValuePair(s, list.pairs), response);
    });
    if (rc != 0) throw SoapRequestException(kValidateFailed, ctx.get());

    validationState = wire::fromBase64(response.validationState);
    if (response.item) {
        for (int i = 0; i < response.__sizeitem; ++i) {
            const qor__ValidateParametersInfo& verdict = response.item[i];
            uint32_t index = 0;
            if (!verdict.name || !getIndexForName(toWide(verdict.name), index)) continue;
            ParameterInfo& p = parameter(index);
            p.isValid = verdict.isValid;
            p.invalidDetails = toWide(verdict.invalidDetails);
            p.isEnabled = verdict.isEnabled;
            p.disabledDetails = toWide(verdict.disabledDetails);
            p.legalValuesAreEnforced = verdict.legalValuesAreEnforced;
            p.legalValues = fromArray(verdict.legalValues);
        }
    }
    needsValidation = false;
    return settings().validationNotices.load() ? PELOX_NOTICE_VALIDATED : 0;
}

std::u16string ProtocolInfo::fetchAttribute(const char16_t* key) {
    if (!serverFindsParameters) return {};
    SoapStruct ctx;
    qor__FindParameterInfoResponse2 response;
    const int rc = callWithRetry(ctx, kFindFailed, [&](struct soap* s) {
        return soap_call_qor__FindParameterInfo2(s, xmldbEndpoint.c_str(), "", utf8(s, sessionId),
                                                 utf8(s, componentName), utf8(s, std::u16string_view(key)), 0,
                                                 response);
    });
    if (rc != 0) throw SoapRequestException(kFindFailed, ctx.get());
    if (!response.values) return {};
    if (response.values->__size <= 0 || !response.values->__ptr) throw tarn::Exception("Array index out of bounds");
    return toWide(response.values->__ptr[0]);
}

const std::u16string& ProtocolInfo::componentGuidFetched() {
    if (componentGuid.empty()) componentGuid = fetchAttribute(qor::QOR_ComponentGUID);
    return componentGuid;
}

void ProtocolInfo::AddExport(std::u16string_view name) {
    if (!exportsLoaded) {
        exports = tarn::util::splitString(fetchAttribute(qor::QOR_WebExports), u",");
        exportsLoaded = true;
    }
    exports.emplace_back(name);
    exportsChanged = true;
}

bool isHiddenParameterName(std::u16string_view name) {
    static const char16_t* const kHidden[] = {qor::QOR_NoUI,           qor::QOR_ClientTempDirectory,
                                              qor::QOR_WebExports,     qor::QOR_ComponentAttributes,
                                              qor::QOR_OnDataTypeError, qor::QOR_OnGeneralError,
                                              qor::QOR_ComponentHelp};
    for (const char16_t* hidden : kHidden)
        if (tarn::util::equalsIgnoreCaseAscii(name, hidden)) return true;
    return false;
}

namespace {

// The class test: "normal" always, "advanced" with flag bit 1; exact spelling.
bool passesClassTest(const char* parameterClass, int32_t flags, bool& advanced) {
    if (!parameterClass) return false;
    const std::string_view c(parameterClass);
    if (c == "normal") {
        advanced = false;
        return true;
    }
    if (c == "advanced" && (flags & PELOX_PARAMS_ADVANCED)) {
        advanced = true;
        return true;
    }
    return false;
}

bool passesNameTest(const char* name) { return name && *name && !isHiddenParameterName(toWide(name)); }

template <class Record>
ParameterInfo commonFields(const Record& r, bool advanced) {
    ParameterInfo p;
    p.name = toWide(r.name);
    p.help = toWide(r.help);
    p.type = toWide(r.type);
    p.required = r.required;
    p.multipleSelect = r.multipleSelect;
    p.values = fromArray(r.values);
    p.legalValues = fromArray(r.legalValues);
    p.advanced = advanced;
    return p;
}

template <class Answer>
void copyTexts(ProtocolInfo& info, const Answer& answer, std::u16string_view componentName) {
    info.description = toWide(answer.description);
    info.comment = toWide(answer.comment);
    info.fullName = toWide(answer.fullName);
    info.componentName = std::u16string(componentName);
}

}  // namespace

int retrieveProtocolInfo(ProtocolInfo& info, const SessionInfo& session, std::u16string_view sessionId,
                         std::u16string_view componentName, int32_t flags) {
    info.sessionId = std::u16string(sessionId);
    info.xmldbEndpoint = session.xmldbEndpoint;
    info.serverValidates = session.hasComponentInfo2;
    info.serverFindsParameters = session.hasFindParameterInfo2;
    const std::string endpoint = session.xmldbEndpoint;
    SoapStruct ctx;

    if (info.serverValidates) {
        qor__GetComponentInfoResponse2 answer;
        const int rc = callWithRetry(ctx, "soap call to GetComponentInfo2() failed", [&](struct soap* s) {
            return soap_call_qor__GetComponentInfo2(s, endpoint.c_str(), "", utf8(s, sessionId),
                                                    utf8(s, componentName), 0, answer);
        });
        if (rc != 0) return rc;
        copyTexts(info, answer, componentName);
        if (answer.parameters && answer.parameters->__ptr) {
            for (int i = 0; i < answer.parameters->__size; ++i) {
                const qor__ParameterInfo2& r = answer.parameters->__ptr[i];
                bool advanced = false;
                if (!passesClassTest(r.class_, flags, advanced) || !passesNameTest(r.name)) continue;
                if (r.implementation && !(flags & PELOX_PARAMS_IMPLEMENTATION)) continue;
                ParameterInfo p = commonFields(r, advanced);
                p.members = fromArray(r.members);
                p.implementation = r.implementation;
                info.AddParameterInfo(p);
            }
        }
        return 0;
    }

    qor__GetComponentInfoResponse answer;
    const int rc = callWithRetry(ctx, "soap call to GetComponentInfo() failed", [&](struct soap* s) {
        return soap_call_qor__GetComponentInfo(s, endpoint.c_str(), "", utf8(s, sessionId), utf8(s, componentName),
                                               answer);
    });
    if (rc != 0) return rc;
    copyTexts(info, answer, componentName);
    if (answer.parameters && answer.parameters->__ptr) {
        for (int i = 0; i < answer.parameters->__size; ++i) {
            const qor__ParameterInfo& r = answer.parameters->__ptr[i];
            bool advanced = false;
            if (!passesClassTest(r.class_, flags, advanced)) {
                // Hidden parameters carry the protocol's own attributes.
                const std::u16string name = toWide(r.name);
                const std::vector<std::u16string> values = fromArray(r.values);
                if (tarn::util::equalsIgnoreCaseAscii(name, qor::QOR_ComponentGUID)) {
                    if (!values.empty()) info.componentGuid = values.front();
                } else if (tarn::util::equalsIgnoreCaseAscii(name, qor::QOR_WebExports)) {
                    info.exports = tarn::util::splitString(values.empty() ? std::u16string() : values.front(), u",");
                    info.exportsLoaded = true;
                }
                continue;
            }
            if (!passesNameTest(r.name)) continue;
            info.AddParameterInfo(commonFields(r, advanced));
        }
    }
    return 0;
}

}  // namespace pelox
