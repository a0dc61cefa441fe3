// A protocol's parameters as params and run see them: read from the server,
// values set from -p NAME=VALUE, validated by the server.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "context.h"

namespace pelox::cli {

// -p NAME=VALUE arguments, grouped by name in order of first appearance; a
// name given twice gets two values.
using Assignments = std::vector<std::pair<std::string, std::vector<std::string>>>;
Assignments parseAssignments(const std::vector<std::string>& arguments);

struct ParameterRow {
    std::string name, type, parameterClass, help;
    std::vector<std::string> values, legalValues;
    bool required = false, multipleSelect = false, enabled = true, valid = true;
    std::string invalidDetails, disabledDetails;

    // What the server says about an invalid or disabled parameter.
    std::string details() const { return !valid ? invalidDetails : !enabled ? disabledDetails : std::string(); }
    Json json() const;
};

class ProtocolParameters {
public:
    // Reads the protocol's parameters (advanced and implementation ones too)
    // and its texts.
    ProtocolParameters(Context& c, std::string protocol);

    // Sets the values; a name the protocol does not have is a usage error.
    void apply(const Assignments& assignments);
    // Every parameter with its validated properties.
    std::vector<ParameterRow> rows();
    int32_t handle() const { return info_; }
    const std::string& protocol() const { return protocol_; }

    Json headerJson() const;
    void printHeader() const;
    const std::string& description() const { return description_; }
    const std::string& comment() const { return comment_; }

private:
    std::string property(int32_t index, int32_t number);
    std::vector<std::string> propertyList(int32_t index, int32_t number);
    bool flag(int32_t index, int32_t number);

    Context& c_;
    std::string protocol_;
    int32_t info_;
    int32_t version_ = -1;
    std::string description_, comment_, guid_;
    std::vector<std::string> names_;
};

}  // namespace pelox::cli
