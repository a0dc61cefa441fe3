// The protocol-info object behind a type-3 handle: a protocol's texts, its
// parameters in server order and what the server says about their validity.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace pelox {

struct ParameterInfo {
    std::u16string name, type, help;
    std::vector<std::u16string> values, legalValues, members;
    bool multipleSelect = false, required = false, advanced = false, implementation = false;
    bool isValid = true;
    std::u16string invalidDetails;
    bool isEnabled = true;
    std::u16string disabledDetails;
    bool legalValuesAreEnforced = true;
};

class ProtocolInfo {
public:
    ProtocolInfo() { clear(); }

    // Empties every text, list and the name index; the needs-validation and
    // validation-enabled flags become true, the export and server flags false.
    void clear();
    uint32_t parameterCount() const { return static_cast<uint32_t>(parameters.size()); }

    std::u16string description, comment, componentGuid, fullName;
    std::vector<ParameterInfo> parameters;
    // Parameter name (A-Z folded to a-z) -> index; a later name wins.
    std::unordered_map<std::u16string, uint32_t> nameIndex;
    bool exportsLoaded = false, exportsChanged = false;
    std::vector<std::u16string> exports;
    uint32_t serverParameterCount = 0;
    std::u16string componentName, sessionId;
    std::vector<unsigned char> validationState;
    bool needsValidation = true, validationEnabled = true;
    bool serverValidates = false, serverFindsParameters = false;
    std::string xmldbEndpoint;
};

}  // namespace pelox
