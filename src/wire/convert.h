// Conversions between the library's own values and the generated service
// records: requests are built from wide strings and vectors, replies are read
// back into them. Everything allocated here lives in the given call context
// and is freed with it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "host/tarn_exception.h"

struct soap;
class ArrayOfString;
class ArrayOfInt;
class ArrayOfNameValuePair;
class xsd__base64Binary;

namespace pelox::wire {

// A name with its list of values (the library's form of qor:NameValuePair).
using NameValues = std::pair<std::u16string, std::vector<std::u16string>>;

// ---- requests (allocated in soap; every function throws
// tarn::MemoryException when the context runs out of memory)

// UTF-16 -> UTF-8 copy in the context. A null text stays null (the member is
// then left out of the request); malformed UTF-16 and the characters XML
// forbids (a NUL included, so nothing after it is lost) become U+FFFD.
char* utf8(struct soap* soap, const char16_t* text);
// Never null: an empty view gives "".
char* utf8(struct soap* soap, std::u16string_view text);
// A copy of text that already is UTF-8.
char* copyUtf8(struct soap* soap, std::string_view text);

ArrayOfString* toArrayOfString(struct soap* soap, const std::vector<std::u16string>& values);
ArrayOfInt* toArrayOfInt(struct soap* soap, const std::vector<int>& values);
ArrayOfNameValuePair* toArrayOfNameValuePair(struct soap* soap, const std::vector<NameValues>& pairs);
xsd__base64Binary* toBase64(struct soap* soap, const unsigned char* data, size_t size);
xsd__base64Binary* toBase64(struct soap* soap, const std::vector<unsigned char>& data);

// ---- replies (null arrays, null items and null strings read as empty)

std::u16string toWide(const char* utf8Text);
std::vector<std::u16string> fromArray(const ArrayOfString* array);
std::vector<int> fromArray(const ArrayOfInt* array);
std::vector<NameValues> fromArray(const ArrayOfNameValuePair* array);
std::vector<unsigned char> fromBase64(const xsd__base64Binary* data);

// Size of a counted array; a null array or a negative count gives 0.
template <class Array>
int arraySize(const Array* array) {
    return array && array->__ptr && array->__size > 0 ? array->__size : 0;
}

// Element i of a counted array; raises "Array index out of bounds" when i is
// outside [0, size) or the array is null.
template <class Array>
auto& at(Array* array, int i) {
    if (i < 0 || i >= arraySize(array)) throw tarn::Exception("Array index out of bounds");
    return array->__ptr[i];
}

}  // namespace pelox::wire
