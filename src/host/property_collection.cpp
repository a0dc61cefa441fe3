#include "host/property_collection.h"

#include <unordered_map>
#include <utility>

#include "host/tarn_util.h"

namespace pelox::host {

namespace {

bool isScalar(PropertyKind kind) { return kind != PropertyKind::Texts && kind != PropertyKind::Integers; }

std::u16string decimal(int64_t value) {
    const std::string text = std::to_string(value);
    return std::u16string(text.begin(), text.end());
}

}  // namespace

std::unique_ptr<CPropertyCollection> CPropertyCollection::newInstance() {
    return std::make_unique<CPropertyCollection>();
}

const Property* CPropertyCollection::find(std::u16string_view key) const {
    for (const Property& p : properties_)
        if (p.key == key) return &p;
    return nullptr;
}

bool CPropertyCollection::has(std::u16string_view key) const { return find(key) != nullptr; }

bool CPropertyCollection::getText(std::u16string_view key, std::u16string& out) const {
    const Property* p = find(key);
    if (!p) return false;
    out = p->values.empty() ? std::u16string() : p->values.front();
    return true;
}

bool CPropertyCollection::getFlag(std::u16string_view key, bool& out) const {
    const Property* p = find(key);
    if (!p) return false;
    out = !p->values.empty() && tarn::util::stringToBoolean(p->values.front().c_str(), nullptr);
    return true;
}

bool CPropertyCollection::getTexts(std::u16string_view key, std::vector<std::u16string>& out) const {
    const Property* p = find(key);
    if (!p) return false;
    out = p->values;
    return true;
}

bool CPropertyCollection::getIntegers(std::u16string_view key, std::vector<int32_t>& out) const {
    const Property* p = find(key);
    if (!p) return false;
    std::vector<int32_t> numbers;
    numbers.reserve(p->values.size());
    for (const std::u16string& v : p->values) numbers.push_back(tarn::util::stringToInteger(v.c_str(), nullptr, true));
    out = std::move(numbers);
    return true;
}

void CPropertyCollection::set(Property property) {
    if (isScalar(property.kind) && property.values.size() != 1) property.values.resize(1);
    for (Property& existing : properties_) {
        if (existing.key == property.key) {
            existing = std::move(property);
            return;
        }
    }
    properties_.push_back(std::move(property));
}

void CPropertyCollection::assign(std::vector<Property> properties) {
    std::vector<Property> result;
    result.reserve(properties.size());
    std::unordered_map<std::u16string, size_t> position;
    for (Property& p : properties) {
        if (isScalar(p.kind) && p.values.size() != 1) p.values.resize(1);
        auto [it, inserted] = position.try_emplace(p.key, result.size());
        if (inserted)
            result.push_back(std::move(p));
        else
            result[it->second] = std::move(p);
    }
    properties_ = std::move(result);
}

void CPropertyCollection::setText(std::u16string_view key, std::u16string_view value) {
    set(Property{std::u16string(key), PropertyKind::Text, {std::u16string(value)}});
}

void CPropertyCollection::setFlag(std::u16string_view key, bool value) {
    set(Property{std::u16string(key), PropertyKind::Flag, {value ? u"true" : u"false"}});
}

void CPropertyCollection::setInteger(std::u16string_view key, int64_t value) {
    set(Property{std::u16string(key), PropertyKind::Integer, {decimal(value)}});
}

void CPropertyCollection::setTexts(std::u16string_view key, const std::vector<std::u16string>& values) {
    set(Property{std::u16string(key), PropertyKind::Texts, values});
}

void CPropertyCollection::setIntegers(std::u16string_view key, const std::vector<int32_t>& values) {
    Property p{std::u16string(key), PropertyKind::Integers, {}};
    p.values.reserve(values.size());
    for (int32_t v : values) p.values.push_back(decimal(v));
    set(std::move(p));
}

bool CPropertyCollection::remove(std::u16string_view key) {
    for (auto it = properties_.begin(); it != properties_.end(); ++it) {
        if (it->key == key) {
            properties_.erase(it);
            return true;
        }
    }
    return false;
}

const std::vector<Property>& CPropertyCollection::all() const { return properties_; }

}  // namespace pelox::host
