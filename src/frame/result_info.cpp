#include "frame/result_info.h"

namespace pelox {

void ResultInfo::clear() {
    names_.clear();
    values_.clear();
}

StringArray& ResultInfo::addName(std::u16string_view name) {
    bool inserted = false;
    StringArray& values = values_.findOrInsert(name, &inserted);
    if (inserted) {
        try {
            names_.appendEmpty().assign(name);
        } catch (...) {
            values_.remove(name);
            throw;
        }
    }
    return values;
}

void ResultInfo::setValues(std::u16string_view name, const std::vector<std::u16string>& values) {
    assign(addName(name), values);
}

void ResultInfo::setValues(std::u16string_view name, const StringArray& values) {
    StringArray& slot = addName(name);
    if (&slot != &values) slot = values;
}

void ResultInfo::appendValue(std::u16string_view name, std::u16string_view value) {
    addName(name).appendEmpty().assign(value);
}

}  // namespace pelox
