// The server a command talks to: the one named by --server or PELOX_SERVER,
// or else the bundled emulator, started on a free loopback port with the
// sample catalogue in a temporary root and stopped at the end. Also the
// login: user, password (never taken from the command line) and session.
#pragma once

#include <memory>
#include <string>

#include <sys/types.h>

#include "api.h"
#include "output.h"

namespace pelox::cli {

struct ServerOptions {
    std::string server;        // --server, else PELOX_SERVER; empty: the embedded emulator
    std::string user;          // --user, else PELOX_USER, else the login name
    std::string passwordFile;  // --password-file
    std::string password;      // PELOX_PASSWORD, read (and removed from the environment) at start
    bool passwordFromEnvironment = false;
    bool keepServer = false;   // --keep-server
};

// The emulator program: PELOX_EMULATOR, else pelox-emulator next to this
// program, else the one of the build tree pelox was built in. Empty when
// none is found; searched lists where it looked.
std::string findEmulator(std::string* searched = nullptr);

// A running pelox-emulator with its temporary root.
class EmbeddedEmulator {
public:
    // Starts it (throws Failure with kExitLocal when it cannot be found or
    // does not start within 10 seconds). keep: it outlives pelox (own
    // session, not stopped with pelox); otherwise it is tied to pelox and
    // ends with it even if pelox is killed.
    explicit EmbeddedEmulator(bool keep);
    ~EmbeddedEmulator();
    EmbeddedEmulator(const EmbeddedEmulator&) = delete;
    EmbeddedEmulator& operator=(const EmbeddedEmulator&) = delete;

    const std::string& url() const { return url_; }
    const std::string& root() const { return root_; }
    // The password it made at start and the token of its control endpoint,
    // read from its output file in the private root.
    const std::string& password() const { return password_; }
    const std::string& controlToken() const { return controlToken_; }
    pid_t pid() const { return pid_; }
    bool kept() const { return keep_; }
    // Stops the emulator and removes its root (nothing when kept).
    void stop();

private:
    bool keep_;
    pid_t pid_ = -1;
    std::string root_, url_, password_, controlToken_;
};

class Server {
public:
    explicit Server(ServerOptions options) : options_(std::move(options)) {}

    // The server URL; starts the emulator on first use when no server is named.
    const std::string& url();
    // Logs in on first use and returns the session ID.
    const std::u16string& session(Objects& objects);
    const std::string& user();
    bool embedded() const { return options_.server.empty(); }
    // Where a kept emulator runs (null when there is none).
    Json keptServerJson() const;
    // Stops the embedded emulator unless it is kept; tells about a kept one.
    void finish(const Output& out);

private:
    std::string password();

    ServerOptions options_;
    std::string url_;
    std::u16string session_;
    std::unique_ptr<EmbeddedEmulator> emulator_;
};

}  // namespace pelox::cli
