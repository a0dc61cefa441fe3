#include "server.h"

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#ifndef PELOX_EMULATOR_BUILD_PATH
#define PELOX_EMULATOR_BUILD_PATH ""
#endif

namespace fs = std::filesystem;

namespace pelox::cli {

namespace {

bool isExecutable(const std::string& path) {
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

std::string ownDirectory() {
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : self.parent_path().string();
}

// The same rule as the library's: the first of TMPDIR, TMP, TEMP, TEMPDIR
// that is set and names a directory, else /tmp.
std::string temporaryDirectory() {
    for (const char* name : {"TMPDIR", "TMP", "TEMP", "TEMPDIR"}) {
        const char* value = std::getenv(name);
        if (!value || !*value) continue;
        std::error_code ec;
        if (fs::is_directory(value, ec)) return value;
        break;
    }
    return "/tmp";
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Waits for the child to end, up to timeoutMs; true when it ended.
bool waitFor(pid_t pid, int timeoutMs) {
    for (int waited = 0;; waited += 20) {
        int status = 0;
        const pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid || (r < 0 && errno == ECHILD)) return true;
        if (waited >= timeoutMs) return false;
        sleepMs(20);
    }
}

// Overwrites a secret before its memory is given back.
void wipe(std::string& secret) {
    volatile char* p = secret.data();
    for (size_t i = 0; i < secret.size(); ++i) p[i] = 0;
    secret.clear();
}

// Reads a password from the terminal without echo. Throws Failure when there
// is no terminal.
std::string promptPassword(const std::string& prompt) {
    const int fd = ::open("/dev/tty", O_RDWR | O_CLOEXEC);
    if (fd < 0)
        throw Failure(kExitUsage,
                      "no password: set PELOX_PASSWORD, give --password-file FILE, or run pelox on a terminal");
    termios saved{};
    const bool terminal = ::tcgetattr(fd, &saved) == 0;
    if (terminal) {
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        quiet.c_lflag |= ECHONL;
        ::tcsetattr(fd, TCSAFLUSH, &quiet);
    }
    if (::write(fd, prompt.data(), prompt.size()) < 0) {
        // The prompt is a courtesy; reading goes on.
    }
    std::string password;
    char c = 0;
    while (::read(fd, &c, 1) == 1 && c != '\n') password += c;
    if (terminal) ::tcsetattr(fd, TCSAFLUSH, &saved);
    ::close(fd);
    if (!password.empty() && password.back() == '\r') password.pop_back();
    return password;
}

}  // namespace

std::string findEmulator(std::string* searched) {
    std::vector<std::string> looked;
    if (const char* named = std::getenv("PELOX_EMULATOR"); named && *named) {
        if (searched) *searched = std::string("PELOX_EMULATOR=") + named;
        return isExecutable(named) ? named : std::string();
    }
    const std::string beside = ownDirectory().empty() ? std::string() : ownDirectory() + "/pelox-emulator";
    if (!beside.empty()) {
        looked.push_back(beside);
        if (isExecutable(beside)) return beside;
    }
    const std::string built = PELOX_EMULATOR_BUILD_PATH;
    if (!built.empty()) {
        looked.push_back(built);
        if (isExecutable(built)) return built;
    }
    if (searched) *searched = joined(looked);
    return {};
}

EmbeddedEmulator::EmbeddedEmulator(bool keep) : keep_(keep) {
    std::string searched;
    const std::string program = findEmulator(&searched);
    if (program.empty())
        throw Failure(kExitLocal, "no server given (--server or PELOX_SERVER) and no pelox-emulator to start (looked at " +
                                      searched + ")");

    std::string pattern = temporaryDirectory() + "/pelox-emulator.XXXXXX";
    if (!::mkdtemp(pattern.data()))
        throw Failure(kExitLocal, "could not make a temporary directory in " + temporaryDirectory() + ": " +
                                      std::strerror(errno));
    root_ = pattern;
    const std::string outPath = root_ + "/emulator.out", errPath = root_ + "/emulator.err";
    const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (out < 0 || err < 0 || null < 0) {
        for (int fd : {out, err, null})
            if (fd >= 0) ::close(fd);
        fs::remove_all(root_);
        throw Failure(kExitLocal, "could not set up the emulator's files in " + root_);
    }

    // Everything the child needs is made before fork: after it, only
    // async-signal-safe calls.
    const std::string serverRoot = root_ + "/server", log = root_ + "/requests.log";
    std::vector<std::string> args = {program, "--root", serverRoot, "--port", "0", "--log", log};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t parent = ::getpid();

    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(null, STDIN_FILENO);
        ::dup2(out, STDOUT_FILENO);
        ::dup2(err, STDERR_FILENO);
        if (keep) {
            // Its own session: no terminal signals, no hang-up when pelox's
            // terminal closes.
            ::setsid();
        } else {
            // Its own process group, so that Ctrl-C reaches pelox only (which
            // then stops the job before the server), and it ends when pelox
            // ends, however that happens.
            ::setpgid(0, 0);
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (::getppid() != parent) ::_exit(127);
        }
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    const int forkError = errno;
    ::close(out);
    ::close(err);
    ::close(null);
    if (pid_ < 0) {
        fs::remove_all(root_);
        throw Failure(kExitLocal, std::string("could not start the emulator: ") + std::strerror(forkError));
    }

    // Its output, in a 0600 file of the private folder: the port, the
    // password it made for this start, the control token (one a line).
    for (int waited = 0; waited < 10000; waited += 20) {
        std::string text = readFile(outPath);
        const size_t token = text.find("\ncontrol-token=");
        if (const size_t eol = text.find('\n'); eol != std::string::npos) {
            const std::string port = text.substr(0, eol);
            if (port.empty() || port.find_first_not_of("0123456789") != std::string::npos) break;
            if (token != std::string::npos && text.find('\n', token + 1) != std::string::npos) {
                const size_t password = text.find("\npassword=");
                if (password != std::string::npos && password < token)
                    password_ = text.substr(password + 10, text.find('\n', password + 1) - password - 10);
                controlToken_ = text.substr(token + 15, text.find('\n', token + 1) - token - 15);
                wipe(text);
                if (!password_.empty()) {
                    url_ = "http://127.0.0.1:" + port + "/qorvane/locator";
                    return;
                }
                break;
            }
        }
        wipe(text);
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            break;
        }
        sleepMs(20);
    }
    const std::string errors = readFile(errPath);
    keep_ = false;
    stop();
    throw Failure(kExitLocal, "the emulator " + program + " did not start" + (errors.empty() ? "" : ": " + errors));
}

EmbeddedEmulator::~EmbeddedEmulator() { stop(); }

void EmbeddedEmulator::stop() {
    if (keep_) return;
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        if (!waitFor(pid_, 5000)) {
            ::kill(pid_, SIGKILL);
            waitFor(pid_, 5000);
        }
        pid_ = -1;
    }
    if (!root_.empty()) {
        std::error_code ec;
        fs::remove_all(root_, ec);
        root_.clear();
    }
}

const std::string& Server::url() {
    if (!url_.empty()) return url_;
    if (!options_.server.empty()) {
        url_ = options_.server;
    } else {
        emulator_ = std::make_unique<EmbeddedEmulator>(options_.keepServer);
        url_ = emulator_->url();
    }
    return url_;
}

const std::string& Server::user() {
    if (options_.user.empty()) {
        const char* name = std::getenv("USER");
        if (!name || !*name) name = std::getenv("LOGNAME");
        if (name && *name) {
            options_.user = name;
        } else if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_name) {
            options_.user = pw->pw_name;
        } else {
            options_.user = "pelox";
        }
    }
    return options_.user;
}

std::string Server::password() {
    if (embedded()) return emulator_ ? emulator_->password() : std::string();
    if (!options_.passwordFile.empty()) {
        std::ifstream in(options_.passwordFile);
        std::string line;
        if (!in || !std::getline(in, line))
            throw Failure(kExitUsage, "could not read a password from " + options_.passwordFile);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        // Used all the same (the user chose the file), but a password others
        // can read is no longer the user's alone.
        struct stat st {};
        if (::stat(options_.passwordFile.c_str(), &st) == 0 && (st.st_mode & (S_IRGRP | S_IROTH)))
            std::fprintf(stderr, "pelox: warning: the password file %s can be read by other users (mode %04o); "
                                 "make it private with: chmod go-rwx %s\n",
                         options_.passwordFile.c_str(), unsigned(st.st_mode & 07777), options_.passwordFile.c_str());
        return line;
    }
    if (options_.passwordFromEnvironment) return options_.password;
    return promptPassword("Password for " + user() + " at " + url() + ": ");
}

const std::u16string& Server::session(Objects& objects) {
    if (!session_.empty()) return session_;
    const std::u16string server = toU16(url());
    const std::u16string name = toU16(user());
    std::string secret = password();
    std::u16string wide = toU16(secret);
    wipe(secret);
    const int32_t string = objects.string(0);
    const int32_t rc = pelox_login(server.c_str(), name.c_str(), wide.c_str(), nullptr, string, u"pelox");
    for (char16_t& c : wide) *static_cast<volatile char16_t*>(&c) = 0;
    check("pelox_login", rc);
    session_ = reinterpret_cast<const char16_t*>(string_getText(string));
    return session_;
}

Json Server::keptServerJson() const {
    if (!emulator_ || !emulator_->kept()) return nullptr;
    return Json{{"url", emulator_->url()}, {"pid", emulator_->pid()}, {"root", emulator_->root()}};
}

void Server::finish(const Output& out) {
    if (!emulator_) return;
    if (emulator_->kept()) {
        out.note("pelox: the emulator keeps running at " + emulator_->url() + " (pid " +
                 std::to_string(emulator_->pid()) + ", root " + emulator_->root() + "); stop it with: kill " +
                 std::to_string(emulator_->pid()));
        // Its password is made at start; this line lets later commands (and
        // the user's own programs) log in to it.
        out.note("export PELOX_SERVER='" + emulator_->url() + "' PELOX_PASSWORD='" + emulator_->password() + "'");
    }
    emulator_->stop();
    emulator_.reset();
}

}  // namespace pelox::cli
