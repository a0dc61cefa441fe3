// Running a local program on POSIX: posix_spawn, pipes, waitpid polling.
#include "host/process.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <mutex>

#include "host/sigpipe.h"
#include "host/tarn_exception.h"
#include "host/tarn_util.h"

extern char** environ;

namespace pelox::host {

namespace {

using tarn::util::ConvertStringtoUTF8;
using tarn::util::ConvertUTF8toString;

constexpr size_t kChunk = 64 * 1024;
// Upper bound of what one ExchangeData call reads from one stream, so that a
// child writing without pause cannot keep the caller in the call forever.
// Once the child has ended, a pipe holds far less than this.
constexpr size_t kMaxReadPerCall = 4 * 1024 * 1024;

std::string errnoText(int error) {
    char buffer[256];
    return strerror_r(error, buffer, sizeof buffer);
}

// Children whose vcProcess went away while they still ran.
std::mutex& orphanMutex() {
    static std::mutex m;
    return m;
}
std::vector<pid_t>& orphans() {
    static std::vector<pid_t> list;
    return list;
}

void reapOrphans() {
    std::lock_guard<std::mutex> lock(orphanMutex());
    auto& list = orphans();
    list.erase(std::remove_if(list.begin(), list.end(),
                              [](pid_t pid) {
                                  int status = 0;
                                  pid_t r;
                                  do {
                                      r = ::waitpid(pid, &status, WNOHANG);
                                  } while (r < 0 && errno == EINTR);
                                  return r != 0;  // ended (reaped), or no longer our child
                              }),
               list.end());
}

void closeFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

// Moves a descriptor to 3 or above, so that the standard descriptors of the
// child can be set up without one pipe end overwriting another.
bool raiseAboveStandard(int& fd) {
    if (fd > 2) return true;
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    if (moved < 0) return false;
    ::close(fd);
    fd = moved;
    return true;
}

bool setNonBlocking(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

// A pipe with both ends close-on-exec and above the standard descriptors.
bool makePipe(int ends[2]) {
    if (::pipe2(ends, O_CLOEXEC) != 0) return false;
    if (raiseAboveStandard(ends[0]) && raiseAboveStandard(ends[1])) return true;
    closeFd(ends[0]);
    closeFd(ends[1]);
    return false;
}

// Appends what fd holds now to out (see ExchangeData); closes fd at its end.
void drain(int& fd, std::string& carry, std::u16string& out) {
    if (fd < 0) return;
    std::string bytes = std::move(carry);
    carry.clear();
    bool ended = false;
    char buffer[kChunk];
    size_t total = 0;
    while (total < kMaxReadPerCall) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            bytes.append(buffer, static_cast<size_t>(n));
            total += static_cast<size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break;
        } else {
            ended = true;  // end of the stream (or an error, which ends it as well)
            break;
        }
    }
    if (ended) {
        closeFd(fd);
    } else {
        const size_t tail = tarn::util::incompleteUtf8Tail(bytes);
        carry.assign(bytes, bytes.size() - tail, tail);
        bytes.resize(bytes.size() - tail);
    }
    out += ConvertUTF8toString(bytes);
}

}  // namespace

struct vcProcess::Platform {
    pid_t pid = -1;
    int stdinFd = -1, stdoutFd = -1, stderrFd = -1;  // this side of the pipes
};

vcProcess::vcProcess() : platform_(std::make_unique<Platform>()) {}

ProcessIdentifier vcProcess::ProcessId() const { return platform_->pid; }

vcProcess::~vcProcess() {
    closeStreams();
    pid_t& pid = platform_->pid;
    if (pid > 0) {
        int status = 0;
        pid_t r;
        do {
            r = ::waitpid(pid, &status, WNOHANG);
        } while (r < 0 && errno == EINTR);
        if (r == 0) {
            try {
                std::lock_guard<std::mutex> lock(orphanMutex());
                orphans().push_back(pid);
            } catch (...) {
                // Out of memory: the child stays a zombie until this process ends.
            }
        }
    }
    reapOrphans();
}

void vcProcess::SetTitle(std::u16string_view title) { title_.assign(title); }

bool vcProcess::sameEnvironmentName(std::u16string_view a, std::u16string_view b) { return a == b; }

std::vector<std::u16string> vcProcess::SplitCommandLine(std::u16string_view text) {
    std::vector<std::u16string> out;
    std::u16string current;
    bool inArgument = false, quoted = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char16_t c = text[i];
        if (quoted) {
            if (c == u'\\' && i + 1 < text.size() && (text[i + 1] == u'"' || text[i + 1] == u'\\')) {
                current += text[++i];
            } else if (c == u'"') {
                quoted = false;
            } else {
                current += c;
            }
        } else if (c == u' ' || c == u'\t') {
            if (inArgument) out.push_back(std::move(current));
            current.clear();
            inArgument = false;
        } else if (c == u'"') {
            quoted = inArgument = true;
        } else {
            current += c;
            inArgument = true;
        }
    }
    if (inArgument) out.push_back(std::move(current));
    return out;
}

void vcProcess::SetCommandLine(std::u16string_view commandLine) { arguments_ = SplitCommandLine(commandLine); }

void vcProcess::SetArguments(std::vector<std::u16string> arguments) { arguments_ = std::move(arguments); }

void vcProcess::SetInterpreterCommandLine(std::u16string_view commandLine, bool /*keepOpen*/) {
    arguments_ = {u"/bin/sh", u"-c", std::u16string(commandLine)};
}

void vcProcess::closeStreams() {
    closeFd(platform_->stdinFd);
    closeFd(platform_->stdoutFd);
    closeFd(platform_->stderrFd);
}

bool vcProcess::StartProcess(int flags, int /*timeoutMs*/, void* /*reserved*/) {
    reapOrphans();
    startError_.clear();
    if (IsActive()) {
        startError_ = u"Could not start the program: the previous one is still running";
        return false;
    }
    closeStreams();
    platform_->pid = -1;
    exitCode_ = -1;
    pendingInput_.clear();
    pendingOffset_ = 0;
    closeStdinRequested_ = false;
    stdoutCarry_.clear();
    stderrCarry_.clear();

    if (arguments_.empty() || arguments_[0].empty()) {
        startError_ = u"Could not start the program: the command line names no program";
        return false;
    }
    const std::u16string& program = arguments_[0];
    std::vector<std::string> argv;
    for (const auto& a : arguments_) {
        argv.push_back(ConvertStringtoUTF8(a));
        if (argv.back().find('\0') != std::string::npos) {
            startError_ = tarn::format("Could not start '%ls': an argument holds a NUL character", program);
            return false;
        }
    }
    // The inherited environment with the appended entries replacing
    // variables of the same name.
    std::vector<std::string> env;
    std::vector<std::pair<std::string, std::string>> added;
    for (const auto& [name, value] : environment_) added.emplace_back(ConvertStringtoUTF8(name), ConvertStringtoUTF8(value));
    for (char** e = environ; e && *e; ++e) {
        std::string_view entry(*e);
        const std::string_view name = entry.substr(0, entry.find('='));
        const bool replaced =
            std::any_of(added.begin(), added.end(), [&](const auto& a) { return a.first == name; });
        if (!replaced) env.emplace_back(entry);
    }
    for (const auto& [name, value] : added) env.push_back(name + "=" + value);
    std::vector<char*> argvPtr, envPtr;
    for (auto& a : argv) argvPtr.push_back(a.data());
    argvPtr.push_back(nullptr);
    for (auto& e : env) envPtr.push_back(e.data());
    envPtr.push_back(nullptr);

    const bool exchange = (flags & kProcessExchangeStreams) != 0;
    int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
    auto closeAll = [&] {
        for (int* p : {in, out, err}) {
            closeFd(p[0]);
            closeFd(p[1]);
        }
    };
    if (exchange && !(makePipe(in) && makePipe(out) && makePipe(err))) {
        startError_ = tarn::format("Could not start '%ls': no pipes for its standard streams: %s", program, errnoText(errno));
        closeAll();
        return false;
    }

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
    if (exchange) {
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    } else {
        // A program whose streams are not exchanged gets none of the host's:
        // its output would otherwise land in the host's own standard output
        // (a JSON document, a data channel) and error.
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    }
    // Descriptors of the host program that lack close-on-exec stay with it.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    sigset_t mask, defaults;
    sigemptyset(&mask);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGXFSZ);
    posix_spawnattr_setsigmask(&attr, &mask);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    pid_t pid = -1;
    const bool searchPath = argv[0].find('/') == std::string::npos;
    const int result = searchPath ? posix_spawnp(&pid, argv[0].c_str(), &actions, &attr, argvPtr.data(), envPtr.data())
                                  : posix_spawn(&pid, argv[0].c_str(), &actions, &attr, argvPtr.data(), envPtr.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (result != 0) {
        const char* why = result == ENOENT || result == ENOTDIR ? "program not found"
                          : result == EACCES                    ? "permission denied (not executable or not accessible)"
                          : result == ENOEXEC                   ? "not an executable file"
                                                                : nullptr;
        startError_ = tarn::format("Could not start '%ls': %s", program, why ? std::string(why) : errnoText(result));
        closeAll();
        return false;
    }
    platform_->pid = pid;
    if (exchange) {
        closeFd(in[0]);
        closeFd(out[1]);
        closeFd(err[1]);
        platform_->stdinFd = in[1];
        platform_->stdoutFd = out[0];
        platform_->stderrFd = err[0];
        setNonBlocking(platform_->stdinFd);
        setNonBlocking(platform_->stdoutFd);
        setNonBlocking(platform_->stderrFd);
    }
    return true;
}

bool vcProcess::IsActive() {
    reapOrphans();
    pid_t& pid = platform_->pid;
    if (pid <= 0) return false;
    int status = 0;
    pid_t r;
    do {
        r = ::waitpid(pid, &status, WNOHANG);
    } while (r < 0 && errno == EINTR);
    if (r == 0) return true;
    if (r == pid) {
        if (WIFEXITED(status))
            exitCode_ = WEXITSTATUS(status);
        else if (WIFSIGNALED(status))
            exitCode_ = 128 + WTERMSIG(status);
    }
    // r < 0 (ECHILD): someone else reaped it; the status is unknown.
    pid = -1;
    return false;
}

void vcProcess::closeStdinNow() {
    closeFd(platform_->stdinFd);
    pendingInput_.clear();
    pendingOffset_ = 0;
}

void vcProcess::writeStdin() {
    const int fd = platform_->stdinFd;
    if (fd < 0) {
        pendingInput_.clear();
        pendingOffset_ = 0;
        return;
    }
    if (pendingOffset_ < pendingInput_.size()) {
        SigpipeBlocker noSigpipe;
        while (pendingOffset_ < pendingInput_.size()) {
            const size_t size = std::min(kChunk, pendingInput_.size() - pendingOffset_);
            const ssize_t n = ::write(fd, pendingInput_.data() + pendingOffset_, size);
            if (n > 0) {
                pendingOffset_ += static_cast<size_t>(n);
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                break;
            } else {
                // EPIPE: the child closed its end; nothing more can be written.
                closeStdinNow();
                return;
            }
        }
        if (pendingOffset_ == pendingInput_.size()) {
            pendingInput_.clear();
            pendingOffset_ = 0;
        } else if (pendingOffset_ > kChunk && pendingOffset_ > pendingInput_.size() / 2) {
            pendingInput_.erase(0, pendingOffset_);
            pendingOffset_ = 0;
        }
    }
    if (closeStdinRequested_ && pendingOffset_ >= pendingInput_.size()) closeStdinNow();
}

void vcProcess::ExchangeData(const std::u16string& input, std::u16string& output, std::u16string& error) {
    if (platform_->stdinFd >= 0 && !input.empty()) pendingInput_ += ConvertStringtoUTF8(input);
    writeStdin();
    drain(platform_->stdoutFd, stdoutCarry_, output);
    drain(platform_->stderrFd, stderrCarry_, error);
}

}  // namespace pelox::host
