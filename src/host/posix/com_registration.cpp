// Class registrations on POSIX: read from the registry store.
#include "host/com_registration.h"

#include "host/registry.h"

namespace pelox::host {

namespace {

bool isHex(char16_t c) { return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F'); }

// 8-4-4-4-12 hex digits, without braces.
bool isGuidBody(std::u16string_view text) {
    if (text.size() != 36) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? text[i] != u'-' : !isHex(text[i])) return false;
    }
    return true;
}

std::u16string_view trimmed(std::u16string_view text) {
    while (!text.empty() && (text.front() == u' ' || text.front() == u'\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == u' ' || text.back() == u'\t')) text.remove_suffix(1);
    return text;
}

}  // namespace

bool CLSIDFromProgID(std::u16string_view progId, std::u16string& clsid) {
    if (progId.empty()) return false;
    vcRegistry registry;
    if (!registry.Connect(RegistryRoot::ClassesRoot)) return false;
    if (!registry.Open(std::u16string(progId) + u"\\CLSID", kRegistryReadAccess)) return false;
    std::u16string value;
    if (!registry.GetStringValue(u"", value)) return false;
    std::u16string_view body = trimmed(value);
    if (body.size() == 38 && body.front() == u'{' && body.back() == u'}') body = body.substr(1, 36);
    if (!isGuidBody(body)) return false;
    clsid = StringFromCLSID(body);
    return true;
}

}  // namespace pelox::host
