// Small conversions between the SOAP layer's UTF-8 texts and arrays and the
// library's UTF-16 texts, for the session and catalogue code.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "soapH.h"

#include "host/tarn_exception.h"
#include "host/tarn_util.h"

namespace pelox::wiretext {

// A UTF-8 text from a reply (null reads as empty) as UTF-16.
inline std::u16string wide(const char* utf8) { return utf8 ? tarn::util::ConvertUTF8toString(utf8) : std::u16string(); }

// Every entry of a reply's string array, in order (an absent array is empty).
inline std::vector<std::u16string> wideArray(const ArrayOfString* array) {
    std::vector<std::u16string> out;
    if (!array || !array->__ptr || array->__size <= 0) return out;
    out.reserve(static_cast<size_t>(array->__size));
    for (int i = 0; i < array->__size; ++i) out.push_back(wide(array->__ptr[i]));
    return out;
}

// A request text allocated in the call's context (freed with it).
inline char* utf8(struct soap* soap, const std::string& text) {
    char* copy = soap_strdup(soap, text.c_str());
    if (!copy) throw tarn::MemoryException(text.size() + 1, 1);
    return copy;
}
inline char* utf8(struct soap* soap, std::u16string_view text) { return utf8(soap, tarn::util::ConvertStringtoUTF8(text)); }

// A request string array allocated in the call's context.
inline ArrayOfString* utf8Array(struct soap* soap, const std::vector<std::u16string>& texts) {
    ArrayOfString* array = soap_new_ArrayOfString(soap);
    const size_t slots = texts.empty() ? 1 : texts.size();
    char** items = array ? static_cast<char**>(soap_malloc(soap, sizeof(char*) * slots)) : nullptr;
    if (!items) throw tarn::MemoryException(slots, sizeof(char*));
    array->__size = static_cast<int>(texts.size());
    array->__ptr = items;
    for (size_t i = 0; i < texts.size(); ++i) array->__ptr[i] = utf8(soap, texts[i]);
    return array;
}

}  // namespace pelox::wiretext
