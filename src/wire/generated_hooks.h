// Functions that the generated serializers call in place of their own code,
// where the runtime's behaviour is not the wire format the server expects.
// generate.sh makes soapC.cpp and soapClient.cpp include this header and
// call them; each rule there names the function it uses.
#pragma once

#include <cstring>
#include <string>

#include "host/tarn_util.h"
#include "stdsoap2.h"

// Every text element is written as XML 1.0 a conforming parser accepts: the
// characters XML forbids become U+FFFD (see tarn::util::makeXmlSafeUTF8).
// Returns text itself when it needs no change, else a copy in the context's
// memory (the same copy for the measuring and the sending pass, since both
// are made from the same text).
inline char* const* pelox_xml_text(struct soap* soap, char* const* text) {
    if (!text || !*text) return text;
    std::string safe;
    if (!tarn::util::makeXmlSafeUTF8(*text, safe)) return text;
    char** holder = static_cast<char**>(soap_malloc(soap, sizeof(char*)));
    char* copy = static_cast<char*>(soap_malloc(soap, safe.size() + 1));
    if (!holder || !copy) return text;  // out of memory: the runtime's own escaping
    std::memcpy(copy, safe.c_str(), safe.size() + 1);
    *holder = copy;
    return holder;
}

// Whether an encoded array is read into storage of the size its arrayType
// announces. Only a size of 1 to kPresizedArrayLimit items is trusted; an
// array without a size ("xsd:string[]"), with a size of 0 or with a larger
// one is read item by item as the items come, so a reply can neither make
// the context allocate what it does not hold nor lose the items of an array
// whose size it left out.
inline constexpr int kPresizedArrayLimit = 100000;
inline bool pelox_presized_array(struct soap* soap) {
    if (!*soap->arraySize) return false;
    int size = 0;
    soap_getsizes(soap->arraySize, &size, 1);
    return size > 0 && size <= kPresizedArrayLimit;
}

// A reply whose Body holds no element at all (<SOAP-ENV:Body/>) carries
// neither the response nor a fault. The runtime would return success with
// every member at its default; the call fails instead.
inline int pelox_no_response(struct soap* soap) {
    soap_set_sender_error(soap, "The reply held no response", "The Body of the reply holds neither the response element nor a SOAP Fault", SOAP_NO_TAG);
    return soap_closesock(soap);
}
