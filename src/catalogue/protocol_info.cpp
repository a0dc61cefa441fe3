#include "catalogue/protocol_info.h"

namespace pelox {

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

}  // namespace pelox
