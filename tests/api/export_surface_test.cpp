// The shared library exports exactly functions of the public header: every
// exported function symbol is declared there, and every export implemented so
// far is present.
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

TEST(ExportSurface, ImplementedExportsAreVisible) {
    // Extended as export families are implemented.
    const char* implemented[] = {
        "peloxImp_createObject", "peloxImp_removeObject", "peloxImp_getObjectSize", "peloxImp_checkVersion",
        "pelox_setPeloxOptions", "pelox_getPeloxInfo", "pelox_getPeloxErrors",
        "string_getText", "string_getBoolValue", "stringArray_getStringAtIndex", "stringArray_getTextAtIndex",
        "resultInfo_getNames", "resultInfo_getValues",
    };
    const auto exported = exportedFunctions();
    for (const char* name : implemented) EXPECT_TRUE(exported.count(name)) << name << " is not exported";
}
