#include "catalogue/protocol_info.h"

#include <algorithm>

#include "host/platform.h"
#include "host/qor_keys.h"
#include "host/tarn_context.h"
#include "host/tarn_exception.h"
#include "host/tarn_util.h"

namespace pelox {

namespace {

std::u16string foldName(std::u16string_view name) {
    std::u16string folded(name);
    for (char16_t& c : folded)
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
    return folded;
}

const std::u16string* stringProperty(const ParameterInfo& p, int32_t property) {
    switch (property) {
        case PELOX_PROP_NAME: return &p.name;
        case PELOX_PROP_TYPE: return &p.type;
        case PELOX_PROP_HELP: return &p.help;
        case PELOX_PROP_INVALID_DETAILS: return &p.invalidDetails;
        case PELOX_PROP_DISABLED_DETAILS: return &p.disabledDetails;
        default: return nullptr;
    }
}

const std::vector<std::u16string>* arrayProperty(const ParameterInfo& p, int32_t property) {
    switch (property) {
        case PELOX_PROP_VALUES: return &p.values;
        case PELOX_PROP_LEGAL_VALUES: return &p.legalValues;
        case PELOX_PROP_MEMBERS: return &p.members;
        default: return nullptr;
    }
}

const bool* boolProperty(const ParameterInfo& p, int32_t property) {
    switch (property) {
        case PELOX_PROP_MULTIPLE_SELECT: return &p.multipleSelect;
        case PELOX_PROP_REQUIRED: return &p.required;
        case PELOX_PROP_ADVANCED: return &p.advanced;
        case PELOX_PROP_IS_VALID: return &p.isValid;
        case PELOX_PROP_IS_ENABLED: return &p.isEnabled;
        case PELOX_PROP_LEGAL_VALUES_ENFORCED: return &p.legalValuesAreEnforced;
        case PELOX_PROP_IMPLEMENTATION: return &p.implementation;
        default: return nullptr;
    }
}

}  // namespace

PropertyKind propertyKind(int32_t property) {
    const ParameterInfo probe;
    if (stringProperty(probe, property)) return PropertyKind::String;
    if (arrayProperty(probe, property)) return PropertyKind::StringArray;
    if (boolProperty(probe, property)) return PropertyKind::Boolean;
    return PropertyKind::Unknown;
}

bool isValidatedProperty(int32_t property) {
    return property == PELOX_PROP_LEGAL_VALUES || (property >= PELOX_PROP_IS_VALID && property <= PELOX_PROP_LEGAL_VALUES_ENFORCED);
}

bool ParameterInfo::setStringArrayForProperty(int32_t property, const std::vector<std::u16string>& texts) {
    return tarn::annotate(u"ParameterInfo", u"setStringArrayForProperty", [&] {
        if (auto* s = const_cast<std::u16string*>(stringProperty(*this, property))) {
            *s = texts.empty() ? std::u16string() : texts.front();
            return true;
        }
        if (auto* a = const_cast<std::vector<std::u16string>*>(arrayProperty(*this, property))) {
            *a = texts;
            return true;
        }
        return false;
    });
}

void ProtocolInfo::clear() {
    description.clear();
    comment.clear();
    componentGuid.clear();
    fullName.clear();
    parameters.clear();
    nameIndex.clear();
    exportsLoaded = exportsChanged = false;
    exports.clear();
    serverParameterCount = 0;
    componentName.clear();
    sessionId.clear();
    validationState.clear();
    needsValidation = validationEnabled = true;
    serverValidates = serverFindsParameters = false;
    xmldbEndpoint.clear();
}

void ProtocolInfo::indexName(const std::u16string& name, uint32_t index) { nameIndex[foldName(name)] = index; }

void ProtocolInfo::AddParameterInfo(const ParameterInfo& parameter) {
    tarn::annotate(u"ProtocolInfo", u"AddParameterInfo", [&] {
        parameters.push_back(parameter);
        indexName(parameter.name, parameterCount() - 1);
        serverParameterCount = parameterCount();
    });
}

void ProtocolInfo::AddCallerParameter(const ParameterInfo& parameter) {
    tarn::annotate(u"ProtocolInfo", u"AddParameterInfo", [&] {
        parameters.push_back(parameter);
        indexName(parameter.name, parameterCount() - 1);
    });
}

bool ProtocolInfo::getIndexForName(std::u16string_view name, uint32_t& index) const {
    const auto it = nameIndex.find(foldName(name));
    if (it == nameIndex.end()) return false;
    index = it->second;
    return true;
}

ParameterInfo& ProtocolInfo::parameter(uint32_t index) {
    if (index >= parameters.size())
        throw tarn::InvalidIndexException(index, static_cast<long long>(parameters.size()) - 1);
    return parameters[index];
}

const ParameterInfo& ProtocolInfo::parameter(uint32_t index) const {
    return const_cast<ProtocolInfo*>(this)->parameter(index);
}

bool ProtocolInfo::getParameterProperty(uint32_t index, int32_t property, std::vector<std::u16string>& out) const {
    out.clear();
    const ParameterInfo& p = parameter(index);
    if (const auto* s = stringProperty(p, property)) {
        out.push_back(*s);
        return true;
    }
    if (const auto* a = arrayProperty(p, property)) {
        out = *a;
        return true;
    }
    if (const bool* b = boolProperty(p, property)) {
        out.push_back(*b ? u"true" : u"false");
        return true;
    }
    return false;
}

bool ProtocolInfo::getParameterPropertyBool(uint32_t index, int32_t property, bool& out) const {
    const ParameterInfo& p = parameter(index);
    const bool* b = boolProperty(p, property);
    if (!b) return false;
    out = *b;
    return true;
}

void ProtocolInfo::setParameterValues(uint32_t index, std::vector<std::u16string> values) {
    parameter(index).values = std::move(values);
    needsValidation = true;
}

NameValueList ProtocolInfo::buildNameValueList(int32_t launchFlags, NameValueForm form) const {
    std::u16string temporary;
    if (form == NameValueForm::Launch && (launchFlags & PELOX_JOB_HANDLE_CLIENT_STEPS))
        pelox::host::CClientTempFiles::GetTemporaryFilePath(temporary);
    return buildNameValueList(launchFlags, form, temporary);
}

NameValueList ProtocolInfo::buildNameValueList(int32_t launchFlags, NameValueForm form,
                                               std::u16string_view clientTempDirectory) const {
    NameValueList list;
    const bool validation = form == NameValueForm::Validation;
    const bool checkCompleteness = (launchFlags & PELOX_JOB_SKIP_VALIDATION) == 0;
    const size_t count = validation ? std::min<size_t>(serverParameterCount, parameters.size()) : parameters.size();
    size_t size = count;
    if (!validation) {
        if (launchFlags & PELOX_JOB_HANDLE_CLIENT_STEPS) size += 2;
        if (exportsChanged) size += 1;
    }
    list.pairs.reserve(size);
    for (size_t i = 0; i < count; ++i) {
        const ParameterInfo& p = parameters[i];
        NameValues pair{p.name, p.values};
        if (pair.second.empty()) pair.second.emplace_back();
        list.pairs.push_back(std::move(pair));
        if (checkCompleteness && list.complete && p.isEnabled) {
            const bool noValue = p.values.empty() || (p.values.size() == 1 && p.values.front().empty());
            if (!p.isValid || (p.required && noValue)) list.complete = false;
        }
    }
    if (!validation) {
        if (launchFlags & PELOX_JOB_HANDLE_CLIENT_STEPS) {
            list.pairs.push_back({qor::QOR_NoUI, {u"false"}});
            list.pairs.push_back({qor::QOR_ClientTempDirectory, {std::u16string(clientTempDirectory)}});
        }
        if (exportsChanged) list.pairs.push_back({qor::QOR_WebExports, {tarn::util::joinStrings(exports, u",")}});
    }
    return list;
}

}  // namespace pelox
