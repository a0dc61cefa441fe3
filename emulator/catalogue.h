// The protocol catalogue: one XML file per component under <root>/catalogue,
// folders as directories, older versions kept in a hidden ".versions"
// directory next to the component. File format: docs/server-contract.md.
#pragma once

#include "jail.h"
#include "props.h"
#include "util.h"

#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace emu {

struct Condition {
    std::string parameter;
    std::vector<std::string> values;  // the condition holds when the first value is one of these
};

struct LegalValuesRule {
    Condition when;
    std::vector<std::string> legalValues;
};

struct ParameterDef {
    std::string name, type, help, klass;
    bool required = false, multipleSelect = false, implementation = false, enforced = true;
    std::vector<std::string> values, legalValues, members;
    std::vector<Condition> enabledWhen;
    std::vector<LegalValuesRule> legalValuesWhen;
};

struct Step {
    std::string kind, id;
    std::map<std::string, std::string> attrs;
    std::string text;
    std::string attr(const std::string& key, const std::string& fallback = "") const {
        auto it = attrs.find(key);
        return it == attrs.end() ? fallback : it->second;
    }
};

struct Component {
    std::string name;      // file name without ".xml"
    std::string fullName;  // folder path + "/" + name, relative to the catalogue
    std::string type;      // "protocol" or "component"
    int version = 1;
    PropertyCollection properties;
    std::vector<ParameterDef> parameters;
    std::vector<Step> script;
    std::string xml;  // the file as stored

    std::string prop(const std::string& key) const { return properties.text(key).value_or(""); }
    const ParameterDef* parameter(std::string_view name) const;
};

// Parses a component document. Throws Fault on malformed content.
Component parseComponent(std::string_view xml);

struct Verdict {
    std::string name;
    bool isValid = true, isEnabled = true, enforced = true;
    std::string invalidDetails, disabledDetails;
    std::vector<std::string> legalValues;
};

// Computes validity, enabled state and legal values from the declared rules.
// values maps parameter names to their values (absent: the defaults).
std::vector<Verdict> validate(const Component& c, const std::map<std::string, std::vector<std::string>>& values);

class Catalogue {
public:
    // dir is created when missing.
    explicit Catalogue(const std::filesystem::path& dir);
    const std::filesystem::path& dir() const { return jail_.path(); }
    // Every file operation of the catalogue goes through this confinement.
    const Jail& jail() const { return jail_; }

    // componentName: "Folder/Sub/Name" (backslashes and a leading "/" are
    // accepted); a bare name is looked up in the whole tree when unique.
    Component load(std::string_view componentName) const;
    std::vector<int> versions(std::string_view componentName) const;
    Component loadVersion(std::string_view componentName, int version) const;

    std::vector<std::string> componentNames(std::string_view folder, bool protocolsOnly) const;
    std::vector<std::string> folderNames(std::string_view folder) const;

    // Stores a component into folder; an existing one of the same name keeps
    // its current file as an older version. Returns the component GUID.
    std::string registerComponent(std::string_view folder, std::string_view xml, const std::string& registrant);
    void unregister(std::string_view componentName);
    void move(std::string_view from, std::string_view to);

private:
    // Locations below are relative to the catalogue folder.
    std::filesystem::path fileFor(std::string_view componentName) const;
    std::filesystem::path folderPath(std::string_view folder) const;
    std::filesystem::path versionsDir(const std::filesystem::path& file) const;
    std::string fullNameOf(const std::filesystem::path& file) const;
    void findByName(const std::filesystem::path& folder, const std::string& fileName,
                    std::vector<std::filesystem::path>& found) const;

    Jail jail_;
    mutable std::recursive_mutex mutex_;
};

}  // namespace emu
