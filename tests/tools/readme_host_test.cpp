// The C host program of README.md, taken from the README, compiled against
// this build as the README shows and run against the emulator, so that the
// README cannot drift from the library.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "support/emulator_launcher.h"
#include "tools/run_program.h"

namespace fs = std::filesystem;
using pelox::testsupport::Emulator;
using pelox::testsupport::ProgramResult;

namespace {

// The fenced C block whose first line names host.c.
std::string readmeHostProgram() {
    const std::string readme = pelox::testsupport::slurp(PELOX_README_FILE);
    const std::string fence = "```c\n/* host.c";
    const size_t start = readme.find(fence);
    if (start == std::string::npos) return {};
    const size_t body = start + 5;
    const size_t end = readme.find("\n```", body);
    return end == std::string::npos ? std::string() : readme.substr(body, end + 1 - body);
}

std::string describe(const ProgramResult& r) { return "status " + std::to_string(r.status) + "\n" + r.out + r.err; }

TEST(ReadmeHostProgram, CompilesAsShownAndRuns) {
    const std::string source = readmeHostProgram();
    ASSERT_FALSE(source.empty()) << "README.md has no ```c block starting with /* host.c";
    Emulator emu;
    const fs::path dir = emu.root().parent_path();
    std::ofstream(dir / "host.c") << source;

    // The README's command: cc -std=c99 -Wall -Wextra -pedantic -Werror -o host host.c
    //   -Iinclude -Lbuild/src -lpeloxImp -Wl,-rpath,$PWD/build/src
    std::vector<std::string> compile = {PELOX_C_COMPILER, "-std=c99", "-Wall", "-Wextra", "-pedantic", "-Werror"};
    std::istringstream extra(PELOX_HOST_FLAGS);
    for (std::string flag; extra >> flag;) compile.push_back(flag);
    for (const std::string& a : {std::string("-o"), (dir / "host").string(), (dir / "host.c").string(),
                                 std::string("-I") + PELOX_INCLUDE_DIR, std::string("-L") + PELOX_LIBRARY_DIR,
                                 std::string("-lpeloxImp"), std::string("-Wl,-rpath,") + PELOX_LIBRARY_DIR})
        compile.push_back(a);
    const ProgramResult built = pelox::testsupport::runProgram(compile, {}, dir);
    ASSERT_EQ(built.status, 0) << describe(built);

    const ProgramResult ran = pelox::testsupport::runProgram({(dir / "host").string(), emu.locatorUrl()},
                                                             {"PELOX_TRACE", "TMPDIR=" + dir.string()}, dir);
    EXPECT_EQ(ran.status, 0) << describe(ran);
    EXPECT_NE(ran.out.find("state 1500\n"), std::string::npos) << ran.out;
    EXPECT_NE(ran.out.find("Sum = 43\n"), std::string::npos) << ran.out;
    EXPECT_NE(ran.err.find("pelox_getProtocolParameters failed: 1\n"), std::string::npos) << ran.err;
    EXPECT_NE(ran.err.find("No/Such Protocol"), std::string::npos) << ran.err;
}

}  // namespace
