// Behaviour the service records add to the generated classes: records are
// owned by their call context and are never copied by assignment, and the
// second-generation parameter record can create its value lists.
#include "soapH.h"

#include "host/tarn_exception.h"

#define PELOX_REFUSE_ASSIGNMENT(Type, arg)                                          \
    Type& Type::operator=(const Type&) {                                            \
        throw tarn::Exception("Called " #Type " &" #Type "::operator=(const " #Type \
                              " &" #arg ")");                                       \
    }

PELOX_REFUSE_ASSIGNMENT(qor__NameValuePair, nameValuePair)
PELOX_REFUSE_ASSIGNMENT(qor__Job, job)
PELOX_REFUSE_ASSIGNMENT(qor__ServerInfo, serverInfo)
PELOX_REFUSE_ASSIGNMENT(qor__FileData, fileData)
PELOX_REFUSE_ASSIGNMENT(qor__BlockingJobData, blockingJobData)
PELOX_REFUSE_ASSIGNMENT(qor__JobData, jobData)
PELOX_REFUSE_ASSIGNMENT(qor__JobErrors, jobErrors)
PELOX_REFUSE_ASSIGNMENT(qor__ComponentVersion, componentVersion)
PELOX_REFUSE_ASSIGNMENT(qor__ParameterInfo, parameterInfo)
PELOX_REFUSE_ASSIGNMENT(qor__ParameterInfo2, parameterInfo)
PELOX_REFUSE_ASSIGNMENT(qor__ComponentInfo, componentInfo)
PELOX_REFUSE_ASSIGNMENT(qor__ComponentInfo2, componentInfo)
PELOX_REFUSE_ASSIGNMENT(qor__ValidateParametersInfo, validateParametersInfo)

namespace {

// A string array of n empty entries, allocated in the record's context.
ArrayOfString* newEmptyStrings(struct soap* soap, int n) {
    if (n < 0) n = 0;
    ArrayOfString* array = soap_new_ArrayOfString(soap);
    if (!array) throw tarn::MemoryException(1, sizeof(ArrayOfString));
    array->__size = n;
    array->__ptr = n ? static_cast<char**>(soap_malloc(soap, sizeof(char*) * static_cast<size_t>(n))) : nullptr;
    if (n && !array->__ptr) throw tarn::MemoryException(static_cast<unsigned long long>(n), sizeof(char*));
    for (int i = 0; i < n; ++i) {
        array->__ptr[i] = static_cast<char*>(soap_malloc(soap, 1));
        if (!array->__ptr[i]) throw tarn::MemoryException(1, 1);
        array->__ptr[i][0] = '\0';
    }
    return array;
}

}  // namespace

void qor__ParameterInfo2::ResizeValues(int n) {
    if (values) throw tarn::Exception("ResizeValues only creates new objects");
    values = newEmptyStrings(soap, n);
}

void qor__ParameterInfo2::ResizeLegalValues(int n) {
    if (legalValues) throw tarn::Exception("ResizeLegalValues only creates new objects");
    legalValues = newEmptyStrings(soap, n);
}
