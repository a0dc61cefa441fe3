// Property collections: ordered named values of five kinds, exchanged as XML
// in job data items (client-step descriptions, error reports, ClearJob
// settings) and kept in the <properties> element of component files. The XML
// form is read and written by host/xml_functions.h.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace pelox::host {

enum class PropertyKind { Text, Flag, Integer, Texts, Integers };

// One property. The scalar kinds (Text, Flag, Integer) hold exactly one value;
// the list kinds any number. Values are kept as texts: "true"/"false" for a
// flag, decimal for integers.
struct Property {
    std::u16string key;
    PropertyKind kind = PropertyKind::Text;
    std::vector<std::u16string> values;
};

// What the XML reader makes and the writer takes.
class XmlObject {
public:
    virtual ~XmlObject() = default;
};

class CPropertyCollection : public XmlObject {
public:
    static std::unique_ptr<CPropertyCollection> newInstance();

    // Exact key (case matters); null when absent.
    const Property* find(std::u16string_view key) const;
    bool has(std::u16string_view key) const;

    // Readers: false when the key is absent (out untouched). Any kind reads as
    // text (first value, or empty); a flag from its text (stringToBoolean);
    // lists give all values (a scalar gives a one-entry list); integers parse
    // each value (stringToInteger: not a number reads as 0).
    bool getText(std::u16string_view key, std::u16string& out) const;
    bool getFlag(std::u16string_view key, bool& out) const;
    bool getTexts(std::u16string_view key, std::vector<std::u16string>& out) const;
    bool getIntegers(std::u16string_view key, std::vector<int32_t>& out) const;

    // Setters replace an existing property of that key in place (kind and
    // values), else append.
    void setText(std::u16string_view key, std::u16string_view value);
    void setFlag(std::u16string_view key, bool value);
    void setInteger(std::u16string_view key, int64_t value);
    void setTexts(std::u16string_view key, const std::vector<std::u16string>& values);
    void setIntegers(std::u16string_view key, const std::vector<int32_t>& values);
    // Replaces or appends a whole property (a scalar kind is given exactly one
    // value: the first, or the empty text).
    void set(Property property);
    // Replaces the whole content with properties, in order; of keys that occur
    // more than once the later property wins, in the place of the first.
    void assign(std::vector<Property> properties);
    // Removes the property; false when it was absent.
    bool remove(std::u16string_view key);

    const std::vector<Property>& all() const;
    size_t size() const { return properties_.size(); }

private:
    std::vector<Property> properties_;
};

}  // namespace pelox::host
