// How the generated deserializers move decoded records inside the context's
// memory (growing arrays whose size the reply does not announce, resolving
// multi-reference ids). Records refuse copy-assignment so that library code
// never copies a record owned by a context; the runtime's own moves are
// plain byte moves of complete objects of one type instead, which is all
// they are (the records hold pointers into the same context).
//
// generate.sh makes soapC.cpp include this header and use these functions
// in place of assignment.
#pragma once

#include <cstring>

#include "stdsoap2.h"

template <class T>
inline void pelox_relocate_record(T* to, const T* from) {
    std::memcpy(static_cast<void*>(to), static_cast<const void*>(from), sizeof(T));
}

// soap_block<T>::save without assignment.
template <class T>
inline void pelox_save_records(struct soap* soap, struct soap_blist* b, T* p) {
    if (!b) b = soap->blist;
    for (T* q = reinterpret_cast<T*>(soap_first_block(soap, b)); q; q = reinterpret_cast<T*>(soap_next_block(soap, b))) {
        soap_update_pointers(soap, reinterpret_cast<const char*>(p), reinterpret_cast<const char*>(q), sizeof(T));
        pelox_relocate_record(p++, q);
        q->~T();
    }
    soap_end_block(soap, b);
}
