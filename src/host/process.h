// Running a local program: the platform library's process class. The
// library starts no threads and installs no signal handlers: children are
// watched by polling (IsActive).
//
// POSIX (src/host/posix/process.cpp), on top of posix_spawn. A child whose
// vcProcess was destroyed while it still ran is reaped later by any
// vcProcess (see the destructor).
//
// Command line (SetCommandLine) splitting on POSIX:
//   - spaces and tabs outside double quotes separate arguments;
//   - a double quote starts or ends a quoted run and is removed; a quoted run
//     may sit inside an argument (a"b c"d is the one argument "ab cd"), and
//     "" gives an empty argument;
//   - inside double quotes, \" is a literal double quote and \\ one
//     backslash; every other backslash, and every backslash outside quotes,
//     is an ordinary character (so "C:\dir" and a\b stay as written);
//   - single quotes are ordinary characters; a quote left open runs to the
//     end of the text; no other shell syntax ($, *, |, >) is interpreted.
// The first argument is the program: looked up on PATH (of this process)
// when it holds no '/', else taken as a path.
//
// Windows (src/host/win32/process.cpp), on top of CreateProcessW: the
// command line goes to CreateProcessW as it is (the program splits its own
// arguments, as every Windows program does); CreateProcessW finds the
// program. SetArguments quotes each argument by the rules of
// CommandLineToArgvW and joins them.
//
// Environment (AppendEnvironment): "NAME=value" entries separated by line
// feeds (a carriage return before a line feed is dropped). Each entry is
// added to the environment the child inherits from this process, replacing a
// variable of the same name (on Windows, names compare without regard to
// case, as the system's do); later entries win. Empty lines and lines
// without '=' or with an empty name are ignored; the value may hold '='.
// Calls add up until the next start.
//
// Standard streams: with kProcessExchangeStreams the child's stdin, stdout
// and stderr are pipes to this object; otherwise all three are the null
// device (/dev/null, NUL): the library never writes into its host's streams,
// nor do the programs it starts. One exception, on Windows: a program shown
// in a console window of its own (kProcessShowConsole) uses that console,
// which is not the host's (cmd.exe /k reads its commands from there). The child inherits no other descriptors or
// handles. On POSIX, SIGPIPE and SIGXFSZ start with their default action in
// the child and its signal mask is empty, whatever this process set.
//
// Console (Windows): with kProcessShowConsole the child gets a console
// window of its own (CREATE_NEW_CONSOLE); without it, none
// (CREATE_NO_WINDOW, SW_HIDE). POSIX has no console windows.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace pelox::host {

inline constexpr int kProcessExchangeStreams = 1;  // StartProcess flag: pipes for stdin/stdout/stderr
inline constexpr int kProcessShowConsole = 2;      // a console window of its own (Windows; ignored on POSIX)

// Where the program runner follows its platform's conventions (the one
// place where the two builds choose differently on purpose):
//   - the command interpreter: vcProcess::SetInterpreterCommandLine, and
//     how a step preview names it (kInterpreterDescription);
//   - the letter case of an executable path read from a class
//     registration's LocalServer32 value: Windows upper-cases it (letters a
//     to z), as the registry's consumers there do; file names there ignore
//     case. POSIX keeps it, since file names there depend on it.
#ifdef _WIN32
inline constexpr bool kUpperCaseRegisteredServerPaths = true;
inline constexpr const char16_t* kInterpreterDescription = u"the command interpreter (cmd.exe /c, or /k to keep the console open)";
#else
inline constexpr bool kUpperCaseRegisteredServerPaths = false;
inline constexpr const char16_t* kInterpreterDescription = u"the shell (/bin/sh -c)";
#endif

// A process id; -1 when there is none.
using ProcessIdentifier = long long;

class vcProcess {
public:
    vcProcess();
    // Closes this side of the pipes. A child still running is not stopped.
    // POSIX: its pid goes to a process-wide list and is reaped (waitpid
    // WNOHANG) by later StartProcess/IsActive calls and destructors of any
    // vcProcess. Windows: its handle is closed (nothing is left to reap).
    ~vcProcess();
    vcProcess(const vcProcess&) = delete;
    vcProcess& operator=(const vcProcess&) = delete;

    void SetTitle(std::u16string_view title);  // the console window's title on Windows; kept only on POSIX
    void SetCommandLine(std::u16string_view commandLine);
    void SetArguments(std::vector<std::u16string> arguments);  // exact argument vector instead
    // Runs commandLine through the platform's command interpreter:
    //   Windows: cmd.exe /c "commandLine" (/k, keeping the interpreter and
    //   its window open, when keepOpen), given to CreateProcessW as it is;
    //   POSIX:   /bin/sh -c commandLine (keepOpen has no meaning without a
    //   console window).
    void SetInterpreterCommandLine(std::u16string_view commandLine, bool keepOpen);
    void AppendEnvironment(std::u16string_view environment);

    // Starts the process. False when it could not be started (no program,
    // program not found, not executable, already running, ...); StartError()
    // then says why. timeoutMs and reserved are not used (the start either
    // fails at once or has succeeded).
    bool StartProcess(int flags, int timeoutMs, void* reserved);
    const std::u16string& StartError() const { return startError_; }
    // True while running; reaps the process (POSIX) or closes its handle
    // (Windows) when it has ended, keeping its exit code.
    bool IsActive();
    // Queues input for stdin and writes as much of the queue as the pipe
    // takes without blocking (the rest is kept for later calls); appends
    // what stdout and stderr produced so far to output and error. Input is
    // written as UTF-8, and output decoded as UTF-8, on both platforms (a
    // Windows program writing its ANSI or OEM code page shows U+FFFD for
    // what is not ASCII); a multi-byte sequence split across reads is kept
    // whole, invalid bytes become U+FFFD. Windows writes stdin in
    // non-blocking mode and reads only what PeekNamedPipe shows is there.
    // Never blocks, never raises SIGPIPE:
    // once the child has closed its stdin, queued and later input is dropped.
    // Without kProcessExchangeStreams nothing is exchanged.
    void ExchangeData(const std::u16string& input, std::u16string& output, std::u16string& error);
    // Closes stdin once the queued input is written (at once when the queue
    // is empty or the child has closed its end); later ExchangeData calls
    // finish writing the queue.
    void CloseStdin();
    // The exit status; -1 while running, before a start, or when the status
    // could not be learned. POSIX: 128 + signal number when killed by a
    // signal; -1 also when another part of the program reaped the child.
    // Windows: GetExitCodeProcess's 32 bits (an NTSTATUS of a crash reads as
    // a negative number).
    int ExitCode() const { return exitCode_; }
    // The child's process id; -1 when none was started or it has ended.
    ProcessIdentifier ProcessId() const;

#ifndef _WIN32
    // The argument vector SetCommandLine makes of a command line (POSIX).
    static std::vector<std::u16string> SplitCommandLine(std::u16string_view commandLine);
#else
    // The command line SetArguments makes of an argument vector (Windows).
    static std::u16string JoinArguments(const std::vector<std::u16string>& arguments);
#endif

private:
    // The platform's state: descriptors or handles, the pending input.
    struct Platform;
    // Whether two environment variable names are the same variable (exactly
    // on POSIX; without regard to case on Windows).
    static bool sameEnvironmentName(std::u16string_view a, std::u16string_view b);
    void closeStreams();
    void writeStdin();
    void closeStdinNow();

    std::u16string title_;
    std::vector<std::u16string> arguments_;  // POSIX: the argument vector
    std::u16string commandLine_;             // Windows: the command line
    std::vector<std::pair<std::u16string, std::u16string>> environment_;  // name, value
    std::u16string startError_;
    int exitCode_ = -1;
    std::string pendingInput_;  // UTF-8 not yet accepted by the child
    size_t pendingOffset_ = 0;
    bool closeStdinRequested_ = false;
    std::string stdoutCarry_, stderrCarry_;  // an incomplete UTF-8 sequence at the end of the last read
    std::unique_ptr<Platform> platform_;
};

}  // namespace pelox::host
