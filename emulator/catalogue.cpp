#include "catalogue.h"

#include <pugixml.hpp>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <sstream>

namespace fs = std::filesystem;

namespace emu {

const ParameterDef* Component::parameter(std::string_view n) const {
    for (const auto& p : parameters)
        if (p.name == n) return &p;
    return nullptr;
}

static bool attrBool(const pugi::xml_node& n, const char* name, bool fallback) {
    auto a = n.attribute(name);
    if (!a) return fallback;
    std::string v = a.value();
    return v == "true" || v == "1" || v == "yes";
}

static Condition readCondition(const pugi::xml_node& n) {
    Condition c;
    c.parameter = n.attribute("parameter").value();
    c.values = split(n.attribute("equals").value(), '|');
    return c;
}

static ParameterDef readParameter(const pugi::xml_node& pn) {
    ParameterDef p;
    p.name = pn.attribute("name").value();
    p.type = pn.attribute("type").as_string("text");
    p.klass = pn.attribute("class").as_string("normal");
    p.required = attrBool(pn, "required", false);
    p.multipleSelect = attrBool(pn, "multipleSelect", false);
    p.implementation = attrBool(pn, "implementation", false);
    p.enforced = attrBool(pn, "legalValuesEnforced", true);
    p.help = pn.child_value("help");
    for (auto v : pn.children("value")) p.values.emplace_back(v.text().get());
    for (auto v : pn.children("legalValue")) p.legalValues.emplace_back(v.text().get());
    for (auto v : pn.children("member")) p.members.emplace_back(v.text().get());
    for (auto v : pn.children("enabledWhen")) p.enabledWhen.push_back(readCondition(v));
    for (auto v : pn.children("legalValuesWhen")) {
        LegalValuesRule r;
        r.when = readCondition(v);
        for (auto lv : v.children("legalValue")) r.legalValues.emplace_back(lv.text().get());
        p.legalValuesWhen.push_back(std::move(r));
    }
    return p;
}

static std::vector<Step> readScript(const pugi::xml_node& script) {
    std::vector<Step> steps;
    for (auto sn : script.children("step")) {
        Step s;
        s.kind = sn.attribute("kind").value();
        s.id = sn.attribute("id").as_string(("step" + std::to_string(steps.size() + 1)).c_str());
        for (auto a : sn.attributes()) s.attrs[a.name()] = a.value();
        s.text = sn.text().get();
        steps.push_back(std::move(s));
    }
    return steps;
}

Component parseComponent(std::string_view xml) {
    pugi::xml_document doc;
    auto result = doc.load_buffer(xml.data(), xml.size(), pugi::parse_default, pugi::encoding_utf8);
    if (!result) fail(std::string("component XML is malformed: ") + result.description());
    auto root = doc.child("component");
    if (!root) fail("component XML has no <component> element");
    Component c;
    c.name = root.attribute("name").value();
    if (c.name.empty()) fail("component has no name");
    if (c.name.find('/') != std::string::npos || c.name.find('\\') != std::string::npos || c.name == "." ||
        c.name == ".." || c.name[0] == '.')
        fail("component name may not hold path separators or start with '.'");
    c.type = root.attribute("type").as_string("protocol");
    c.version = root.attribute("version").as_int(1);
    if (auto props = root.child("properties")) {
        std::ostringstream s;
        props.print(s);
        try {
            c.properties = PropertyCollection::fromXml(s.str());
        } catch (const std::exception& e) {
            fail(e.what());
        }
    }
    for (auto pn : root.child("parameters").children("parameter")) c.parameters.push_back(readParameter(pn));
    c.script = readScript(root.child("script"));
    c.xml = std::string(xml);
    return c;
}

static bool isInteger(const std::string& v) {
    if (v.empty()) return false;
    char* end = nullptr;
    errno = 0;
    std::strtoll(v.c_str(), &end, 10);
    return errno == 0 && end && *end == '\0';
}

static bool isNumber(const std::string& v) {
    if (v.empty()) return false;
    char* end = nullptr;
    std::strtod(v.c_str(), &end);
    return end && *end == '\0';
}

namespace {

using ValueMap = std::map<std::string, std::vector<std::string>>;

// The first value of a parameter: the one given, else its default.
std::string firstValueOf(const Component& c, const ValueMap& values, const std::string& name) {
    const ParameterDef* p = c.parameter(name);
    auto it = values.find(name);
    const std::vector<std::string>* v = it != values.end() ? &it->second : (p ? &p->values : nullptr);
    return v && !v->empty() ? v->front() : std::string();
}

// Whether the first value of the condition's parameter is one of its values.
bool holds(const Component& c, const ValueMap& values, const Condition& cond) {
    auto v = firstValueOf(c, values, cond.parameter);
    return std::find(cond.values.begin(), cond.values.end(), v) != cond.values.end();
}

// The legal values: those of the first legalValuesWhen that holds, else the declared ones.
std::vector<std::string> legalValuesOf(const Component& c, const ValueMap& values, const ParameterDef& p) {
    for (const auto& rule : p.legalValuesWhen)
        if (holds(c, values, rule.when)) return rule.legalValues;
    return p.legalValues;
}

// Disables the verdict when an enabledWhen condition does not hold.
void checkEnabled(const Component& c, const ValueMap& values, const ParameterDef& p, Verdict& v) {
    for (const auto& cond : p.enabledWhen) {
        if (!holds(c, values, cond)) {
            v.isEnabled = false;
            v.disabledDetails = "Enabled only when " + cond.parameter + " is " + join(cond.values, " or ");
            return;
        }
    }
}

// Checks the values of an enabled parameter: required, count, type, legal values.
void checkValues(const ParameterDef& p, const std::vector<std::string>& vals, Verdict& v) {
    auto invalid = [&](std::string details) {
        v.isValid = false;
        v.invalidDetails = std::move(details);
    };
    bool empty = std::all_of(vals.begin(), vals.end(), [](const std::string& s) { return s.empty(); });
    if (p.required && empty) return invalid("A value is required for " + p.name);
    if (!p.multipleSelect && vals.size() > 1) return invalid("Only one value may be given for " + p.name);
    for (const auto& value : vals) {
        if (value.empty()) continue;
        if ((p.type == "integer" || p.type == "int") && !isInteger(value)) return invalid("'" + value + "' is not an integer");
        if ((p.type == "number" || p.type == "double") && !isNumber(value)) return invalid("'" + value + "' is not a number");
        if (p.enforced && !v.legalValues.empty() &&
            std::find(v.legalValues.begin(), v.legalValues.end(), value) == v.legalValues.end())
            return invalid("'" + value + "' is not a legal value of " + p.name);
    }
}

}  // namespace

std::vector<Verdict> validate(const Component& c, const ValueMap& values) {
    std::vector<Verdict> out;
    for (const auto& p : c.parameters) {
        Verdict v;
        v.name = p.name;
        v.enforced = p.enforced;
        v.legalValues = legalValuesOf(c, values, p);
        checkEnabled(c, values, p, v);
        auto given = values.find(p.name);
        if (v.isEnabled) checkValues(p, given == values.end() ? p.values : given->second, v);
        out.push_back(std::move(v));
    }
    return out;
}

Catalogue::Catalogue(const fs::path& dir) : jail_(dir) {}

static std::string cleanName(std::string_view name) {
    std::string s(name);
    std::replace(s.begin(), s.end(), '\\', '/');
    while (!s.empty() && s.front() == '/') s.erase(s.begin());
    while (!s.empty() && s.back() == '/') s.pop_back();
    return s;
}

static constexpr size_t kMaxComponentBytes = 64u << 20;

fs::path Catalogue::folderPath(std::string_view folder) const {
    std::string f = cleanName(folder);
    if (f.empty()) return {};
    for (const auto& part : split(f, '/'))
        if (!part.empty() && part[0] == '.') fail("folder names may not start with '.': " + f, 403);
    return jail_.locate(f);
}

// Depth-first search for a component file of that name; links are not
// descended into (a link to a folder above would make the walk endless).
void Catalogue::findByName(const fs::path& folder, const std::string& fileName, std::vector<fs::path>& found) const {
    for (const auto& e : jail_.list(folder)) {
        if (e.name.starts_with(".")) continue;
        if (e.isFolder && !e.isLink) findByName(folder / e.name, fileName, found);
        else if (!e.isFolder && e.name == fileName) found.push_back(folder / e.name);
    }
}

fs::path Catalogue::fileFor(std::string_view componentName) const {
    std::string n = cleanName(componentName);
    if (n.empty()) fail("component name is empty");
    for (const auto& part : split(n, '/'))
        if (part.empty() || part[0] == '.') fail("component not found: " + n, 404);
    fs::path file = jail_.locate(n + ".xml");
    if (jail_.isFile(file)) return file;
    if (n.find('/') == std::string::npos) {
        std::vector<fs::path> found;
        findByName({}, n + ".xml", found);
        if (found.size() == 1) return found.front();
    }
    fail("component not found: " + n, 404);
}

fs::path Catalogue::versionsDir(const fs::path& file) const {
    return file.parent_path() / ".versions" / file.stem();
}

std::string Catalogue::fullNameOf(const fs::path& file) const {
    auto rel = file.generic_string();
    if (rel.size() > 4) rel.resize(rel.size() - 4);
    return rel;
}

Component Catalogue::load(std::string_view componentName) const {
    std::lock_guard lock(mutex_);
    auto file = fileFor(componentName);
    Component c = parseComponent(jail_.read(file, kMaxComponentBytes));
    c.fullName = fullNameOf(file);
    return c;
}

std::vector<int> Catalogue::versions(std::string_view componentName) const {
    std::lock_guard lock(mutex_);
    auto file = fileFor(componentName);
    std::vector<int> out;
    if (jail_.isFolder(versionsDir(file))) {
        for (const auto& e : jail_.list(versionsDir(file))) {
            auto stem = fs::path(e.name).stem().string();
            if (!e.isFolder && isInteger(stem)) out.push_back(std::atoi(stem.c_str()));
        }
    }
    std::sort(out.begin(), out.end());
    Component current = parseComponent(jail_.read(file, kMaxComponentBytes));
    out.push_back(current.version);
    return out;
}

Component Catalogue::loadVersion(std::string_view componentName, int version) const {
    std::lock_guard lock(mutex_);
    auto file = fileFor(componentName);
    Component current = parseComponent(jail_.read(file, kMaxComponentBytes));
    current.fullName = fullNameOf(file);
    if (version < 0 || version == current.version) return current;
    auto old = versionsDir(file) / (std::to_string(version) + ".xml");
    if (!jail_.isFile(old)) fail("component " + current.fullName + " has no version " + std::to_string(version), 404);
    Component c = parseComponent(jail_.read(old, kMaxComponentBytes));
    c.fullName = current.fullName;
    c.version = version;
    return c;
}

std::vector<std::string> Catalogue::componentNames(std::string_view folder, bool protocolsOnly) const {
    std::lock_guard lock(mutex_);
    auto dir = folderPath(folder);
    if (!jail_.isFolder(dir)) fail("folder not found: " + std::string(folder), 404);
    std::vector<std::string> out;
    for (const auto& e : jail_.list(dir)) {
        fs::path name(e.name);
        if (e.name.starts_with(".") || e.isFolder || name.extension() != ".xml") continue;
        if (protocolsOnly) {
            try {
                if (parseComponent(jail_.read(dir / name, kMaxComponentBytes)).type != "protocol") continue;
            } catch (const Fault&) {
                continue;
            }
        }
        out.push_back(name.stem().string());
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<std::string> Catalogue::folderNames(std::string_view folder) const {
    std::lock_guard lock(mutex_);
    auto dir = folderPath(folder);
    if (!jail_.isFolder(dir)) fail("folder not found: " + std::string(folder), 404);
    std::vector<std::string> out;
    for (const auto& e : jail_.list(dir))
        if (!e.name.starts_with(".") && e.isFolder) out.push_back(e.name);
    return out;
}

// The stored form of a component: its document with the version number, the
// GUID and (when missing) the registrant written in.
static std::string storedForm(std::string_view xml, int version, const std::string& guid, const std::string& registrant) {
    pugi::xml_document doc;
    doc.load_buffer(xml.data(), xml.size());
    auto root = doc.child("component");
    if (root.attribute("version"))
        root.attribute("version") = version;
    else
        root.append_attribute("version") = version;
    auto props = root.child("properties");
    if (!props) props = root.prepend_child("properties");
    auto setProp = [&](const char* key, const std::string& value, bool onlyIfMissing) {
        for (auto p : props.children("property")) {
            if (std::string(p.attribute("key").value()) == key) {
                if (onlyIfMissing) return;
                props.remove_child(p);
                break;
            }
        }
        auto p = props.append_child("property");
        p.append_attribute("key") = key;
        p.append_attribute("kind") = "text";
        p.append_child("value").text().set(value.c_str());
    };
    setProp("ComponentGUID", guid, false);
    if (!registrant.empty()) setProp("Registrant", registrant, true);
    std::ostringstream s;
    doc.save(s, "  ", pugi::format_default, pugi::encoding_utf8);
    return s.str();
}

std::string Catalogue::registerComponent(std::string_view folder, std::string_view xml, const std::string& registrant) {
    std::lock_guard lock(mutex_);
    Component incoming = parseComponent(xml);
    auto dir = folderPath(folder);
    jail_.makeFolders(dir);
    auto file = dir / (incoming.name + ".xml");
    int version = 1;
    std::string guid = incoming.prop("ComponentGUID");
    if (jail_.isFile(file)) {
        std::string current = jail_.read(file, kMaxComponentBytes);
        Component existing = parseComponent(current);
        version = existing.version + 1;
        if (guid.empty()) guid = existing.prop("ComponentGUID");
        jail_.write(versionsDir(file) / (std::to_string(existing.version) + ".xml"), current, false);
    }
    if (guid.empty()) {
        auto h = randomHex(32);
        guid = "{" + h.substr(0, 8) + "-" + h.substr(8, 4) + "-" + h.substr(12, 4) + "-" + h.substr(16, 4) + "-" +
               h.substr(20, 12) + "}";
    }
    jail_.write(file, storedForm(xml, version, guid, registrant), false);
    return guid;
}

void Catalogue::unregister(std::string_view componentName) {
    std::lock_guard lock(mutex_);
    auto file = fileFor(componentName);
    jail_.removeTree(versionsDir(file));
    jail_.remove(file);
}

void Catalogue::move(std::string_view from, std::string_view to) {
    std::lock_guard lock(mutex_);
    auto src = fileFor(from);
    std::string target = cleanName(to);
    if (target.empty()) fail("new component location is empty");
    fs::path dst;
    auto asFolder = jail_.locate(target);
    if (std::string(to).ends_with("/") || std::string(to).ends_with("\\") || jail_.isFolder(asFolder)) {
        dst = asFolder / src.filename();
    } else {
        auto leaf = split(target, '/').back();
        if (leaf.empty() || leaf[0] == '.') fail("invalid component name: " + target, 403);
        dst = jail_.locate(target + ".xml");
    }
    if (jail_.exists(dst)) fail("a component already exists at " + target, 409);
    // The component's own name follows its file name.
    pugi::xml_document doc;
    auto bytes = jail_.read(src, kMaxComponentBytes);
    if (!doc.load_buffer(bytes.data(), bytes.size())) fail("stored component is malformed", 500);
    doc.child("component").attribute("name") = dst.stem().string().c_str();
    std::ostringstream s;
    doc.save(s, "  ", pugi::format_default, pugi::encoding_utf8);
    jail_.write(dst, s.str(), false);
    if (jail_.isFolder(versionsDir(src))) jail_.rename(versionsDir(src), versionsDir(dst));
    jail_.remove(src);
}

}  // namespace emu
