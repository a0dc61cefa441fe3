// The commands that read or move one thing: info, config, status, ls, jobdir,
// props, params, put, get, exists, component.
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <functional>

#include "context.h"
#include "parameters.h"

namespace fs = std::filesystem;

namespace pelox::cli {

namespace {

Json namedValuesJson(const NamedValues& values) {
    Json doc = Json::object();
    for (const auto& [name, list] : values) doc[name] = list;
    return doc;
}

Json environmentValue(const char* name) {
    const char* value = std::getenv(name);
    return value ? Json(value) : Json(nullptr);
}

std::string trimmed(const std::string& s) {
    const size_t start = s.find_first_not_of(" \t");
    if (start == std::string::npos) return {};
    return s.substr(start, s.find_last_not_of(" \t") - start + 1);
}

// A local path as the library wants it: absolute.
std::u16string absoluteLocal(const std::string& path) {
    std::error_code ec;
    const fs::path p = fs::absolute(path, ec);
    if (ec) throw Failure(kExitLocal, "cannot make " + path + " an absolute path: " + ec.message());
    return toU16(p.lexically_normal().string());
}

uintmax_t localSize(const std::string& path) {
    std::error_code ec;
    const uintmax_t size = fs::file_size(path, ec);
    return ec ? 0 : size;
}

}  // namespace

std::optional<std::string> notInCatalogue(Context& c, const std::string& name, bool isFolder) {
    // Walks the name's folders from the top, each found as written or else
    // with other letter case; where a part is not there, the names of that
    // folder are the candidates.
    const std::vector<std::string> parts = splitAt(name, '/');
    auto sameLetters = [](const std::string& a, const std::string& b) {
        return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
                   return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
               });
    };
    std::string folder;  // as the catalogue spells it
    bool exact = true;
    for (size_t i = 0; i < parts.size(); ++i) {
        const bool last = i + 1 == parts.size();
        const std::u16string wide = toU16(folder);
        const int32_t rc =
            pelox_listProtocols(c.session().c_str(), wide.c_str(), c.objects.array(0), c.objects.array(1));
        if (rc != PELOX_OK) {
            if (rc > 0) pelox_getPeloxErrors(rc, c.objects.array(2));  // the record is not shown
            return std::nullopt;  // the catalogue cannot tell
        }
        const std::vector<std::string> protocols = items(c.objects.array(0)), folders = items(c.objects.array(1));
        const std::vector<std::string>& same = last && !isFolder ? protocols : folders;
        const std::string prefix = folder.empty() ? std::string() : folder + "/";
        std::string found;
        if (std::find(same.begin(), same.end(), parts[i]) != same.end()) {
            found = parts[i];
        } else {
            for (const std::string& candidate : same)
                if (sameLetters(candidate, parts[i])) found = candidate;
            exact = false;
        }
        if (found.empty()) {
            // Compared without the folder they share, shown with it.
            std::vector<std::string> candidates(protocols);
            for (const std::string& f : folders) candidates.push_back(f + "/");
            std::vector<std::string> near = nearestNames(parts[i], candidates);
            for (std::string& n : near) n.insert(0, prefix);
            return std::string("the catalogue has no ") + (isFolder ? "folder " : "protocol ") + name +
                   (near.empty() ? " (pelox ls " + folder + ")" : "; nearest: " + joined(near));
        }
        folder = prefix + found;
    }
    if (exact) return std::nullopt;
    return std::string("the catalogue has no ") + (isFolder ? "folder " : "protocol ") + name +
           " (names differ in letter case); nearest: " + folder;
}

int cmdInfo(Context& c) {
    Objects& o = c.objects;
    check("pelox_getPeloxInfo", pelox_getPeloxInfo(PELOX_INFO_VERSION, o.string(0)));
    const std::string version = text(o.string(0));
    check("pelox_getPeloxInfo", pelox_getPeloxInfo(PELOX_INFO_RETRY_COUNT, o.string(0)));
    const std::string retries = text(o.string(0));
    check("pelox_getPeloxInfo", pelox_getPeloxInfo(PELOX_INFO_RETRY_PAUSE, o.string(0)));
    const std::string pause = text(o.string(0));
    const std::string emulator = findEmulator();
    static const char* kVariables[] = {"PELOX_SERVER", "PELOX_USER",  "PELOX_TRACE",        "PELOX_EMULATOR",
                                       "PELOX_CA_BUNDLE", "PELOX_REGISTRY_FILE", "TMPDIR"};
    if (c.out.json) {
        Json doc;
        doc["library"] = {{"version", version},
                          {"retryCount", std::atoll(retries.c_str())},
                          {"retryPauseMs", std::atoll(pause.c_str())}};
        Json env = Json::object();
        for (const char* name : kVariables) env[name] = environmentValue(name);
        doc["environment"] = env;
        doc["emulator"] = emulator.empty() ? Json(nullptr) : Json(emulator);
        c.document(doc);
        return kExitOk;
    }
    c.out.line("peloxImp " + version);
    Table table({"SETTING", "VALUE"});
    table.add({"connection retries (option 103)", retries});
    table.add({"pause between retries, ms (option 104)", pause});
    for (const char* name : kVariables) {
        const char* value = std::getenv(name);
        table.add({name, value ? value : "(not set)"});
    }
    table.add({"emulator for the embedded default", emulator.empty() ? "(none found)" : emulator});
    table.print();
    return kExitOk;
}

int cmdConfig(Context& c) {
    const std::u16string url = toU16(c.server->url());
    const int32_t info = c.objects.resultInfo();
    check("pelox_getServerConfiguration", pelox_getServerConfiguration(url.c_str(), info));
    const NamedValues settings = namedValues(info, c.objects);
    if (c.out.json) {
        c.document(Json{{"server", c.server->url()}, {"settings", namedValuesJson(settings)}});
        return kExitOk;
    }
    c.out.line("Configuration of " + c.server->url());
    Table table({"SETTING", "VALUES"});
    for (const auto& [name, values] : settings) table.add({name, joined(values)});
    table.print("  ");
    return kExitOk;
}

int cmdStatus(Context& c) {
    const int32_t info = c.objects.resultInfo();
    check("pelox_getServerStatus", pelox_getServerStatus(c.session().c_str(), info));
    const NamedValues lines = namedValues(info, c.objects);
    if (c.out.json) {
        Json status = Json::object();
        for (const auto& [name, values] : lines) status[name] = values.empty() ? std::string() : trimmed(values.back());
        c.document(Json{{"server", c.server->url()}, {"status", status}});
        return kExitOk;
    }
    c.out.line("Status of " + c.server->url());
    Table table({"NAME", "VALUE"});
    for (const auto& [name, values] : lines) table.add({name, values.empty() ? "" : trimmed(values.back())});
    table.print("  ");
    return kExitOk;
}

int cmdLs(Context& c) {
    const std::string top = c.args.positional.empty() ? std::string() : c.args.positional[0];
    const bool recursive = c.args.has("recursive");
    std::vector<std::string> protocols, folders;
    const std::u16string& session = c.session();
    std::function<void(const std::string&, const std::string&)> walk = [&](const std::string& folder,
                                                                         const std::string& shownPrefix) {
        const std::u16string wide = toU16(folder);
        check("pelox_listProtocols",
              pelox_listProtocols(session.c_str(), wide.c_str(), c.objects.array(0), c.objects.array(1)));
        const std::vector<std::string> p = items(c.objects.array(0)), f = items(c.objects.array(1));
        for (const std::string& name : p) protocols.push_back(shownPrefix + name);
        for (const std::string& name : f) {
            folders.push_back(shownPrefix + name);
            if (recursive) walk(folder.empty() ? name : folder + "/" + name, shownPrefix + name + "/");
        }
    };
    try {
        walk(top, recursive ? (top.empty() ? std::string() : top + "/") : std::string());
    } catch (const CallFailed& failure) {
        if (failure.code <= 0 || top.empty()) throw;
        if (auto missing = notInCatalogue(c, top, true)) throw Failure(kExitNegative, *missing);
        throw;
    }
    if (c.out.json) {
        c.document(Json{{"folder", top}, {"recursive", recursive}, {"folders", folders}, {"protocols", protocols}});
        return kExitOk;
    }
    if (recursive) {
        // One sorted list, each folder before what it holds.
        std::vector<std::string> all;
        for (const std::string& f : folders) all.push_back(f + "/");
        all.insert(all.end(), protocols.begin(), protocols.end());
        std::sort(all.begin(), all.end());
        for (const std::string& entry : all) c.out.line(entry);
    } else {
        for (const std::string& f : folders) c.out.line(f + "/");
        for (const std::string& p : protocols) c.out.line(p);
    }
    return kExitOk;
}

int cmdJobdir(Context& c) {
    const std::u16string job = toU16(c.args.positional[0]);
    const std::string sub = c.args.positional.size() > 1 ? c.args.positional[1] : std::string();
    const std::u16string wideSub = toU16(sub);
    check("pelox_listContents2", pelox_listContents2(c.session().c_str(), wideSub.c_str(), c.objects.array(0),
                                                     c.objects.array(1), c.objects.array(2), job.c_str()));
    const std::vector<std::string> folders = items(c.objects.array(0)), files = items(c.objects.array(1)),
                                   sizes = items(c.objects.array(2));
    if (c.out.json) {
        Json list = Json::array();
        for (size_t i = 0; i < files.size(); ++i) {
            const std::string size = i < sizes.size() ? sizes[i] : std::string();
            const bool numeric = !size.empty() && size.find_first_not_of("0123456789") == std::string::npos;
            list.push_back({{"name", files[i]}, {"size", numeric ? Json(std::stoull(size)) : Json(nullptr)}});
        }
        c.document(Json{{"job", c.args.positional[0]}, {"subfolder", sub}, {"folders", folders}, {"files", list}});
        return kExitOk;
    }
    Table table({"NAME", "SIZE"});
    for (const std::string& f : folders) table.add({f + "/", ""});
    for (size_t i = 0; i < files.size(); ++i) table.add({files[i], i < sizes.size() ? sizes[i] : ""});
    table.print();
    return kExitOk;
}

int cmdProps(Context& c) {
    const int32_t info = c.objects.resultInfo();
    check("pelox_getCalculablePropertiesByCategory", pelox_getCalculablePropertiesByCategory(c.session().c_str(), info));
    const NamedValues categories = namedValues(info, c.objects);
    if (c.out.json) {
        c.document(Json{{"categories", namedValuesJson(categories)}});
        return kExitOk;
    }
    Table table({"CATEGORY", "PROPERTIES"});
    for (const auto& [name, values] : categories) table.add({name, joined(values)});
    table.print();
    return kExitOk;
}

int cmdParams(Context& c) {
    const std::string protocol = c.args.positional[0];
    ProtocolParameters params(c, protocol);
    params.apply(parseAssignments(c.args.values("param")));
    const std::vector<ParameterRow> rows = params.rows();
    // As run decides: the parameters are valid when every enabled one is.
    const bool valid = std::all_of(rows.begin(), rows.end(), [](const ParameterRow& r) { return !r.enabled || r.valid; });
    const int status = valid ? kExitOk : kExitNegative;
    if (c.out.json) {
        Json doc = params.headerJson();
        Json list = Json::array();
        for (const ParameterRow& row : rows) list.push_back(row.json());
        doc["parameters"] = list;
        doc["valid"] = valid;
        c.document(doc);
        return status;
    }
    params.printHeader();
    Table table({"NAME", "TYPE", "CLASS", "REQUIRED", "VALUES", "LEGAL VALUES", "ENABLED", "VALID", "DETAILS"});
    for (const ParameterRow& row : rows)
        table.add({row.name, row.type, row.parameterClass, row.required ? "yes" : "no", joined(row.values),
                   joined(row.legalValues), row.enabled ? "yes" : "no", row.valid ? "yes" : "no", row.details()});
    table.print();
    if (!valid) c.out.note("pelox: the parameters of " + protocol + " are not valid (see VALID and DETAILS)");
    return status;
}

int cmdPut(Context& c) {
    const std::string local = c.args.positional[0], serverPath = c.args.positional[1];
    if (!fs::is_regular_file(local)) throw Failure(kExitLocal, local + " is not a readable file");
    const std::u16string localWide = absoluteLocal(local), serverWide = toU16(serverPath);
    const std::string job = c.args.value("job");
    const std::u16string& session = c.session();
    if (!job.empty()) {
        const std::u16string jobWide = toU16(job);
        check("pelox_reconnectToJob", pelox_reconnectToJob(session.c_str(), jobWide.c_str(), 0));
        check("pelox_uploadJobFile",
              pelox_uploadJobFile(session.c_str(), localWide.c_str(), serverWide.c_str(), jobWide.c_str()));
    } else {
        check("pelox_uploadFile", pelox_uploadFile(session.c_str(), localWide.c_str(), serverWide.c_str()));
    }
    const uintmax_t bytes = localSize(local);
    if (c.out.json) {
        c.document(Json{{"local", toUtf8(localWide)}, {"serverPath", serverPath}, {"job", job.empty() ? Json(nullptr) : Json(job)},
                        {"bytes", bytes}});
        return kExitOk;
    }
    c.out.line("Uploaded " + local + " (" + std::to_string(bytes) + " bytes) to " + serverPath +
               (job.empty() ? "" : " in the directory of job " + job));
    return kExitOk;
}

int cmdGet(Context& c) {
    const std::string serverPath = c.args.positional[0], local = c.args.positional[1];
    const std::u16string localWide = absoluteLocal(local), serverWide = toU16(serverPath);
    const int32_t rc = pelox_downloadFile(c.session().c_str(), serverWide.c_str(), localWide.c_str());
    if (rc != PELOX_OK && rc > -1000) {
        // A file that is not there is an answer, not a failed call: ask the
        // server, and keep the download's own failure for everything else.
        pelox_bool exists = 1;
        if (pelox_checkFileAccess(c.session().c_str(), serverWide.c_str(), &exists) == PELOX_OK && !exists) {
            if (rc > 0) {  // the download's error record is not needed
                const int32_t drop = c.objects.array(0);
                pelox_getPeloxErrors(rc, drop);
            }
            throw Failure(kExitNegative, "the server file " + serverPath + " does not exist");
        }
        check("pelox_downloadFile", rc);
    }
    const uintmax_t bytes = localSize(local);
    if (c.out.json) {
        c.document(Json{{"serverPath", serverPath}, {"local", toUtf8(localWide)}, {"bytes", bytes}});
        return kExitOk;
    }
    c.out.line("Downloaded " + serverPath + " to " + local + " (" + std::to_string(bytes) + " bytes)");
    return kExitOk;
}

int cmdExists(Context& c) {
    const std::string serverPath = c.args.positional[0];
    const std::u16string wide = toU16(serverPath);
    pelox_bool exists = 0;
    check("pelox_checkFileAccess", pelox_checkFileAccess(c.session().c_str(), wide.c_str(), &exists));
    if (c.out.json)
        c.document(Json{{"serverPath", serverPath}, {"exists", exists != 0}});
    else
        c.out.line(serverPath + (exists ? " exists" : " does not exist"));
    return exists ? kExitOk : kExitNegative;
}

int cmdComponent(Context& c, const std::string& action) {
    const std::vector<std::string>& a = c.args.positional;
    const std::u16string& session = c.session();
    Json doc{{"action", action}};
    std::string said;
    if (action == "import") {
        if (!fs::is_regular_file(a[0])) throw Failure(kExitLocal, a[0] + " is not a readable file");
        const std::u16string local = absoluteLocal(a[0]), folder = toU16(a[1]);
        check("pelox_importComponent", pelox_importComponent(session.c_str(), folder.c_str(), local.c_str()));
        doc["local"] = toUtf8(local);
        doc["folder"] = a[1];
        said = "Imported " + a[0] + " into " + a[1];
    } else if (action == "export") {
        const std::u16string name = toU16(a[0]), local = absoluteLocal(a[1]);
        check("pelox_exportComponent", pelox_exportComponent(session.c_str(), name.c_str(), local.c_str()));
        doc["component"] = a[0];
        doc["local"] = toUtf8(local);
        doc["bytes"] = localSize(a[1]);
        said = "Exported " + a[0] + " to " + a[1];
    } else if (action == "delete") {
        const std::u16string name = toU16(a[0]);
        check("pelox_deleteComponent", pelox_deleteComponent(session.c_str(), name.c_str()));
        doc["component"] = a[0];
        said = "Deleted " + a[0];
    } else {
        const std::u16string from = toU16(a[0]), to = toU16(a[1]);
        check("pelox_renameComponent", pelox_renameComponent(session.c_str(), from.c_str(), to.c_str()));
        doc["from"] = a[0];
        doc["to"] = a[1];
        said = "Moved " + a[0] + " to " + a[1];
    }
    if (c.out.json)
        c.document(doc);
    else
        c.out.line(said);
    return kExitOk;
}

}  // namespace pelox::cli
