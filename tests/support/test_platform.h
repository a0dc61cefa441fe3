// The few operating-system services test programs use themselves, for the
// programs built both for Linux and, cross-built, for Windows (run under
// Wine): loopback sockets for the tests' own small servers, the
// environment, the process ID. Header-only, so any test program can use it
// without linking the emulator support. Winsock is started on first use;
// programs built for Windows link ws2_32 (tests/CMakeLists.txt).
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <process.h>
#include <tlhelp32.h>
#else
#include <system_error>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cstdlib>
#include <filesystem>
#include <string>

namespace pelox::testsupport {

#ifdef _WIN32
using Socket = SOCKET;
inline const Socket kNoSocket = INVALID_SOCKET;
#else
using Socket = int;
inline const Socket kNoSocket = -1;
#endif

// Winsock must be started before the first socket; the library starts it
// for its own calls, but a test's server may come first.
inline bool socketsReady() {
#ifdef _WIN32
    static const bool ready = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return ready;
#else
    return true;
#endif
}

inline void closeSocket(Socket s) {
#ifdef _WIN32
    ::closesocket(s);
#else
    ::close(s);
#endif
}

// A socket bound to 127.0.0.1 at an ephemeral port (set in port), not
// listening: connections to it are refused. kNoSocket on failure.
inline Socket bindLoopback(int& port) {
    if (!socketsReady()) return kNoSocket;
    const Socket s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == kNoSocket) return kNoSocket;
#ifndef _WIN32
    // (On Windows SO_REUSEADDR would let another socket take the port.)
    int one = 1;
    ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
#endif
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        closeSocket(s);
        return kNoSocket;
    }
    port = ntohs(address.sin_port);
    return s;
}

// A socket listening on 127.0.0.1 at an ephemeral port (set in port), or
// kNoSocket.
inline Socket listenOnLoopback(int& port, int backlog = 16) {
    const Socket s = bindLoopback(port);
    if (s != kNoSocket && ::listen(s, backlog) != 0) {
        closeSocket(s);
        return kNoSocket;
    }
    return s;
}

// A socket connected to 127.0.0.1:port, or kNoSocket.
inline Socket connectLoopback(int port) {
    if (!socketsReady()) return kNoSocket;
    const Socket s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == kNoSocket) return kNoSocket;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<unsigned short>(port));
    if (::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        closeSocket(s);
        return kNoSocket;
    }
    return s;
}

inline Socket acceptClient(Socket listener) {
    return ::accept(listener, nullptr, nullptr);
}

// True when s has data (or an end) to read within timeoutMs.
inline bool waitReadable(Socket s, int timeoutMs) {
#ifdef _WIN32
    WSAPOLLFD p{s, POLLRDNORM, 0};
    return ::WSAPoll(&p, 1, timeoutMs) > 0;
#else
    pollfd p{s, POLLIN, 0};
    return ::poll(&p, 1, timeoutMs) > 0;
#endif
}

// Bytes received (0 at the end, negative on failure).
inline long receiveSome(Socket s, char* buffer, size_t size) {
#ifdef _WIN32
    return ::recv(s, buffer, static_cast<int>(size), 0);
#else
    return static_cast<long>(::recv(s, buffer, size, 0));
#endif
}

// Bytes sent (negative on failure); a peer that has gone raises no signal.
inline long sendSome(Socket s, const char* data, size_t size) {
#ifdef _WIN32
    return ::send(s, data, static_cast<int>(size), 0);
#else
    return static_cast<long>(::send(s, data, size, MSG_NOSIGNAL));
#endif
}

inline bool sendAll(Socket s, const std::string& data) {
    size_t sent = 0;
    while (sent < data.size()) {
        const long n = sendSome(s, data.data() + sent, data.size() - sent);
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

inline void shutdownWrite(Socket s) {
#ifdef _WIN32
    ::shutdown(s, SD_SEND);
#else
    ::shutdown(s, SHUT_WR);
#endif
}

inline void shutdownBoth(Socket s) {
#ifdef _WIN32
    ::shutdown(s, SD_BOTH);
#else
    ::shutdown(s, SHUT_RDWR);
#endif
}

// Sets (or, with unsetEnv, removes) a variable of this process's
// environment, as the library reads it.
inline void setEnv(const char* name, const std::string& value) {
#ifdef _WIN32
    // Updates the C runtime's copy and the process environment block.
    ::_putenv_s(name, value.c_str());
#else
    ::setenv(name, value.c_str(), 1);
#endif
}

inline void unsetEnv(const char* name) {
#ifdef _WIN32
    ::_putenv_s(name, "");
#else
    ::unsetenv(name);
#endif
}

inline long processId() {
#ifdef _WIN32
    return static_cast<long>(::GetCurrentProcessId());
#else
    return static_cast<long>(::getpid());
#endif
}

// What shows whether a file was replaced or changed beyond its content.
// Links are followed.
struct FileState {
    bool exists = false;
    unsigned long long id = 0;  // inode; Windows: file index
    unsigned long mode = 0;     // permission bits; Windows: read-only, hidden and system attributes
    unsigned long owner = 0;    // Windows: 0
    unsigned long links = 0;
};

inline FileState fileState(const std::filesystem::path& path) {
    FileState state;
#ifdef _WIN32
    const HANDLE file = ::CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) return state;
    BY_HANDLE_FILE_INFORMATION info{};
    if (::GetFileInformationByHandle(file, &info)) {
        state.exists = true;
        state.id = (static_cast<unsigned long long>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
        state.mode = info.dwFileAttributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
        state.links = info.nNumberOfLinks;
    }
    ::CloseHandle(file);
#else
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return state;
    state.exists = true;
    state.id = info.st_ino;
    state.mode = info.st_mode;
    state.owner = info.st_uid;
    state.links = info.st_nlink;
#endif
    return state;
}

// Whether this Windows program runs under Wine (whose ntdll has
// wine_get_version); false on Linux.
inline bool underWine() {
#ifdef _WIN32
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
    return false;
#endif
}

// The number of threads this process has now (to check that the library
// starts none).
inline size_t threadCount() {
    size_t n = 0;
#ifdef _WIN32
    const HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return 0;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    const DWORD self = ::GetCurrentProcessId();
    for (BOOL more = ::Thread32First(snapshot, &entry); more; more = ::Thread32Next(snapshot, &entry))
        n += entry.th32OwnerProcessID == self;
    ::CloseHandle(snapshot);
#else
    std::error_code ec;
    for (std::filesystem::directory_iterator it("/proc/self/task", ec), end; !ec && it != end; it.increment(ec)) ++n;
#endif
    return n;
}

}  // namespace pelox::testsupport
