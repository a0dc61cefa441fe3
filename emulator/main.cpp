// pelox-emulator: a local workflow server for development and tests.
#include "server.h"

#include <openssl/ssl.h>
#include <signal.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <thread>

#ifndef PELOX_EMULATOR_SAMPLES
#define PELOX_EMULATOR_SAMPLES ""
#endif
#ifndef PELOX_EMULATOR_INSTALLED_SAMPLES
#define PELOX_EMULATOR_INSTALLED_SAMPLES ""
#endif

namespace {

const char* kHelp = R"(pelox-emulator - a local Qorvane workflow server for development and tests

Usage: pelox-emulator --root DIR [options]

Serves on 127.0.0.1 only, and answers only requests whose Host header is a
loopback name or address (localhost, 127.x.x.x, [::1]). Standard output
gets, one per line: the port number (useful with --port 0), then
"password=PW" when the password was made at start, then
"control-token=TOKEN". Stops cleanly on SIGINT and SIGTERM.

Server:
  --root DIR              server root (created private when missing); holds
                          catalogue/, jobs/<user>/<jobID>/ and users/. An
                          existing one must belong to you and must not be
                          writable by group or others.
  --port N                port to listen on; 0 (default) picks a free one
  --https CERT KEY        serve HTTPS with this PEM certificate chain and key
  --log FILE              append one line per request to FILE
  --seed DIR              catalogue copied into ROOT/catalogue when it has none
                          (default: the bundled samples)
  --no-seed               start with an empty catalogue
  --password PW           password accepted for every user (default: a random
                          one made at start and printed on standard output);
                          for tests and CI
  --users FILE            user list, lines "user:password"; only these users
                          may log in
  --max-body BYTES        largest request body and transfer (default 268435456)
  --request-timeout-ms N  a request (head and body) must arrive within N ms of
                          the connection (default 30000), else 408
  --max-threads N         at most N request and job threads at once (default 0:
                          as many as the system gives); a request or launch
                          beyond gets 503 or a fault, as when the system has
                          no thread to give
  --queue-ms N            launched jobs stay queued (state 4) for N ms
  --client-timeout-ms N   a job waiting for its client ends in state 7 after
                          N ms (default 0: wait without limit)

Profile (what server the emulator pretends to be):
  --profile NAME          preset: modern (= v8), v7, v6, legacy5, cluster,
                          credentials; applied before the single settings
  --server-version V      e.g. 5.0, 6, 7.2, 8
  --without-method OP     leave an operation out (repeatable, or a comma list):
                          CheckClientTypeCompatibility, GetComponentInfo2,
                          ValidateParameters, FindParameterInfo2,
                          GetProtocolNames, GetJobResults2,
                          GetCalculablePropertiesByCategory
  --with-method OP        offer such an operation again
  --compatibility true|false|unknown       clientCompatibleEnum of the checks
  --version-comparison not-checked|same|server-newer|client-newer
  --compat-server-version TEXT             serverVersion of the checks
  --cluster on|off        two runner endpoints handed out in turn by GetEndpoint
  --session-credentials on|off  session IDs carry an XMLDB endpoint
  --omit-config KEY       leave a configuration key out (repeatable)
  --extra-config N        N more configuration keys, Extra1..ExtraN (values
                          "extra 1" ...), after the others (default 0)
  --hw-address local|foreign    GetHWAddress answers this machine's address or
                                a foreign one
  --upload-url on|off     advertise the HTTP upload service
  --download-url on|off   advertise the HTTP download service
  --blocking-timeout S    BLOCKINGJOBTIMEOUT in seconds (default 30)
  --status TEXT           "Status:" line of the status page (default available)

Limits: 256 requests are served at once (16 more for the control endpoint),
1024 connections may be sending their requests; beyond either, 503.

Fault injection (repeatable):
  --fault 'op=OP&kind=KIND[&detail=A|#|B][&string=TEXT][&code=Client][&ms=N][&count=N]'
        OP is an operation name, download, upload, serverstatus or *;
        KIND is soap-fault, delay, http-500, malformed, truncated, drop or
        no-job-id (CreateJob, LaunchJob, LaunchBlockingJob: carried out,
        but the reply carries no job ID);
        ms delays the reply; count limits the rule to the next N calls.
        Values are URL-encoded.

Control endpoint (GET or POST, parameters in the query or a form body).
Every request needs the control token printed at start, in the header
X-Pelox-Control-Token or as the parameter token=TOKEN; without it: 403.
  /qorvane-control/counts[?op=OP]   per-operation call counts
  /qorvane-control/reset-counts
  /qorvane-control/fault?...        add a fault rule (same syntax as --fault)
  /qorvane-control/clear-faults
  /qorvane-control/profile?[preset=NAME&]setting=value...   switch the profile
                                    (settings named as the options above);
                                    answers the resulting profile
  /qorvane-control/job-settings?queue-ms=N&client-timeout-ms=N
                                    change the two runner settings above
  /qorvane-control/log[?clear=1]    the recent request log lines
  /qorvane-control/jobs             jobs: ID user state endpoint protocol
  /qorvane-control/sessions
  /qorvane-control/stats            process figures: threads, memory, requests

Endpoints: /qorvane/locator, /qorvane/file, /qorvane/xmldb,
/qorvane/runner, /qorvane/runner2, /qorvane/serverstatus, /qorvane/download,
/qorvane/upload. See docs/server-contract.md for formats and job states.
)";

emu::Server* gServer = nullptr;

// The bundled samples: those installed with the program (found relative to
// the executable), else those of the source tree it was built from.
std::filesystem::path bundledSamples() {
    namespace fs = std::filesystem;
    const fs::path relative = PELOX_EMULATOR_INSTALLED_SAMPLES;
    std::error_code ec;
    if (!relative.empty()) {
        const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
        if (!ec) {
            const fs::path installed = (exe.parent_path() / relative).lexically_normal();
            if (fs::is_directory(installed, ec)) return installed;
        }
    }
    return PELOX_EMULATOR_SAMPLES;
}

void onSignal(int) {
    if (gServer) gServer->requestStop();
}

}  // namespace

int main(int argc, char** argv) {
    emu::Options o;
    o.seed = bundledSamples();
    std::vector<std::pair<std::string, std::string>> settings;
    try {
        for (int i = 1; i < argc; ++i) {
            std::string a = argv[i];
            auto need = [&](int n = 1) {
                if (i + n >= argc) throw std::invalid_argument(a + " needs " + std::to_string(n) + " value(s)");
                return std::string(argv[++i]);
            };
            if (a == "--help" || a == "-h") {
                std::cout << kHelp;
                return 0;
            } else if (a == "--root") o.root = need();
            else if (a == "--port") o.port = std::stoi(need());
            else if (a == "--https") {
                o.certFile = need();
                o.keyFile = need();
            } else if (a == "--log") o.logFile = need();
            else if (a == "--seed") o.seed = need();
            else if (a == "--no-seed") o.seed.clear();
            else if (a == "--password") o.password = need();
            else if (a == "--users") o.usersFile = need();
            else if (a == "--max-body") o.maxBody = std::stoull(need());
            else if (a == "--max-threads")
                o.maxThreads = int(emu::parseInteger(need(), a, 0, 1000000));
            else if (a == "--request-timeout-ms")
                o.requestTimeoutMs = int(emu::parseInteger(need(), a, 1, 3600000));
            else if (a == "--queue-ms") o.jobs.queueMs = std::stoi(need());
            else if (a == "--client-timeout-ms") o.jobs.clientTimeoutMs = std::stoi(need());
            else if (a == "--fault") o.faults.push_back(emu::parseFaultRule(need()));
            else if (a == "--cluster" || a == "--session-credentials") {
                // on/off value optional
                std::string v = "on";
                if (i + 1 < argc && (std::strcmp(argv[i + 1], "on") == 0 || std::strcmp(argv[i + 1], "off") == 0))
                    v = argv[++i];
                settings.emplace_back(a.substr(2), v);
            } else if (a.starts_with("--")) {
                settings.emplace_back(a.substr(2), need());
            } else {
                throw std::invalid_argument("unexpected argument '" + a + "'");
            }
        }
        if (o.root.empty()) throw std::invalid_argument("--root DIR is required (see --help)");
        if (o.port < 0 || o.port > 65535) throw std::invalid_argument("--port must be 0..65535");
        // The preset goes first so that single settings refine it.
        for (auto& [k, v] : settings)
            if (k == "profile") emu::applySetting(o.profile, k, v);
        for (auto& [k, v] : settings)
            if (k != "profile") emu::applySetting(o.profile, k, v);
    } catch (const std::exception& e) {
        std::cerr << "pelox-emulator: " << e.what() << "\n";
        return 2;
    }

    const bool generatedPassword = o.password.empty() && o.usersFile.empty();
    signal(SIGPIPE, SIG_IGN);
    try {
        emu::Server server(o);
        int port = server.bind();
        gServer = &server;
        struct sigaction sa {};
        sa.sa_handler = onSignal;
        sigaction(SIGINT, &sa, nullptr);
        sigaction(SIGTERM, &sa, nullptr);
        // The port, then what a client needs to log in and to steer the
        // server. Standard output belongs to whoever started the server.
        std::cout << port << "\n";
        if (generatedPassword) std::cout << "password=" << server.password() << "\n";
        std::cout << "control-token=" << server.controlToken() << std::endl;
        std::cerr << "pelox-emulator: serving " << server.baseUrl() << " from " << server.root().string()
                  << " (profile " << o.profile.name << ", server version " << o.profile.serverVersion << ")\n";
        server.run();
        gServer = nullptr;
        if (server.activeConnections() > 0) {
            // A request is still being served (e.g. a long injected delay):
            // leave without tearing down state that its thread still uses.
            std::cerr << "pelox-emulator: stopped with requests in flight\n";
            std::_Exit(0);
        }
    } catch (const std::exception& e) {
        std::cerr << "pelox-emulator: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
