#include "props.h"

#include <pugixml.hpp>

#include <sstream>
#include <stdexcept>

namespace emu {

const char* kindName(PropKind k) {
    switch (k) {
        case PropKind::Text: return "text";
        case PropKind::Flag: return "flag";
        case PropKind::Integer: return "integer";
        case PropKind::Texts: return "texts";
        case PropKind::Integers: return "integers";
    }
    return "text";
}

std::optional<PropKind> kindFromName(std::string_view name) {
    if (name == "text") return PropKind::Text;
    if (name == "flag") return PropKind::Flag;
    if (name == "integer") return PropKind::Integer;
    if (name == "texts") return PropKind::Texts;
    if (name == "integers") return PropKind::Integers;
    return std::nullopt;
}

void PropertyCollection::set(Property p) {
    for (auto& existing : props_) {
        if (existing.key == p.key) {
            existing = std::move(p);
            return;
        }
    }
    props_.push_back(std::move(p));
}

void PropertyCollection::setText(const std::string& key, const std::string& value) {
    set({key, PropKind::Text, {value}});
}
void PropertyCollection::setFlag(const std::string& key, bool value) {
    set({key, PropKind::Flag, {value ? "true" : "false"}});
}
void PropertyCollection::setInteger(const std::string& key, long long value) {
    set({key, PropKind::Integer, {std::to_string(value)}});
}
void PropertyCollection::setTexts(const std::string& key, const std::vector<std::string>& values) {
    set({key, PropKind::Texts, values});
}
void PropertyCollection::setIntegers(const std::string& key, const std::vector<long long>& values) {
    Property p{key, PropKind::Integers, {}};
    for (auto v : values) p.values.push_back(std::to_string(v));
    set(std::move(p));
}

const Property* PropertyCollection::find(std::string_view key) const {
    for (const auto& p : props_)
        if (p.key == key) return &p;
    return nullptr;
}

std::optional<std::string> PropertyCollection::text(std::string_view key) const {
    const Property* p = find(key);
    if (!p) return std::nullopt;
    return p->values.empty() ? std::string() : p->values.front();
}

std::string PropertyCollection::toXml() const {
    pugi::xml_document doc;
    auto decl = doc.append_child(pugi::node_declaration);
    decl.append_attribute("version") = "1.0";
    decl.append_attribute("encoding") = "UTF-8";
    auto root = doc.append_child("properties");
    for (const auto& p : props_) {
        auto e = root.append_child("property");
        e.append_attribute("key") = p.key.c_str();
        e.append_attribute("kind") = kindName(p.kind);
        for (const auto& v : p.values) e.append_child("value").text().set(v.c_str());
    }
    std::ostringstream out;
    doc.save(out, "  ", pugi::format_default, pugi::encoding_utf8);
    return out.str();
}

PropertyCollection PropertyCollection::fromXml(std::string_view xml) {
    pugi::xml_document doc;
    auto result = doc.load_buffer(xml.data(), xml.size(), pugi::parse_default | pugi::parse_ws_pcdata_single,
                                  pugi::encoding_utf8);
    if (!result) throw std::runtime_error(std::string("property collection XML is malformed: ") + result.description());
    auto root = doc.child("properties");
    if (!root) throw std::runtime_error("property collection XML has no <properties> element");
    PropertyCollection pc;
    for (auto e : root.children("property")) {
        Property p;
        p.key = e.attribute("key").value();
        if (p.key.empty()) throw std::runtime_error("property without a key");
        auto kind = kindFromName(e.attribute("kind").as_string("text"));
        p.kind = kind ? *kind : PropKind::Text;
        for (auto v : e.children("value")) p.values.emplace_back(v.text().get());
        if ((p.kind != PropKind::Texts && p.kind != PropKind::Integers) && p.values.empty()) p.values.emplace_back();
        pc.set(std::move(p));
    }
    return pc;
}

}  // namespace emu
