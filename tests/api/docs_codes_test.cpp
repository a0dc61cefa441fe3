// Every status code of the public header is documented in docs/api.md.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

namespace {
std::string readFile(const char* path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}
}  // namespace

TEST(ApiDocs, EveryStatusCodeIsDocumented) {
    const std::string header = readFile(PELOX_HEADER_FILE);
    const std::string doc = readFile(PELOX_API_DOC_FILE);
    ASSERT_FALSE(doc.empty()) << PELOX_API_DOC_FILE;
    const std::regex code(R"((PELOX_E_\w+)\s*=\s*(-?\d+))");
    int count = 0;
    for (auto it = std::sregex_iterator(header.begin(), header.end(), code); it != std::sregex_iterator(); ++it) {
        ++count;
        const std::string name = (*it)[1];
        const std::string value = (*it)[2];
        EXPECT_NE(doc.find(name), std::string::npos) << name << " is not in docs/api.md";
        EXPECT_NE(doc.find(value), std::string::npos) << value << " (" << name << ") is not in docs/api.md";
    }
    EXPECT_GE(count, 29);
}
