// Runs under Wine: the Windows test support gets emulators from the
// Linux-side broker, talks to them over Winsock and sees their files
// through Wine's drive mapping.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include "support/emulator_launcher.h"

namespace fs = std::filesystem;
using pelox::testsupport::Emulator;
using pelox::testsupport::httpRequest;

namespace {

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// PELOX_KEEP_EMULATOR_ROOT=1 keeps the emulators' temporary directories.
bool keepRoots() {
    const char* keep = std::getenv("PELOX_KEEP_EMULATOR_ROOT");
    return keep && std::string(keep) == "1";
}

bool within(std::chrono::seconds limit, const auto& condition) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

// Runs this program again with only the given test and returns its
// standard output.
std::string runSelf(const std::wstring& filter) {
    wchar_t exe[MAX_PATH];
    GetModuleFileNameW(nullptr, exe, MAX_PATH);
    std::wstring command = L"\"" + std::wstring(exe) + L"\" --gtest_filter=" + filter;
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return {};
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = writeEnd;
    si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    PROCESS_INFORMATION pi{};
    const BOOL started = CreateProcessW(exe, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
    CloseHandle(writeEnd);
    std::string out;
    if (started) {
        char buf[4096];
        DWORD n = 0;
        while (ReadFile(readEnd, buf, sizeof buf, &n, nullptr) && n > 0) out.append(buf, n);
        WaitForSingleObject(pi.hProcess, INFINITE);
        CloseHandle(pi.hProcess);
        CloseHandle(pi.hThread);
    }
    CloseHandle(readEnd);
    return out;
}

}  // namespace

// Not a test of its own (hence disabled): the child program of
// ProgramEndingWithoutDestructor.
TEST(WindowsEmulatorChild, DISABLED_EndsWithoutDestructor) {
    if (!std::getenv("PELOX_SMOKE_CHILD")) GTEST_SKIP() << "run by ProgramEndingWithoutDestructor";
    Emulator* emu = new Emulator;
    std::printf("emulator %d %s\n", emu->port(), emu->root().string().c_str());
    std::fflush(stdout);
    TerminateProcess(GetCurrentProcess(), 3);
}

TEST(WindowsEmulator, TwoEmulatorsThroughTheBroker) {
    Emulator a;
    auto b = std::make_unique<Emulator>(std::vector<std::string>{"--profile", "v7"});
    ASSERT_NE(a.port(), b->port());
    EXPECT_NE(a.controlToken(), b->controlToken());

    // Logins and counts land on the emulator they were sent to.
    EXPECT_FALSE(a.login().empty());
    EXPECT_FALSE(b->login().empty());
    EXPECT_FALSE(b->login().empty());
    EXPECT_EQ(a.count("Login"), 1u);
    EXPECT_EQ(b->count("Login"), 2u);

    // Control calls reach one emulator only: a fault set on b.
    b->addFault("op=Login&kind=http-500&count=1");
    EXPECT_THROW(b->login(), std::runtime_error);
    EXPECT_FALSE(a.login().empty());

    // The root and the log are Linux files, named as Windows code names
    // them (on a drive: the library treats rooted paths without one as
    // another kind) and readable through Wine's drives.
    EXPECT_TRUE(a.root().has_root_name()) << a.root();
    EXPECT_TRUE(a.logPath().has_root_name()) << a.logPath();
    const std::string sample = readFile(a.root() / "catalogue" / "Examples" / "Add Numbers.xml");
    EXPECT_NE(sample.find("name=\"Add Numbers\""), std::string::npos) << a.root();
    EXPECT_NE(readFile(a.logPath()).find("Login"), std::string::npos) << a.logPath();
    EXPECT_NE(a.log().find("Login"), std::string::npos);

    // Stopping b: SIGTERM ends it cleanly, its port goes dead, its files stay
    // until destruction, and a goes on.
    const fs::path bRoot = b->root();
    EXPECT_EQ(b->stop(), 0);
    EXPECT_EQ(b->stop(), 0);
    EXPECT_EQ(httpRequest(b->port(), "GET", "/qorvane/serverstatus").status, 0);
    EXPECT_TRUE(fs::is_directory(bRoot / "catalogue")) << bRoot;
    b.reset();
    EXPECT_NE(fs::exists(bRoot), !keepRoots()) << bRoot;
    EXPECT_EQ(a.count("Login"), 2u);
}

TEST(WindowsEmulator, FailedStartReportsTheEmulatorsError) {
    try {
        Emulator bad({"--profile", "nosuch"});
        FAIL() << "an emulator started with an unknown profile";
    } catch (const std::runtime_error& e) {
        const std::string what = e.what();
        EXPECT_NE(what.find("pelox-emulator did not start: "), std::string::npos) << what;
        EXPECT_NE(what.find("unknown profile 'nosuch'"), std::string::npos) << what;
    }
}

TEST(WindowsEmulator, ProgramEndingWithoutDestructor) {
    // A test program that crashes or is killed holds emulators it never
    // stops: the broker stops them and removes their roots when the
    // program's connection closes.
    _putenv("PELOX_SMOKE_CHILD=1");
    const std::string out = runSelf(L"WindowsEmulatorChild.* --gtest_also_run_disabled_tests");
    _putenv("PELOX_SMOKE_CHILD=");
    const size_t at = out.find("emulator ");
    ASSERT_NE(at, std::string::npos) << out;
    const int port = std::atoi(out.c_str() + at + 9);
    const size_t space = out.find(' ', at + 9);
    const fs::path root = out.substr(space + 1, out.find('\n', space) - space - 1);
    ASSERT_GT(port, 0) << out;
    EXPECT_TRUE(within(std::chrono::seconds(10), [&] { return httpRequest(port, "GET", "/qorvane/serverstatus").status == 0; }))
        << "the emulator on port " << port << " outlived its program";
    if (!keepRoots()) {
        EXPECT_TRUE(within(std::chrono::seconds(10), [&] { return !fs::exists(root); })) << root;
    }
}
