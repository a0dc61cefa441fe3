// A result info (the object behind a type-4 handle): names in order, and a
// map from name (A-Z folded) to the name's values.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "frame/containers/array.h"
#include "frame/containers/hash_map.h"
#include "frame/containers/wide_string.h"

namespace pelox {

// A result info: names in order, and a map from name (A-Z folded) to the
// name's values. The names array and the map are always changed together.
class ResultInfo {
public:
    // Empties the names and the map.
    void clear();
    uint32_t nameCount() const { return names_.count(); }
    const StringArray& names() const { return names_; }
    // The values under a name (letters A-Z match a-z), or null.
    const StringArray* find(std::u16string_view name) const { return values_.find(name); }
    // Adds the name when it is new (appending it to the names) and returns
    // its value list; an existing name's list is returned unchanged.
    StringArray& addName(std::u16string_view name);
    // Adds the name when new and replaces its values.
    void setValues(std::u16string_view name, const std::vector<std::u16string>& values);
    void setValues(std::u16string_view name, const StringArray& values);
    // Adds the name when new and appends one value to it.
    void appendValue(std::u16string_view name, std::u16string_view value);

    // Low-level pieces, for producers that list only some of the names they
    // store: appendName appends to the names array only (no check for
    // duplicates); entry finds or makes the value list of a name in the map
    // only (a new list is empty).
    void appendName(std::u16string_view name) { names_.appendEmpty().assign(name); }
    StringArray& entry(std::u16string_view name) { return values_.findOrInsert(name); }

private:
    StringArray names_;
    HashMap<StringArray, WStringNoCaseKey> values_{31};
};

template <>
struct ReuseTraits<ResultInfo> {
    static void reset(ResultInfo& v) { v.clear(); }
};

}  // namespace pelox
