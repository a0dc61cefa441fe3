// Property collections: named values of five kinds, exchanged as XML in job
// data items (client-step descriptions, error reports) and kept inside
// component files. The XML form is documented in docs/server-contract.md.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace emu {

enum class PropKind { Text, Flag, Integer, Texts, Integers };

struct Property {
    std::string key;
    PropKind kind = PropKind::Text;
    std::vector<std::string> values;  // one value for the scalar kinds
};

class PropertyCollection {
public:
    void setText(const std::string& key, const std::string& value);
    void setFlag(const std::string& key, bool value);
    void setInteger(const std::string& key, long long value);
    void setTexts(const std::string& key, const std::vector<std::string>& values);
    void setIntegers(const std::string& key, const std::vector<long long>& values);
    void set(Property p);

    const Property* find(std::string_view key) const;  // exact key
    bool has(std::string_view key) const { return find(key) != nullptr; }
    std::optional<std::string> text(std::string_view key) const;  // first value
    const std::vector<Property>& all() const { return props_; }

    // <properties> document. Throws std::runtime_error on malformed XML.
    std::string toXml() const;
    static PropertyCollection fromXml(std::string_view xml);

private:
    std::vector<Property> props_;
};

const char* kindName(PropKind k);
std::optional<PropKind> kindFromName(std::string_view name);

}  // namespace emu
