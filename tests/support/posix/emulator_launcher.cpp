// The POSIX part of the test support: starts pelox-emulator as a child
// process, stops it, and exchanges raw HTTP over BSD sockets.
#include "support/emulator_launcher.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <thread>

#include "support/emulator_platform.h"

namespace fs = std::filesystem;

namespace pelox::testsupport {

bool detail::exchange(int port, const std::string& request, std::string& reply) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    timeval tv{30, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(uint16_t(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return false;
    }
    size_t sent = 0;
    while (sent < request.size()) {
        ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += size_t(n);
    }
    char buf[65536];
    while (true) {
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        reply.append(buf, size_t(n));
    }
    ::close(fd);
    return true;
}

Emulator::Emulator(std::vector<std::string> extraArgs, bool fixedPassword) {
    std::string pattern = (fs::temp_directory_path() / "pelox-emu-XXXXXX").string();
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
    dir_ = buf.data();
    root_ = dir_ / "root";
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    std::vector<std::string> args = {emulatorPath(), "--root", root_.string(), "--port", "0", "--log",
                                     logPath().string()};
    if (fixedPassword) args.insert(args.end(), {"--password", "secret"});
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    std::string errPath = (dir_ / "stderr.txt").string();
    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        dup2(out[1], 1);
        int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (err >= 0) dup2(err, 2);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    process_ = pid;
    ::close(out[1]);
    // The port, then (a password made at start, and) the control token.
    std::string line;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    auto announced = [&] {
        const size_t token = line.find("control-token=");
        return token != std::string::npos && line.find('\n', token) != std::string::npos;
    };
    while (!announced() && std::chrono::steady_clock::now() < deadline) {
        pollfd p{out[0], POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) continue;
        char c[256];
        ssize_t n = ::read(out[0], c, sizeof c);
        if (n <= 0) break;
        line.append(c, size_t(n));
    }
    ::close(out[0]);
    port_ = announced() ? std::atoi(line.c_str()) : 0;
    if (port_ > 0) {
        const size_t token = line.find("control-token=") + 14;
        controlToken_ = line.substr(token, line.find('\n', token) - token);
        const size_t password = line.find("password=");
        if (password != std::string::npos && password < token)
            password_ = line.substr(password + 9, line.find('\n', password) - password - 9);
    }
    if (port_ <= 0) {
        stop();
        std::string why;
        if (FILE* f = std::fopen(errPath.c_str(), "r")) {
            char b[1024];
            size_t n = std::fread(b, 1, sizeof b - 1, f);
            why.assign(b, n);
            std::fclose(f);
        }
        if (!detail::keepEmulatorRoot()) {
            std::error_code ec;
            fs::remove_all(dir_, ec);  // the destructor does not run for a failed start
        }
        throw std::runtime_error("pelox-emulator did not start: " + why);
    }
}

Emulator::~Emulator() {
    stop();
    if (!detail::keepEmulatorRoot()) {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
}

int Emulator::stop() {
    if (process_ <= 0) return 0;
    const auto pid = pid_t(process_);
    ::kill(pid, SIGTERM);
    int status = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (true) {
        pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid || r < 0) break;
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    process_ = -1;
    return status;
}

}  // namespace pelox::testsupport
