// Local programs: starting, feeding stdin, collecting output, exit codes.
#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#include <shellapi.h>
#else
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "host/process.h"
#include "host/tarn_util.h"
#ifdef _WIN32
#include "host/win32/wide_path.h"
#endif

using namespace pelox::host;
using namespace std::chrono_literals;

namespace {

struct Result {
    std::u16string out, err;
    int code = -1;
};

// The polling loop of a client program step: input handed over once, stdin
// closed on every round, one last exchange after the end.
Result runToEnd(vcProcess& process, std::u16string input) {
    Result r;
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (process.IsActive()) {
        if (std::chrono::steady_clock::now() > deadline) {
            ADD_FAILURE() << "process did not end";
#ifdef _WIN32
            if (HANDLE h = OpenProcess(PROCESS_TERMINATE, FALSE, static_cast<DWORD>(process.ProcessId()))) {
                TerminateProcess(h, 99);
                CloseHandle(h);
            }
#else
            kill(process.ProcessId(), SIGKILL);
#endif
        }
        std::u16string out, err;
        process.ExchangeData(input, out, err);
        input.clear();
        process.CloseStdin();
        r.out += out;
        r.err += err;
        std::this_thread::sleep_for(2ms);
    }
    process.ExchangeData(input, r.out, r.err);
    r.code = process.ExitCode();
    return r;
}

#ifndef _WIN32
std::u16string u16(const std::string& s) { return tarn::util::ConvertUTF8toString(s); }
#endif

}  // namespace

#ifndef _WIN32

TEST(Process, StdinLargerThanThePipeIsWrittenOnceAndWhole) {
    // 1 MiB of mixed one- to four-byte characters: cat's output arrives in
    // reads that cut sequences anywhere.
    std::u16string input;
    for (size_t bytes = 0; bytes < (1u << 20); bytes += 11) input += u"a\u00e9\u20ac\U0001D11E\n";
    vcProcess cat;
    cat.SetCommandLine(u"cat");
    ASSERT_TRUE(cat.StartProcess(kProcessExchangeStreams, 5000, nullptr)) << tarn::util::ConvertStringtoUTF8(cat.StartError());
    const Result r = runToEnd(cat, input);
    EXPECT_EQ(r.out.size(), input.size());
    EXPECT_TRUE(r.out == input);
    EXPECT_EQ(r.code, 0);
}

TEST(Process, OutputErrorAndExitCodes) {
    struct Case {
        std::u16string script;
        std::u16string out, err;
        int code;
    };
    const Case cases[] = {
        {u"echo out; echo err >&2; exit 3", u"out\n", u"err\n", 3},
        {u"printf 'bad \\377 end'", u"bad \uFFFD end", u"", 0},
        {u"kill -TERM $$", u"", u"", 128 + SIGTERM},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(tarn::util::ConvertStringtoUTF8(c.script));
        vcProcess sh;
        sh.SetArguments({u"/bin/sh", u"-c", c.script});
        ASSERT_TRUE(sh.StartProcess(kProcessExchangeStreams, 5000, nullptr));
        const Result r = runToEnd(sh, u"");
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.code, c.code);
    }
}

TEST(Process, CommandLineSplittingAndPathLookup) {
    vcProcess p;
    // printf is found on PATH; quotes group and vanish, \" inside quotes is
    // a quote, a backslash outside quotes and single quotes are ordinary.
    p.SetCommandLine(u"  printf \"[%s]\" \"a  b\" c\\d \"q\\\"x\" \"\" 'y\tpre\"fix ed\"");
    ASSERT_TRUE(p.StartProcess(kProcessExchangeStreams, 5000, nullptr));
    EXPECT_EQ(runToEnd(p, u"").out, u"[a  b][c\\d][q\"x][]['y][prefix ed]");
}

TEST(Process, StartFailuresAreReportedWithTheReason) {
    char dir[] = "/tmp/pelox-proc-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string plain = std::string(dir) + "/plain";
    std::ofstream(plain) << "#!/bin/sh\n";
    chmod(plain.c_str(), 0644);
    struct Case {
        std::u16string commandLine;
        std::u16string reason;
    };
    const Case cases[] = {
        {u"pelox-no-such-program-here --x", u"not found"},
        {u"/nonexistent/dir/prog", u"not found"},
        {u16(plain), u"permission denied"},
        {u"   ", u"no program"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(tarn::util::ConvertStringtoUTF8(c.commandLine));
        vcProcess p;
        p.SetCommandLine(c.commandLine);
        EXPECT_FALSE(p.StartProcess(kProcessExchangeStreams, 5000, nullptr));
        EXPECT_NE(p.StartError().find(c.reason), std::u16string::npos) << tarn::util::ConvertStringtoUTF8(p.StartError());
        EXPECT_FALSE(p.IsActive());
    }
    unlink(plain.c_str());
    rmdir(dir);
}

TEST(Process, ChildClosingStdinEarlyDoesNotRaiseSigpipe) {
    vcProcess p;
    p.SetArguments({u"/bin/sh", u"-c", u"exec 0<&-; echo closed; sleep 0.2"});
    ASSERT_TRUE(p.StartProcess(kProcessExchangeStreams, 5000, nullptr));
    std::u16string out, err;
    while (out.empty() && p.IsActive()) {
        p.ExchangeData(u"", out, err);
        std::this_thread::sleep_for(2ms);
    }
    ASSERT_EQ(out, u"closed\n");
    // Nobody reads stdin any more: the write fails with EPIPE, which must not
    // end this process with SIGPIPE.
    p.ExchangeData(std::u16string(200000, u'x'), out, err);
    EXPECT_EQ(runToEnd(p, u"more").code, 0);
}

TEST(Process, MultiByteCharacterSplitAcrossReadsIsKeptWhole) {
    vcProcess p;
    p.SetArguments({u"/bin/sh", u"-c", u"printf '\\360\\235'; sleep 1; printf '\\204\\236'"});
    ASSERT_TRUE(p.StartProcess(kProcessExchangeStreams, 5000, nullptr));
    std::this_thread::sleep_for(150ms);
    std::u16string out, err;
    p.ExchangeData(u"", out, err);  // holds the first half only
    EXPECT_EQ(out, u"");
    EXPECT_EQ(runToEnd(p, u"").out, u"\U0001D11E");
}

TEST(Process, EnvironmentIsAppendedOverridingInheritedValues) {
    setenv("PELOX_KEEP", "kept", 1);
    vcProcess p;
    p.AppendEnvironment(u"PELOX_A=1\r\nPELOX_B=x=y\nHOME=/elsewhere\nnot an entry\n=zz\n\n");
    p.AppendEnvironment(u"PELOX_A=2");
    p.SetArguments({u"/bin/sh", u"-c", u"printf '%s|%s|%s|%s' \"$PELOX_A\" \"$PELOX_B\" \"$HOME\" \"$PELOX_KEEP\""});
    ASSERT_TRUE(p.StartProcess(kProcessExchangeStreams, 5000, nullptr));
    EXPECT_EQ(runToEnd(p, u"").out, u"2|x=y|/elsewhere|kept");
    unsetenv("PELOX_KEEP");
}

TEST(Process, ChildOfADestroyedProcessObjectIsReapedLater) {
    pid_t pid;
    {
        vcProcess p;
        p.SetArguments({u"/bin/sh", u"-c", u"sleep 0.1"});
        ASSERT_TRUE(p.StartProcess(0, 5000, nullptr));
        pid = p.ProcessId();
    }
    // Wait until it has ended and is left as a zombie.
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    for (;;) {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string pidText, name, state;
        stat >> pidText >> name >> state;
        if (state == "Z") break;
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "state " << state;
        std::this_thread::sleep_for(10ms);
    }
    vcProcess other;
    EXPECT_FALSE(other.IsActive());  // reaps what was left behind
    EXPECT_EQ(kill(pid, 0), -1);
    EXPECT_EQ(errno, ESRCH);
}

#else  // _WIN32

namespace {

// This test program is its own child: started with PELOX_PROCESS_TEST_CHILD
// set, it acts before GoogleTest starts. "copy": standard input to standard
// output until its end, "err" to standard error, exit code 3. "sleep": reads
// nothing for two seconds.
const int kChild = [] {
    wchar_t mode[16] = {};
    if (!GetEnvironmentVariableW(L"PELOX_PROCESS_TEST_CHILD", mode, 16)) return 0;
    if (std::wstring_view(mode) == L"sleep") {
        Sleep(2000);
        ExitProcess(0);
    }
    const HANDLE in = GetStdHandle(STD_INPUT_HANDLE), out = GetStdHandle(STD_OUTPUT_HANDLE);
    char buffer[4096];
    DWORD n = 0, written = 0;
    while (ReadFile(in, buffer, sizeof buffer, &n, nullptr) && n > 0) WriteFile(out, buffer, n, &written, nullptr);
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), "err", 3, &written, nullptr);
    ExitProcess(3);
}();

std::u16string selfPath() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return pelox::host::win32::fromWide(path);
}

}  // namespace

// Through cmd.exe /c with the quoted command, as the program runner starts
// it: the child's own environment entry, 1 MiB of mixed one- to four-byte
// characters written without blocking and read back whole, standard input
// closed after it (or the child would wait for more), its error stream and
// exit code.
TEST(Process, InterpreterPipesEnvironmentAndExitCode) {
    std::u16string input;
    for (size_t bytes = 0; bytes < (1u << 20); bytes += 11) input += u"a\u00e9\u20ac\U0001D11E\n";
    vcProcess p;
    p.AppendEnvironment(u"PELOX_PROCESS_TEST_CHILD=copy");
    // Appended piece by piece: GCC 12 at -O3 misreads "a" + b + "c" of
    // u16strings as an overlapping copy (-Wrestrict).
    std::u16string command = u"\"";
    command += selfPath();
    command += u"\" child";
    p.SetInterpreterCommandLine(command, false);
    ASSERT_TRUE(p.StartProcess(kProcessExchangeStreams, 5000, nullptr)) << tarn::util::ConvertStringtoUTF8(p.StartError());
    const Result r = runToEnd(p, input);
    EXPECT_EQ(r.out.size(), input.size());
    EXPECT_TRUE(r.out == input);
    EXPECT_EQ(r.err, u"err");
    EXPECT_EQ(r.code, 3);

    vcProcess cmd;
    cmd.SetInterpreterCommandLine(u"echo out& exit /b 7", false);
    ASSERT_TRUE(cmd.StartProcess(kProcessExchangeStreams, 5000, nullptr));
    const Result c = runToEnd(cmd, u"");
    EXPECT_EQ(c.out, u"out\r\n");
    EXPECT_EQ(c.code, 7);
}

// A child that reads nothing: handing it more than the pipe holds returns at
// once, and the rest is dropped when it ends. A program that is not there
// is reported with the reason.
TEST(Process, InputNeverBlocksAndStartFailuresSayWhy) {
    vcProcess p;
    p.AppendEnvironment(u"PELOX_PROCESS_TEST_CHILD=sleep");
    p.SetArguments({selfPath(), u"a b", u"c\\\""});
    ASSERT_TRUE(p.StartProcess(kProcessExchangeStreams, 5000, nullptr));
    const auto start = std::chrono::steady_clock::now();
    std::u16string out, err;
    p.ExchangeData(std::u16string(1u << 20, u'x'), out, err);
    p.CloseStdin();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_TRUE(p.IsActive());
    EXPECT_EQ(runToEnd(p, u"").code, 0);

    vcProcess missing;
    missing.SetCommandLine(u"pelox-no-such-program-here.exe --x");
    EXPECT_FALSE(missing.StartProcess(kProcessExchangeStreams, 5000, nullptr));
    EXPECT_NE(missing.StartError().find(u"not found"), std::u16string::npos)
        << tarn::util::ConvertStringtoUTF8(missing.StartError());
    EXPECT_FALSE(missing.IsActive());
}

// Arguments are joined so that the program's own splitting (the system's
// CommandLineToArgvW, as the C runtime splits) gives them back.
TEST(Process, ArgumentsAreQuotedForTheProgramsOwnSplitting) {
    const std::vector<std::u16string> arguments = {u"C:\\Program Files\\x.exe", u"plain", u"", u"a\"b", u"tail\\ \\",
                                                   u"end\\", u"\\\\server\\share\\\"q\\\"", u"tab\there"};
    const std::wstring line = pelox::host::win32::toWide(vcProcess::JoinArguments(arguments));
    int count = 0;
    wchar_t** split = CommandLineToArgvW(line.c_str(), &count);
    ASSERT_NE(split, nullptr);
    std::vector<std::u16string> back;
    for (int i = 0; i < count; ++i) back.push_back(pelox::host::win32::fromWide(split[i]));
    LocalFree(split);
    EXPECT_EQ(back, arguments) << tarn::util::ConvertStringtoUTF8(pelox::host::win32::fromWide(line));
}

#endif  // _WIN32
