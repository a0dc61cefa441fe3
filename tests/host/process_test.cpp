// Local programs: starting, feeding stdin, collecting output, exit codes.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "host/process.h"
#include "host/tarn_util.h"

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
            kill(process.ProcessId(), SIGKILL);
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

std::u16string u16(const std::string& s) { return tarn::util::ConvertUTF8toString(s); }

}  // namespace

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
