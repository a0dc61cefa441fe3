// Building request records from the library's values and reading replies.
#include "wire/convert.h"

#include <climits>
#include <cstring>

#include "host/tarn_util.h"
#include "soapH.h"

namespace pelox::wire {

namespace {

template <class T>
T* allocate(struct soap* soap, size_t count) {
    // Never a null pointer for an empty array: the array is then written
    // with a count of 0 instead of being left out.
    const size_t n = count ? count : 1;
    if (n > SIZE_MAX / sizeof(T)) throw tarn::MemoryException(n, sizeof(T));
    void* block = soap_malloc(soap, n * sizeof(T));
    if (!block) throw tarn::MemoryException(n, sizeof(T));
    return static_cast<T*>(block);
}

int checkedCount(size_t count, size_t elementSize) {
    if (count > static_cast<size_t>(INT_MAX)) throw tarn::MemoryException(count, elementSize);
    return static_cast<int>(count);
}

template <class T>
T* created(T* object) {
    if (!object) throw tarn::MemoryException(1, sizeof(T));
    return object;
}

}  // namespace

char* copyUtf8(struct soap* soap, std::string_view text) {
    char* copy = allocate<char>(soap, text.size() + 1);
    if (!text.empty()) std::memcpy(copy, text.data(), text.size());
    copy[text.size()] = '\0';
    return copy;
}

char* utf8(struct soap* soap, std::u16string_view text) { return copyUtf8(soap, tarn::util::ConvertStringtoXmlUTF8(text)); }

char* utf8(struct soap* soap, const char16_t* text) {
    if (!text) return nullptr;
    return utf8(soap, tarn::util::view(text));
}

ArrayOfString* toArrayOfString(struct soap* soap, const std::vector<std::u16string>& values) {
    ArrayOfString* array = created(soap_new_ArrayOfString(soap));
    const int n = checkedCount(values.size(), sizeof(char*));
    array->__ptr = allocate<char*>(soap, values.size());
    for (int i = 0; i < n; ++i) array->__ptr[i] = utf8(soap, std::u16string_view(values[static_cast<size_t>(i)]));
    array->__size = n;
    return array;
}

ArrayOfInt* toArrayOfInt(struct soap* soap, const std::vector<int>& values) {
    ArrayOfInt* array = created(soap_new_ArrayOfInt(soap));
    const int n = checkedCount(values.size(), sizeof(int));
    array->__ptr = allocate<int>(soap, values.size());
    if (n) std::memcpy(array->__ptr, values.data(), values.size() * sizeof(int));
    array->__size = n;
    return array;
}

ArrayOfNameValuePair* toArrayOfNameValuePair(struct soap* soap, const std::vector<NameValues>& pairs) {
    ArrayOfNameValuePair* array = created(soap_new_ArrayOfNameValuePair(soap));
    const int n = checkedCount(pairs.size(), sizeof(qor__NameValuePair));
    // The generated allocator constructs the records (they are classes with
    // a context pointer); it returns null for a count of 0.
    array->__ptr = n ? created(soap_new_qor__NameValuePair(soap, n)) : created(soap_new_qor__NameValuePair(soap, 1));
    for (int i = 0; i < n; ++i) {
        const NameValues& pair = pairs[static_cast<size_t>(i)];
        array->__ptr[i].name = utf8(soap, std::u16string_view(pair.first));
        array->__ptr[i].values = toArrayOfString(soap, pair.second);
    }
    array->__size = n;
    return array;
}

xsd__base64Binary* toBase64(struct soap* soap, const unsigned char* data, size_t size) {
    xsd__base64Binary* binary = created(soap_new_xsd__base64Binary(soap));
    const int n = checkedCount(size, 1);
    binary->__ptr = allocate<unsigned char>(soap, size);
    if (n && data) std::memcpy(binary->__ptr, data, size);
    binary->__size = data ? n : 0;
    return binary;
}

xsd__base64Binary* toBase64(struct soap* soap, const std::vector<unsigned char>& data) {
    return toBase64(soap, data.data(), data.size());
}

std::u16string toWide(const char* utf8Text) {
    return utf8Text ? tarn::util::ConvertUTF8toString(utf8Text) : std::u16string();
}

std::vector<std::u16string> fromArray(const ArrayOfString* array) {
    std::vector<std::u16string> out;
    const int n = arraySize(array);
    out.reserve(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) out.push_back(toWide(array->__ptr[i]));
    return out;
}

std::vector<int> fromArray(const ArrayOfInt* array) {
    const int n = arraySize(array);
    return n ? std::vector<int>(array->__ptr, array->__ptr + n) : std::vector<int>();
}

std::vector<NameValues> fromArray(const ArrayOfNameValuePair* array) {
    std::vector<NameValues> out;
    const int n = arraySize(array);
    out.reserve(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) out.emplace_back(toWide(array->__ptr[i].name), fromArray(array->__ptr[i].values));
    return out;
}

std::vector<unsigned char> fromBase64(const xsd__base64Binary* data) {
    const int n = arraySize(data);
    return n ? std::vector<unsigned char>(data->__ptr, data->__ptr + n) : std::vector<unsigned char>();
}

}  // namespace pelox::wire
