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
    for (auto pn : root.child("parameters").children("parameter")) {
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
        c.parameters.push_back(std::move(p));
    }
    int n = 0;
    for (auto sn : root.child("script").children("step")) {
        Step s;
        s.kind = sn.attribute("kind").value();
        ++n;
        s.id = sn.attribute("id").as_string(("step" + std::to_string(n)).c_str());
        for (auto a : sn.attributes()) s.attrs[a.name()] = a.value();
        s.text = sn.text().get();
        c.script.push_back(std::move(s));
    }
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

std::vector<Verdict> validate(const Component& c, const std::map<std::string, std::vector<std::string>>& values) {
    auto valuesOf = [&](const ParameterDef& p) -> const std::vector<std::string>& {
        auto it = values.find(p.name);
        return it == values.end() ? p.values : it->second;
    };
    auto firstValueOf = [&](const std::string& name) -> std::string {
        const ParameterDef* p = c.parameter(name);
        auto it = values.find(name);
        const std::vector<std::string>* v = it != values.end() ? &it->second : (p ? &p->values : nullptr);
        return v && !v->empty() ? v->front() : std::string();
    };
    auto holds = [&](const Condition& cond) {
        auto v = firstValueOf(cond.parameter);
        return std::find(cond.values.begin(), cond.values.end(), v) != cond.values.end();
    };
    std::vector<Verdict> out;
    for (const auto& p : c.parameters) {
        Verdict v;
        v.name = p.name;
        v.enforced = p.enforced;
        v.legalValues = p.legalValues;
        for (const auto& rule : p.legalValuesWhen) {
            if (holds(rule.when)) {
                v.legalValues = rule.legalValues;
                break;
            }
        }
        for (const auto& cond : p.enabledWhen) {
            if (!holds(cond)) {
                v.isEnabled = false;
                v.disabledDetails = "Enabled only when " + cond.parameter + " is " + join(cond.values, " or ");
                break;
            }
        }
        const auto& vals = valuesOf(p);
        if (v.isEnabled) {
            bool empty = std::all_of(vals.begin(), vals.end(), [](const std::string& s) { return s.empty(); });
            if (p.required && empty) {
                v.isValid = false;
                v.invalidDetails = "A value is required for " + p.name;
            } else if (!p.multipleSelect && vals.size() > 1) {
                v.isValid = false;
                v.invalidDetails = "Only one value may be given for " + p.name;
            } else {
                for (const auto& value : vals) {
                    if (value.empty()) continue;
                    if ((p.type == "integer" || p.type == "int") && !isInteger(value)) {
                        v.isValid = false;
                        v.invalidDetails = "'" + value + "' is not an integer";
                        break;
                    }
                    if ((p.type == "number" || p.type == "double") && !isNumber(value)) {
                        v.isValid = false;
                        v.invalidDetails = "'" + value + "' is not a number";
                        break;
                    }
                    if (p.enforced && !v.legalValues.empty() &&
                        std::find(v.legalValues.begin(), v.legalValues.end(), value) == v.legalValues.end()) {
                        v.isValid = false;
                        v.invalidDetails = "'" + value + "' is not a legal value of " + p.name;
                        break;
                    }
                }
            }
        }
        out.push_back(std::move(v));
    }
    return out;
}

Catalogue::Catalogue(fs::path dir) : dir_(std::move(dir)) {
    std::error_code ec;
    fs::create_directories(dir_, ec);
    dir_ = fs::weakly_canonical(dir_, ec);
}

static std::string cleanName(std::string_view name) {
    std::string s(name);
    std::replace(s.begin(), s.end(), '\\', '/');
    while (!s.empty() && s.front() == '/') s.erase(s.begin());
    while (!s.empty() && s.back() == '/') s.pop_back();
    return s;
}

fs::path Catalogue::folderPath(std::string_view folder) const {
    std::string f = cleanName(folder);
    if (f.empty()) return dir_;
    for (const auto& part : split(f, '/'))
        if (!part.empty() && part[0] == '.') fail("folder names may not start with '.': " + f, 403);
    return resolveInside(dir_, dir_, f);
}

fs::path Catalogue::fileFor(std::string_view componentName) const {
    std::string n = cleanName(componentName);
    if (n.empty()) fail("component name is empty");
    for (const auto& part : split(n, '/'))
        if (part.empty() || part[0] == '.') fail("component not found: " + n, 404);
    fs::path file = resolveInside(dir_, dir_, n + ".xml");
    std::error_code ec;
    if (fs::is_regular_file(file, ec)) return file;
    if (n.find('/') == std::string::npos) {
        std::vector<fs::path> found;
        for (auto it = fs::recursive_directory_iterator(dir_, ec); it != fs::recursive_directory_iterator();
             it.increment(ec)) {
            if (ec) break;
            if (it->path().filename().string().starts_with(".")) {
                it.disable_recursion_pending();
                continue;
            }
            if (it->is_regular_file() && it->path().filename() == n + ".xml") found.push_back(it->path());
        }
        if (found.size() == 1) return found.front();
    }
    fail("component not found: " + n, 404);
}

fs::path Catalogue::versionsDir(const fs::path& file) const {
    return file.parent_path() / ".versions" / file.stem();
}

std::string Catalogue::fullNameOf(const fs::path& file) const {
    auto rel = fs::relative(file, dir_).generic_string();
    if (rel.size() > 4) rel.resize(rel.size() - 4);
    return rel;
}

Component Catalogue::load(std::string_view componentName) const {
    std::lock_guard lock(mutex_);
    auto file = fileFor(componentName);
    Component c = parseComponent(readFile(file, 64u << 20));
    c.fullName = fullNameOf(file);
    return c;
}

std::vector<int> Catalogue::versions(std::string_view componentName) const {
    std::lock_guard lock(mutex_);
    auto file = fileFor(componentName);
    std::vector<int> out;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(versionsDir(file), ec)) {
        auto stem = e.path().stem().string();
        if (isInteger(stem)) out.push_back(std::atoi(stem.c_str()));
    }
    std::sort(out.begin(), out.end());
    Component current = parseComponent(readFile(file, 64u << 20));
    out.push_back(current.version);
    return out;
}

Component Catalogue::loadVersion(std::string_view componentName, int version) const {
    std::lock_guard lock(mutex_);
    auto file = fileFor(componentName);
    Component current = parseComponent(readFile(file, 64u << 20));
    current.fullName = fullNameOf(file);
    if (version < 0 || version == current.version) return current;
    auto old = versionsDir(file) / (std::to_string(version) + ".xml");
    std::error_code ec;
    if (!fs::is_regular_file(old, ec)) fail("component " + current.fullName + " has no version " + std::to_string(version), 404);
    Component c = parseComponent(readFile(old, 64u << 20));
    c.fullName = current.fullName;
    c.version = version;
    return c;
}

std::vector<std::string> Catalogue::componentNames(std::string_view folder, bool protocolsOnly) const {
    std::lock_guard lock(mutex_);
    auto dir = folderPath(folder);
    std::error_code ec;
    if (!fs::is_directory(dir, ec)) fail("folder not found: " + std::string(folder), 404);
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(dir, ec)) {
        auto name = e.path().filename().string();
        if (name.starts_with(".") || !e.is_regular_file() || e.path().extension() != ".xml") continue;
        if (protocolsOnly) {
            try {
                if (parseComponent(readFile(e.path(), 64u << 20)).type != "protocol") continue;
            } catch (const Fault&) {
                continue;
            }
        }
        out.push_back(e.path().stem().string());
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<std::string> Catalogue::folderNames(std::string_view folder) const {
    std::lock_guard lock(mutex_);
    auto dir = folderPath(folder);
    std::error_code ec;
    if (!fs::is_directory(dir, ec)) fail("folder not found: " + std::string(folder), 404);
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(dir, ec)) {
        auto name = e.path().filename().string();
        if (!name.starts_with(".") && e.is_directory()) out.push_back(name);
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::string Catalogue::registerComponent(std::string_view folder, std::string_view xml, const std::string& registrant) {
    std::lock_guard lock(mutex_);
    Component incoming = parseComponent(xml);
    auto dir = folderPath(folder);
    std::error_code ec;
    fs::create_directories(dir, ec);
    auto file = dir / (incoming.name + ".xml");
    int version = 1;
    std::string guid = incoming.prop("ComponentGUID");
    if (fs::is_regular_file(file, ec)) {
        Component existing = parseComponent(readFile(file, 64u << 20));
        version = existing.version + 1;
        if (guid.empty()) guid = existing.prop("ComponentGUID");
        auto vdir = versionsDir(file);
        fs::create_directories(vdir, ec);
        fs::copy_file(file, vdir / (std::to_string(existing.version) + ".xml"), fs::copy_options::overwrite_existing, ec);
    }
    if (guid.empty()) {
        auto h = randomHex(32);
        guid = "{" + h.substr(0, 8) + "-" + h.substr(8, 4) + "-" + h.substr(12, 4) + "-" + h.substr(16, 4) + "-" +
               h.substr(20, 12) + "}";
    }
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
    writeFile(file, s.str(), false);
    return guid;
}

void Catalogue::unregister(std::string_view componentName) {
    std::lock_guard lock(mutex_);
    auto file = fileFor(componentName);
    std::error_code ec;
    fs::remove_all(versionsDir(file), ec);
    if (!fs::remove(file, ec)) fail("component cannot be removed: " + std::string(componentName), 500);
}

void Catalogue::move(std::string_view from, std::string_view to) {
    std::lock_guard lock(mutex_);
    auto src = fileFor(from);
    std::string target = cleanName(to);
    if (target.empty()) fail("new component location is empty");
    std::error_code ec;
    fs::path dst;
    auto asFolder = resolveInside(dir_, dir_, target);
    if (std::string(to).ends_with("/") || std::string(to).ends_with("\\") || fs::is_directory(asFolder, ec)) {
        dst = asFolder / src.filename();
    } else {
        auto leaf = split(target, '/').back();
        if (leaf.empty() || leaf[0] == '.') fail("invalid component name: " + target, 403);
        dst = resolveInside(dir_, dir_, target + ".xml");
    }
    if (fs::exists(dst, ec)) fail("a component already exists at " + target, 409);
    fs::create_directories(dst.parent_path(), ec);
    // The component's own name follows its file name.
    pugi::xml_document doc;
    auto bytes = readFile(src, 64u << 20);
    if (!doc.load_buffer(bytes.data(), bytes.size())) fail("stored component is malformed", 500);
    doc.child("component").attribute("name") = dst.stem().string().c_str();
    std::ostringstream s;
    doc.save(s, "  ", pugi::format_default, pugi::encoding_utf8);
    writeFile(dst, s.str(), false);
    auto oldVersions = versionsDir(src);
    if (fs::exists(oldVersions, ec)) {
        fs::create_directories(versionsDir(dst).parent_path(), ec);
        fs::rename(oldVersions, versionsDir(dst), ec);
    }
    fs::remove(src, ec);
}

}  // namespace emu
