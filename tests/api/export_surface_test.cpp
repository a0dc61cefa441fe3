// The shared library exports exactly the functions of the public header: the
// linker version script lists the header's functions, and the library's
// dynamic symbol table holds exactly those.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

namespace {

std::set<std::string> headerFunctions() {
    std::ifstream in(PELOX_HEADER_FILE);
    std::stringstream all;
    all << in.rdbuf();
    const std::string text = all.str();
    std::set<std::string> names;
    const std::regex decl(R"(\nPELOX_API[^;(]*?\b(\w+)\s*\()");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), decl); it != std::sregex_iterator(); ++it)
        names.insert((*it)[1]);
    return names;
}

// Defined function symbols of the library's dynamic symbol table.
std::set<std::string> exportedFunctions() {
    std::set<std::string> names;
    const std::string command = std::string("nm -D --defined-only '") + PELOX_LIBRARY_FILE + "'";
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return names;
    char line[1024];
    while (std::fgets(line, sizeof line, pipe)) {
        std::istringstream fields(line);
        std::string address, type, name;
        if (!(fields >> address >> type >> name)) continue;
        if (type != "T" && type != "W" && type != "i") continue;
        const size_t at = name.find('@');
        if (at != std::string::npos) name.resize(at);
        names.insert(name);
    }
    pclose(pipe);
    return names;
}

}  // namespace

TEST(ExportSurface, OnlyHeaderFunctionsAreExported) {
    const auto declared = headerFunctions();
    ASSERT_EQ(declared.size(), 50u) << "the header declares the library's 50 exports";
    const auto exported = exportedFunctions();
    ASSERT_FALSE(exported.empty()) << "nm found no symbols in " << PELOX_LIBRARY_FILE;
    for (const auto& name : exported) EXPECT_TRUE(declared.count(name)) << name << " is exported but not declared";
}

// The names of the version script's global section.
std::set<std::string> versionScriptNames() {
    std::ifstream in(PELOX_VERSION_SCRIPT_FILE);
    std::set<std::string> names;
    std::string line;
    bool global = false;
    const std::regex name(R"(^\s*([A-Za-z_]\w*)\s*;\s*$)");
    while (std::getline(in, line)) {
        if (line.find("global:") != std::string::npos) global = true;
        else if (line.find("local:") != std::string::npos) global = false;
        std::smatch m;
        if (global && std::regex_match(line, m, name)) names.insert(m[1]);
    }
    return names;
}

TEST(ExportSurface, TheVersionScriptListsTheHeaderAndEveryNameIsExported) {
    const auto listed = versionScriptNames();
    EXPECT_EQ(listed, headerFunctions()) << "src/peloxImp.map and include/peloxImp.h disagree";
    const auto exported = exportedFunctions();
    for (const auto& name : listed) EXPECT_TRUE(exported.count(name)) << name << " is not exported";
    EXPECT_EQ(exported.size(), listed.size());
}
