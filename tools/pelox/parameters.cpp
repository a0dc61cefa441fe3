#include "parameters.h"

#include <algorithm>

namespace pelox::cli {

namespace {

bool sameName(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

}  // namespace

Assignments parseAssignments(const std::vector<std::string>& arguments) {
    Assignments out;
    for (const std::string& a : arguments) {
        const size_t eq = a.find('=');
        if (eq == std::string::npos || eq == 0) throw Failure(kExitUsage, "-p needs NAME=VALUE, not '" + a + "'");
        const std::string name = a.substr(0, eq), value = a.substr(eq + 1);
        auto it = std::find_if(out.begin(), out.end(), [&](const auto& entry) { return sameName(entry.first, name); });
        if (it == out.end())
            out.emplace_back(name, std::vector<std::string>{value});
        else
            it->second.push_back(value);
    }
    return out;
}

Json ParameterRow::json() const {
    return Json{{"name", name},
                {"type", type},
                {"class", parameterClass},
                {"required", required},
                {"multipleSelect", multipleSelect},
                {"values", values},
                {"legalValues", legalValues},
                {"enabled", enabled},
                {"valid", valid},
                {"details", details()},
                {"help", help}};
}

ProtocolParameters::ProtocolParameters(Context& c, std::string protocol)
    : c_(c), protocol_(std::move(protocol)), info_(c.objects.protocolInfo()) {
    const std::u16string& session = c.session();
    const std::u16string name = toU16(protocol_);
    try {
        check("pelox_getProtocolParameters",
              pelox_getProtocolParameters(session.c_str(), name.c_str(), info_,
                                          PELOX_PARAMS_ADVANCED | PELOX_PARAMS_IMPLEMENTATION));
    } catch (const CallFailed& failure) {
        // The server's fault for a name it does not know says less than the
        // catalogue does: say which names are near.
        if (failure.code <= 0) throw;
        if (auto missing = notInCatalogue(c, protocol_, false)) throw Failure(kExitNegative, *missing);
        throw;
    }
    check("pelox_getProtocolVersion", pelox_getProtocolVersion(session.c_str(), name.c_str(), &version_));
    const int32_t s = c.objects.string(1);
    check("protocolInfo_getProtocolDescription", protocolInfo_getProtocolDescription(info_, s));
    description_ = text(s);
    check("protocolInfo_getProtocolComment", protocolInfo_getProtocolComment(info_, s));
    comment_ = text(s);
    check("protocolInfo_getProtocolStringAttribute", protocolInfo_getProtocolStringAttribute(info_, s, PELOX_ATTR_GUID));
    guid_ = text(s);
    int32_t count = 0;
    check("peloxImp_getObjectSize", peloxImp_getObjectSize(PELOX_OBJECT_PROTOCOL_INFO, info_, &count));
    for (int32_t i = 0; i < count; ++i) names_.push_back(property(i, PELOX_PROP_NAME));
}

std::vector<std::string> ProtocolParameters::propertyList(int32_t index, int32_t number) {
    const int32_t array = c_.objects.array(3);
    check("protocolInfo_getParameterProperty", protocolInfo_getParameterProperty(info_, index, number, array));
    return items(array);
}

std::string ProtocolParameters::property(int32_t index, int32_t number) {
    return joined(propertyList(index, number), "\n");
}

bool ProtocolParameters::flag(int32_t index, int32_t number) {
    pelox_bool value = 0;
    check("protocolInfo_getParameterPropertyType",
          protocolInfo_getParameterPropertyType(info_, nullptr, index, number, &value,
                                                PELOX_KIND_BOOLEAN | PELOX_LOOKUP_BY_INDEX));
    return value != 0;
}

void ProtocolParameters::apply(const Assignments& assignments) {
    for (const auto& [name, values] : assignments) {
        auto it = std::find_if(names_.begin(), names_.end(), [&](const std::string& n) { return sameName(n, name); });
        if (it == names_.end())
            throw Failure(kExitUsage, protocol_ + " has no parameter " + name + " (its parameters: " + joined(names_) + ")");
        std::vector<std::u16string> wide;
        for (const std::string& v : values) wide.push_back(toU16(v));
        std::vector<const pelox_char*> list;
        for (const std::u16string& w : wide) list.push_back(w.c_str());
        list.push_back(nullptr);
        check("protocolInfo_setParameterValues",
              protocolInfo_setParameterValues(info_, static_cast<int32_t>(it - names_.begin()), list.data()));
    }
}

std::vector<ParameterRow> ProtocolParameters::rows() {
    std::vector<ParameterRow> out;
    for (int32_t i = 0; i < static_cast<int32_t>(names_.size()); ++i) {
        ParameterRow row;
        row.name = names_[static_cast<size_t>(i)];
        row.type = property(i, PELOX_PROP_TYPE);
        row.help = property(i, PELOX_PROP_HELP);
        row.values = propertyList(i, PELOX_PROP_VALUES);
        row.legalValues = propertyList(i, PELOX_PROP_LEGAL_VALUES);
        row.required = flag(i, PELOX_PROP_REQUIRED);
        row.multipleSelect = flag(i, PELOX_PROP_MULTIPLE_SELECT);
        row.parameterClass = flag(i, PELOX_PROP_IMPLEMENTATION) ? "implementation"
                             : flag(i, PELOX_PROP_ADVANCED)     ? "advanced"
                                                                : "normal";
        row.enabled = flag(i, PELOX_PROP_IS_ENABLED);
        row.valid = flag(i, PELOX_PROP_IS_VALID);
        if (!row.valid) row.invalidDetails = property(i, PELOX_PROP_INVALID_DETAILS);
        if (!row.enabled) row.disabledDetails = property(i, PELOX_PROP_DISABLED_DETAILS);
        out.push_back(std::move(row));
    }
    return out;
}

Json ProtocolParameters::headerJson() const {
    return Json{{"protocol", protocol_},
                {"version", version_},
                {"description", description_},
                {"comment", comment_},
                {"guid", guid_}};
}

void ProtocolParameters::printHeader() const {
    c_.out.line(protocol_ + (version_ >= 0 ? " (version " + std::to_string(version_) + ")" : ""));
    if (!description_.empty()) c_.out.line("  " + description_);
    if (!comment_.empty()) c_.out.line("  " + comment_);
    if (!guid_.empty()) c_.out.line("  GUID " + guid_);
}

}  // namespace pelox::cli
