// The protocol-info object behind a type-3 handle: a protocol's texts, its
// parameters in server order and what the server says about their validity,
// with the operations the protocol-info exports and the job launch use.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "peloxImp.h"

namespace pelox {

enum class PropertyKind { Unknown, String, StringArray, Boolean };
PropertyKind propertyKind(int32_t property);
// The properties whose value the server recomputes when it validates
// (54 and 59 to 63); reading one first brings the validation up to date.
bool isValidatedProperty(int32_t property);

struct ParameterInfo {
    std::u16string name, type, help;
    std::vector<std::u16string> values, legalValues, members;
    bool multipleSelect = false, required = false, advanced = false, implementation = false;
    bool isValid = true;
    std::u16string invalidDetails;
    bool isEnabled = true;
    std::u16string disabledDetails;
    bool legalValuesAreEnforced = true;

    // Replaces a string or string-array property with the given texts (a
    // string property takes the first text, or becomes empty). Returns false
    // for a number that is not a string or string-array property.
    bool setStringArrayForProperty(int32_t property, const std::vector<std::u16string>& texts);
};

// One name with its values, as sent to the server (the same type as
// wire::NameValues, so a list goes to wire::toArrayOfNameValuePair as is).
using NameValues = std::pair<std::u16string, std::vector<std::u16string>>;

// What the name/value list builder makes.
struct NameValueList {
    std::vector<NameValues> pairs;
    // False when some enabled parameter is invalid, or required and without
    // a non-empty value (never computed with launch flag 8).
    bool complete = true;
};

enum class NameValueForm {
    Validation,  // the server's parameters only, for ValidateParameters
    Launch,      // all parameters plus the names the launch adds itself
};

class ProtocolInfo {
public:
    ProtocolInfo() { clear(); }

    // Empties every text, list and the name index; the needs-validation and
    // validation-enabled flags become true, the export and server flags false.
    void clear();
    uint32_t parameterCount() const { return static_cast<uint32_t>(parameters.size()); }

    // Appends a parameter from the server and indexes its name; the server
    // parameter count follows the parameter count.
    void AddParameterInfo(const ParameterInfo& parameter);
    // Appends a parameter the caller added; it lies behind the server's
    // parameters, so it goes out with the launch but not with validation.
    void AddCallerParameter(const ParameterInfo& parameter);
    // Index of a parameter by name (letters A-Z compared without case).
    bool getIndexForName(std::u16string_view name, uint32_t& index) const;

    // The parameter at index; tarn::InvalidIndexException when out of range.
    ParameterInfo& parameter(uint32_t index);
    const ParameterInfo& parameter(uint32_t index) const;

    // Copies property N of parameter i into out (emptied first): a string
    // gives one entry, a list all its entries, a boolean "true" or "false".
    // False for an unknown number (out stays empty).
    bool getParameterProperty(uint32_t index, int32_t property, std::vector<std::u16string>& out) const;
    // Boolean property N (55, 56, 57, 59, 61, 63, 64) of parameter i; false
    // for any other number.
    bool getParameterPropertyBool(uint32_t index, int32_t property, bool& out) const;
    // Replaces the values of parameter i and marks the object for validation.
    void setParameterValues(uint32_t index, std::vector<std::u16string> values);

    // True when a read of property N must first bring the validation up to date.
    bool validationDue(int32_t property) const {
        return serverValidates && needsValidation && isValidatedProperty(property);
    }

    // Brings the server's verdict up to date: 0 when nothing was due or the
    // server validated, -969 when validation is switched off, -3000 after a
    // validation while validation notices are on. Throws the service-request
    // exception "soap call to ValidateParameters() failed" on any failure.
    int validate();

    // The component GUID, fetched from the server with FindParameterInfo2
    // when not yet known and the server offers it (cached once known).
    const std::u16string& componentGuidFetched();
    // Asks for a global property to be returned as a job result. On the
    // first call the server's current export list is fetched.
    void AddExport(std::u16string_view name);

    // The name/value list of the parameters. Validation form: the server's
    // parameters only. Launch form: all parameters; with launch flag 1 also
    // QOR_NoUI = "false" and QOR_ClientTempDirectory = the library's
    // temporary directory (CClientTempFiles); when the exports changed,
    // QOR_WebExports = the exports joined by ",". A parameter without values
    // goes out with one empty value. The pairs go to the wire with
    // wire::toArrayOfNameValuePair.
    NameValueList buildNameValueList(int32_t launchFlags, NameValueForm form) const;
    // The same with a given client temporary directory.
    NameValueList buildNameValueList(int32_t launchFlags, NameValueForm form,
                                     std::u16string_view clientTempDirectory) const;

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

private:
    // FindParameterInfo2 for one protocol attribute; empty when the server
    // does not offer it or sends no values.
    std::u16string fetchAttribute(const char16_t* key);
    void indexName(const std::u16string& name, uint32_t index);
};

}  // namespace pelox
