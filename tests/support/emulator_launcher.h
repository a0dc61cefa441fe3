// Test support: runs pelox-emulator for end-to-end tests and talks to it.
//
//   #include "support/emulator_launcher.h"
//   using pelox::testsupport::Emulator;
//
//   Emulator emu({"--profile", "v7", "--omit-config", "SSLROOT"});
//   emu.baseUrl();      // "http://127.0.0.1:PORT"  (the server root, ROOT)
//   emu.locatorUrl();   // baseUrl() + "/qorvane/locator" (give this to pelox_login)
//   emu.root();         // the server root directory (a fresh temporary one)
//   emu.control("profile?preset=legacy5");           // GET /qorvane-control/...
//   emu.addFault("op=GetJobStatus&kind=http-500&count=1");
//   emu.count("Login");  // calls of an operation since start or resetCounts()
//   emu.log();           // the request log lines ("... POST /qorvane/locator Login session=... status=200 3ms")
//   emu.soap("/qorvane/locator", "<qor:ListMethods/>");  // raw SOAP call, returns the HTTP reply
//
// Construction starts the emulator on an ephemeral loopback port with a
// temporary root seeded with the sample catalogue (emulator/samples), reads
// the port from its first output line and throws std::runtime_error when it
// does not start within 10 seconds. Destruction stops it (SIGTERM, then
// SIGKILL after 5 seconds) and removes the temporary directory; set the
// environment variable PELOX_KEEP_EMULATOR_ROOT=1 to keep it for a look.
// Extra arguments are passed to the emulator unchanged (see
// `pelox-emulator --help`); "--root", "--port" and "--log" are set here, and
// "--password secret" unless fixedPassword is false: the user "tester" (any
// user, in fact) logs in with the password "secret". The control token, and
// a password the emulator made itself, are read from its output; control()
// sends the token.
//
// The emulator's path comes from the compile definition PELOX_EMULATOR_PATH
// (set by the pelox_test_support CMake target); link that target to use this.
//
// Windows (under Wine): a Windows program cannot start or wait for the Linux
// emulator, so construction asks the Linux-side broker that CTest runs as a
// fixture (tests/windows/emulator_broker.py) to start one, with the same
// arguments, temporary root and output reading as above. The environment
// variable PELOX_EMULATOR_BROKER names the broker's state file (port and
// token). root() and logPath() are then the Windows forms of the Linux paths
// (Z:\...); stop() asks the broker to stop the emulator (SIGTERM, then
// SIGKILL after 5 seconds) and the destructor lets the broker remove the
// temporary directory (or keep it, for PELOX_KEEP_EMULATOR_ROOT=1). An
// emulator whose program ends without its destructor is stopped and removed
// when the broker sees its connection close. emulatorPath() is the Linux
// path, meaningful only to Linux programs.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace pelox::testsupport {

struct HttpResponse {
    int status = 0;  // 0: no reply (connection failed or dropped)
    std::map<std::string, std::string> headers;  // names lower-cased
    std::string body;
};

// One HTTP/1.1 request to 127.0.0.1:port over a fresh connection, with
// "Host: 127.0.0.1:port" unless headers give a Host. The body,
// when not empty, is sent with Content-Length. Never throws for HTTP errors;
// status 0 means the connection failed or closed without a complete reply.
HttpResponse httpRequest(int port, const std::string& method, const std::string& target,
                         const std::string& body = {},
                         const std::vector<std::pair<std::string, std::string>>& headers = {});

// Wraps the body of a SOAP request (one operation element) in a SOAP 1.1
// envelope with the usual namespace prefixes: SOAP-ENV, SOAP-ENC, xsi, xsd, qor.
std::string soapEnvelope(const std::string& bodyXml);

// Text between <tag> and </tag> (first occurrence; tag without prefix
// matches any prefix); empty when absent.
std::string xmlValue(const std::string& xml, const std::string& tag);
// All <item> texts inside the first <tag> element.
std::vector<std::string> xmlItems(const std::string& xml, const std::string& tag);

const char* emulatorPath();

class Emulator {
public:
    explicit Emulator(std::vector<std::string> extraArgs = {}, bool fixedPassword = true);
    ~Emulator();
    Emulator(const Emulator&) = delete;
    Emulator& operator=(const Emulator&) = delete;

    int port() const { return port_; }
    std::string baseUrl() const { return "http://127.0.0.1:" + std::to_string(port_); }
    std::string locatorUrl() const { return baseUrl() + "/qorvane/locator"; }
    const std::filesystem::path& root() const { return root_; }
    const std::string& controlToken() const { return controlToken_; }
    // The password made at start when fixedPassword was false; else empty.
    const std::string& password() const { return password_; }
    std::filesystem::path logPath() const { return dir_ / "requests.log"; }

    // GET /qorvane-control/<commandAndQuery>; returns the body, throws
    // std::runtime_error unless the answer is 200.
    std::string control(const std::string& commandAndQuery) const;
    void setProfile(const std::string& query) const { control("profile?" + query); }
    void addFault(const std::string& query) const { control("fault?" + query); }
    void clearFaults() const { control("clear-faults"); }
    unsigned long count(const std::string& op) const;
    void resetCounts() const { control("reset-counts"); }
    std::string log() const { return control("log"); }

    // POST of a SOAP envelope around bodyXml to path (e.g. "/qorvane/xmldb").
    HttpResponse soap(const std::string& path, const std::string& bodyXml) const;
    // Logs in (Login at the locator) and returns the session ID.
    std::string login(const std::string& user = "tester", const std::string& password = "secret") const;

    // Stops the emulator (SIGTERM) and waits; returns its exit status.
    int stop();

private:
    std::filesystem::path dir_, root_;
    // The running emulator: its process ID on POSIX; on Windows the socket
    // of the broker connection that holds it. -1: none.
    std::intptr_t process_ = -1;
    bool stopped_ = false;  // Windows: stop() ran; the connection stays until destruction
    int port_ = 0;
    std::string controlToken_, password_;
};

}  // namespace pelox::testsupport
