// How the generated deserializers move decoded records inside the context's
// memory (growing arrays whose size the reply does not announce, resolving
// multi-reference ids). Records refuse copy-assignment so that library code
// never copies a record owned by a context (see qor_service.h). The
// runtime's own moves replace the target object by a copy of the source:
// the target is destroyed and copy-constructed in place, which copies the
// members (pointers into the same context) and sets up the target's own
// virtual table, so no object is ever copied as raw bytes.
//
// generate.sh makes soapC.cpp include this header and use these functions
// in place of assignment.
#pragma once

#include <new>

#include "stdsoap2.h"

template <class T>
inline void pelox_relocate_record(T* to, const T* from) {
    to->~T();
    ::new (static_cast<void*>(to)) T(*from);
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
