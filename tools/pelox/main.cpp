// pelox: the command-line client of the Qorvane workflow server, built on the
// public API of libpeloxImp only (include/peloxImp.h).
//
//   pelox [OPTIONS] COMMAND [ARGUMENTS]      pelox help [COMMAND]
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "context.h"

using namespace pelox::cli;

namespace {

struct OptionSpec {
    const char* name;  // long name without "--"
    char shortName;    // 0: none
    bool takesValue;
};

const std::vector<OptionSpec> kGlobalOptions = {
    {"server", 's', true},   {"user", 'u', true}, {"password-file", 0, true}, {"json", 0, false},
    {"trace", 0, true},      {"keep-server", 0, false}, {"option", 0, true},   {"help", 'h', false},
    {"version", 0, false},    {"timeout", 0, true},
};

struct Command {
    const char* name;     // "ls", "job status", ...
    const char* synopsis; // the arguments
    const char* summary;
    const char* help;     // the rest of the help text: description, options, examples
    std::vector<OptionSpec> options;
    size_t minArgs, maxArgs;
};

const OptionSpec kParam = {"param", 'p', true};
const OptionSpec kNoClientSteps = {"no-client-steps", 0, false};

const std::vector<Command> kCommands = {
    {"info", "", "library version and settings",
     "Prints the library's version and retry settings, the environment variables\n"
     "pelox and the library read, and the emulator pelox would start. Talks to no\n"
     "server.\n\n"
     "Examples:\n  pelox info\n  pelox --json info\n",
     {}, 0, 0},
    {"config", "", "the server's configuration settings",
     "Reads the server's exposed configuration settings (no login needed).\n\n"
     "Examples:\n  pelox config\n  pelox --server https://qorvane.example.com config\n",
     {}, 0, 0},
    {"status", "", "the server's status page",
     "Logs in and reads the server's status page (one Name: value per line).\n\n"
     "Examples:\n  pelox status\n  pelox --json status\n",
     {}, 0, 0},
    {"ls", "[FOLDER]", "protocols and sub-folders of a catalogue folder",
     "Lists the protocols and the sub-folders of a catalogue folder (default: the\n"
     "top). Sub-folders are shown with a trailing \"/\".\n\n"
     "Options:\n  -r, --recursive     walk the sub-folders too (full names)\n\n"
     "Examples:\n  pelox ls\n  pelox ls Examples\n  pelox ls -r\n",
     {{"recursive", 'r', false}}, 0, 1},
    {"jobdir", "JOB [SUBFOLDER]", "files and folders of a job's directory",
     "Lists a job's directory on the server (or a sub-folder of it): folders, and\n"
     "files with their sizes in bytes.\n\n"
     "Examples:\n  pelox jobdir J000001-1A2B3C4D\n  pelox --json jobdir J000001-1A2B3C4D results\n",
     {}, 1, 2},
    {"props", "", "calculable properties by category",
     "Lists the server's calculable properties by category.\n\n"
     "Examples:\n  pelox props\n",
     {}, 0, 0},
    {"params", "PROTOCOL [-p NAME=VALUE]...", "a protocol's parameters",
     "Shows a protocol's parameters as the server describes and validates them:\n"
     "name, type, class (normal, advanced, implementation), whether a value is\n"
     "required, the values, the legal values, whether it is enabled and valid, and\n"
     "the details the server gives for an invalid or disabled parameter. Values\n"
     "given with -p are set first, so you can see how the server judges them.\n"
     "Exit status 3 when an enabled parameter is not valid (run would refuse to\n"
     "launch), 0 when all are.\n\n"
     "Options:\n"
     "  -p, --param NAME=VALUE   set a value first (repeat for several values)\n\n"
     "Examples:\n  pelox params \"Examples/Add Numbers\"\n"
     "  pelox params \"Examples/Shapes\" -p Shape=Circle\n"
     "  pelox --json params \"Examples/Add Numbers\" -p A=x\n",
     {kParam}, 1, 1},
    {"run", "PROTOCOL [-p NAME=VALUE]... [--blocking] [--no-client-steps] [--confirm] [--defer] [--keep]",
     "run a protocol as a job and print its results",
     "Reads the protocol's parameters, sets the values given with -p (repeat -p for\n"
     "several values of one parameter), lets the server validate them, launches the\n"
     "job and polls it until it ends: a live progress line on a terminal (state,\n"
     "elapsed time, the job's status message), plain lines otherwise. Then prints\n"
     "the job's results and errors and releases it.\n\n"
     "Client steps. A protocol may ask the client to take part: make temporary\n"
     "files, copy files from the server to this machine and back, run programs on\n"
     "this machine, or show instructions. The library carries these steps out while\n"
     "polling, with your rights, exactly as the server describes them: the server\n"
     "decides which programs run with which arguments, and which local files and\n"
     "folders are read and written. Run protocols with client steps only from a\n"
     "server you trust as you trust a program you install. pelox prints each step\n"
     "before it is carried out: the program and its arguments, the files copied\n"
     "(from -> to), the folders made (the library shows the step first and carries\n"
     "it out at the next poll; with --json the steps go to standard error and into\n"
     "the document's \"steps\"). --no-client-steps runs none of them.\n"
     "(PELOX_PASSWORD is taken out of pelox's environment at start and its value\n"
     "wiped, so the programs neither inherit it nor read it from\n"
     "/proc/<pid>/environ; like any program of yours, they can still read\n"
     "pelox's memory where the system allows that.)\n\n"
     "Options:\n"
     "  -p, --param NAME=VALUE   set a parameter (repeat for several values)\n"
     "      --blocking           launch a blocking job (the server holds the launch\n"
     "                           until the job settles)\n"
     "      --no-client-steps    carry out no client steps (the job goes on without\n"
     "                           them)\n"
     "      --confirm            ask before each client step (a line from standard\n"
     "                           input: y or yes carries it out; anything else, or\n"
     "                           the end of input, stops the job instead)\n"
     "      --defer              stop at the first client instructions: print them,\n"
     "                           leave the job waiting (implies --keep); resume it\n"
     "                           with: pelox job continue JOB\n"
     "      --keep               do not release the job at the end\n"
     "      --timeout SECONDS    stop the job when it runs longer (default: no limit);\n"
     "                           pelox gives up SECONDS (at least 30) later when\n"
     "                           the server does not answer meanwhile\n\n"
     "Exit status: 0 when the job finished and reported no error; 5 when it\n"
     "finished but a step reported an error (\"outcome\": \"finished_with_errors\",\n"
     "the errors are printed); 3 when it failed, was stopped or ended, or the\n"
     "parameters are not valid; 1 when a call failed; 130 when interrupted (the\n"
     "job is stopped first). --defer ends with 0.\n\n"
     "Examples:\n"
     "  pelox run \"Examples/Add Numbers\" -p A=40 -p B=2\n"
     "  pelox run \"Examples/Client Steps/Round Trip\" -p Text=\"hello\"\n"
     "  pelox --json run \"Utilities/Slow Job\" -p Milliseconds=500\n"
     "  pelox run \"Examples/Client Steps/Round Trip\" --defer --keep-server\n",
     {kParam, {"blocking", 0, false}, kNoClientSteps, {"confirm", 0, false}, {"defer", 0, false}, {"keep", 0, false}},
     1, 1},
    {"job status", "JOB", "a job's state and status message",
     "Polls a job and prints its state and status message. A job that waits for\n"
     "the client has its client steps printed and then carried out as `run` does\n"
     "(see `pelox run --help`); instructions are printed and the job is left\n"
     "waiting.\n\n"
     "Options:\n  --no-client-steps   carry out no client step (a waiting job is resumed)\n\n"
     "Exit status: as run's once the job is over (0 finished without errors, 5\n"
     "finished with errors, 3 failed, stopped or ended); 0 while it is not.\n\n"
     "Examples:\n  pelox job status J000001-1A2B3C4D\n",
     {kNoClientSteps}, 1, 1},
    {"job errors", "JOB", "a job's errors", "Prints a job's errors with the component each came from.\n\nExamples:\n  pelox job errors J000001-1A2B3C4D\n", {}, 1, 1},
    {"job results", "JOB", "a job's results",
     "Prints a job's results: each name with its values, and how the job ended.\n"
     "Exit status as for job status.\n\n"
     "Examples:\n  pelox --json job results J000001-1A2B3C4D\n",
     {}, 1, 1},
    {"job stop", "JOB", "stop a job", "Asks the server to stop a job.\n\nExamples:\n  pelox job stop J000001-1A2B3C4D\n", {}, 1, 1},
    {"job release", "JOB", "release a job", "Releases a job on the server (its directory stays).\n\nExamples:\n  pelox job release J000001-1A2B3C4D\n", {}, 1, 1},
    {"job continue", "JOB", "resume a job that waits for the client",
     "Resumes a job that waits for the client, after printing its instructions (a\n"
     "pending client step other than instructions is printed and carried out first,\n"
     "as `run` does).\n\nExamples:\n  pelox job continue J000001-1A2B3C4D\n",
     {kNoClientSteps}, 1, 1},
    {"job reconnect", "JOB", "check that the server knows a job",
     "Finds a job among the user's jobs on the server (as every job command does\n"
     "first) and tells whether it is there.\n\nExamples:\n  pelox job reconnect J000001-1A2B3C4D\n",
     {}, 1, 1},
    {"put", "LOCAL SERVERPATH [--job JOB]", "upload a file",
     "Uploads a local file to a server path; with --job, into that job's directory\n"
     "(a relative SERVERPATH is relative to it).\n\n"
     "Options:\n  --job JOB    upload into this job's directory\n\n"
     "Examples:\n  pelox put data.csv inbox/data.csv\n  pelox put data.csv data.csv --job J000001-1A2B3C4D\n",
     {{"job", 0, true}}, 2, 2},
    {"get", "SERVERPATH LOCAL", "download a file",
     "Downloads a server file to a local file (written whole or not at all).\n"
     "Exit status 3 when the server file does not exist.\n\n"
     "Examples:\n  pelox get jobs/ann/J000001-1A2B3C4D/report.txt report.txt\n",
     {}, 2, 2},
    {"exists", "SERVERPATH", "tell whether a server file exists",
     "Tells whether a server file exists. Exit status 0 when it does, 3 when not.\n\n"
     "Examples:\n  pelox exists catalogue/Examples/Shapes.xml && echo there\n",
     {}, 1, 1},
    {"component import", "LOCALFILE SERVERFOLDER", "import a component",
     "Imports a component from a local XML file into a catalogue folder.\n\n"
     "Examples:\n  pelox component import splitter.xml Utilities/Components\n",
     {}, 2, 2},
    {"component export", "COMPONENT LOCALFILE", "export a component",
     "Exports the latest version of a component to a local XML file.\n\n"
     "Examples:\n  pelox component export \"Examples/Add Numbers\" add.xml\n",
     {}, 2, 2},
    {"component delete", "COMPONENT", "delete a component",
     "Deletes a component from the catalogue.\n\nExamples:\n  pelox component delete \"Utilities/Components/Text Splitter\"\n",
     {}, 1, 1},
    {"component rename", "OLD NEW", "move or rename a component",
     "Moves or renames a component (NEW is a full name, or a folder ending in \"/\").\n\n"
     "Examples:\n  pelox component rename \"Examples/Shapes\" \"Examples/Figures\"\n",
     {}, 2, 2},
};

const char* kGlobalHelp =
    "pelox - the command-line client of the Qorvane workflow server\n\n"
    "Usage: pelox [OPTIONS] COMMAND [ARGUMENTS]\n\n"
    "With no server named, pelox starts the bundled pelox-emulator on a free\n"
    "loopback port with the sample catalogue in a temporary root, runs the\n"
    "command against it and stops it again.\n\n"
    "Commands:\n"
    "%s\n"
    "Options (anywhere on the line):\n"
    "  -s, --server URL         the server: a locator URL (http://host:port/... or\n"
    "                           https://...), or host[:port], which means HTTPS\n"
    "                           (port 443 when none is given; a plain-HTTP server\n"
    "                           needs http://); default $PELOX_SERVER, else the\n"
    "                           embedded emulator\n"
    "  -u, --user NAME          default $PELOX_USER, else your login name\n"
    "      --password-file FILE read the password from the first line of FILE; else\n"
    "                           $PELOX_PASSWORD, else a prompt without echo (no\n"
    "                           option takes the password itself)\n"
    "      --json               one JSON document on standard output\n"
    "      --trace FILE         append every HTTP request and reply to FILE\n"
    "                           (sets PELOX_TRACE; secrets are masked)\n"
    "      --keep-server        leave the embedded emulator running, print its URL\n"
    "      --option N=VALUE     set library option N (100 to 107, docs/api.md)\n"
    "      --timeout SECONDS    end the command after SECONDS even when the server\n"
    "                           accepts the connection and never answers, which\n"
    "                           the library waits for without limit (run: stop\n"
    "                           the job after SECONDS, give up SECONDS, at least\n"
    "                           30, later)\n"
    "  -h, --help               this text; pelox COMMAND --help for a command\n"
    "      --version            pelox's and the library's version\n\n"
    "Exit status: 0 success; 1 a library call failed (the status code's name and\n"
    "every message of the error record go to standard error, with a hint when\n"
    "pelox knows what to do); 2 wrong usage or missing input; 3 the command ran\n"
    "and the answer is no (the job failed, was stopped or ended; the parameters\n"
    "are not valid; the server file, protocol or folder does not exist); 4 a\n"
    "local problem (the emulator, a local file); 5 the job finished but a step\n"
    "reported an error; 130 interrupted.\n\n"
    "JSON documents (--json): docs/cli-json.md.\n\n"
    "Environment: PELOX_SERVER, PELOX_USER, PELOX_PASSWORD (taken out of the\n"
    "environment and wiped at start: programs run by client steps do not\n"
    "inherit it, nor find it in /proc/<pid>/environ),\n"
    "PELOX_TRACE, PELOX_EMULATOR (the emulator to start), and the library's\n"
    "PELOX_CA_BUNDLE (a PEM file of CAs to trust for https servers, beside the\n"
    "system's), PELOX_REGISTRY_FILE and TMPDIR.\n\n"
    "Examples:\n"
    "  pelox run \"Examples/Client Steps/Round Trip\"\n"
    "  pelox ls -r\n"
    "  PELOX_SERVER=https://qorvane.example.com PELOX_USER=ann pelox status\n";

std::string commandList() {
    std::string out;
    for (const Command& c : kCommands) {
        std::string left = std::string(c.name) + (*c.synopsis ? " " : "") + c.synopsis;
        if (left.size() > 40) left = std::string(c.name) + " ...";
        out += "  " + left + std::string(left.size() < 42 ? 42 - left.size() : 1, ' ') + c.summary + "\n";
    }
    return out;
}

void printCommandHelp(const Command& c) {
    std::printf("Usage: pelox %s%s%s\n\n%s", c.name, *c.synopsis ? " " : "", c.synopsis, c.help);
    std::printf("\nGlobal options (pelox --help): --server, --user, --password-file, --json,\n"
                "--trace, --keep-server, --option, --timeout.\n");
}

// --timeout: the library has no send or receive time-outs, so a server that
// accepts the connection and never answers holds a call for ever. A thread
// of pelox's own ends the process when the command is not done in time
// (run stops its job at the time-out itself and gets as long again, at
// least 30 seconds, for that). The embedded emulator ends with pelox (a parent-death signal).
void startWatchdog(const std::string& value, bool run) {
    char* end = nullptr;
    const double seconds = std::strtod(value.c_str(), &end);
    if (end == value.c_str() || *end || !(seconds > 0) || !std::isfinite(seconds) || seconds > 1e7)
        throw Failure(kExitUsage, "--timeout needs a number of seconds, not '" + value + "'");
    const double limit = run ? seconds + std::max(seconds, 30.0) : seconds;
    std::thread([limit] {
        std::this_thread::sleep_for(std::chrono::duration<double>(limit));
        std::fprintf(stderr, "pelox: time-out: the command did not end within %g seconds (the server does not answer)\n",
                     limit);
        std::fflush(stderr);
        std::_Exit(kExitCallFailed);
    }).detach();
}

// "unknown command lss; did you mean ls?", with the nearest command names.
std::string unknownCommand(const std::string& name) {
    std::vector<std::string> names;
    for (const Command& c : kCommands) names.push_back(c.name);
    for (const char* group : {"job", "component"}) names.push_back(group);
    const std::vector<std::string> near = nearestNames(name, names, 2);
    std::string text = "unknown command " + name;
    if (!near.empty()) text += "; did you mean " + joined(near, " or ") + "?";
    return text + " (pelox --help)";
}

void printGlobalHelp() { std::printf(kGlobalHelp, commandList().c_str()); }

// Prints the help of a group ("job", "component"): its actions.
bool printGroupHelp(const std::string& group) {
    bool any = false;
    for (const Command& c : kCommands) {
        const std::string name = c.name;
        if (name.rfind(group + " ", 0) != 0) continue;
        if (!any) std::printf("Usage: pelox %s ACTION ...\n\nActions:\n", group.c_str());
        any = true;
        std::printf("  pelox %s %s\n      %s\n", c.name, c.synopsis, c.summary);
    }
    if (any) std::printf("\npelox %s ACTION --help tells more.\n", group.c_str());
    return any;
}

const OptionSpec* findOption(const std::vector<OptionSpec>& specs, const std::string& longName, char shortName) {
    for (const OptionSpec& s : specs)
        if ((!longName.empty() && longName == s.name) || (shortName != 0 && shortName == s.shortName)) return &s;
    return nullptr;
}

// Parses argv with the given options; everything else is positional.
Args parse(const std::vector<std::string>& argv, const std::vector<OptionSpec>& specs) {
    Args args;
    bool optionsEnded = false;
    for (size_t i = 0; i < argv.size(); ++i) {
        const std::string& a = argv[i];
        if (optionsEnded || a == "-" || a.empty() || a[0] != '-') {
            args.positional.push_back(a);
            continue;
        }
        if (a == "--") {
            optionsEnded = true;
            continue;
        }
        const OptionSpec* spec = nullptr;
        std::string value;
        bool hasValue = false;
        if (a.rfind("--", 0) == 0) {
            const size_t eq = a.find('=');
            const std::string name = a.substr(2, eq == std::string::npos ? std::string::npos : eq - 2);
            spec = findOption(specs, name, 0);
            if (!spec) throw Failure(kExitUsage, "unknown option --" + name + " (pelox --help)");
            if (eq != std::string::npos) {
                if (!spec->takesValue) throw Failure(kExitUsage, "--" + name + " takes no value");
                value = a.substr(eq + 1);
                hasValue = true;
            }
        } else {
            spec = findOption(specs, {}, a[1]);
            if (!spec) throw Failure(kExitUsage, std::string("unknown option -") + a[1] + " (pelox --help)");
            if (a.size() > 2) {
                if (!spec->takesValue) throw Failure(kExitUsage, std::string("-") + a[1] + " takes no value");
                value = a.substr(2);
                hasValue = true;
            }
        }
        if (spec->takesValue && !hasValue) {
            if (i + 1 >= argv.size()) throw Failure(kExitUsage, std::string("--") + spec->name + " needs a value");
            value = argv[++i];
        }
        args.options[spec->name].push_back(value);
    }
    return args;
}

std::atomic<bool> gInterrupted{false};
std::atomic<bool> gGraceful{false};

void onSignal(int signal) {
    if (gGraceful.load()) {
        gInterrupted.store(true);
        return;
    }
    // Not in a place that can stop cleanly: end now. The embedded emulator is
    // tied to pelox and ends with it.
    ::_exit(signal == SIGINT ? kExitInterrupted : 128 + signal);
}

void installSignalHandlers() {
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
}

// A transport failure (-974, -973) says little by itself. One more request
// finds out what to do: whether the server at an https address answers plain
// HTTP (a host[:port] without a scheme means https), and why a TLS
// connection failed, which the library records only while option 105 is on.
std::vector<std::string> transportHints(const std::string& url, const CallFailed& failure) {
    std::vector<std::string> hints;
    const bool transport = failure.code == PELOX_E_CONNECTION || failure.code == PELOX_E_SERVICE_CALL;
    std::vector<std::string> reasons = failure.code > 0 ? failure.messages : std::vector<std::string>();
    if (!transport && reasons.empty()) return hints;
    if (url.rfind("http://", 0) == 0) return hints;
    std::string rest = url.rfind("https://", 0) == 0 ? url.substr(8) : url;
    const size_t slash = rest.find('/');
    std::string hostPort = rest.substr(0, slash);
    const std::string path = slash == std::string::npos ? std::string("/qorvane/locator") : rest.substr(slash);
    if (hostPort.find(':') == std::string::npos || hostPort.back() == ']') hostPort += ":443";
    Objects objects;
    if (failure.code == PELOX_E_SERVICE_CALL) {
        pelox_setPeloxOptions(PELOX_OPTION_THROW_ON_FAILURE, u"1");
        const std::u16string wide = toU16(url);
        const int32_t rc = pelox_getServerConfiguration(wide.c_str(), objects.resultInfo());
        pelox_setPeloxOptions(PELOX_OPTION_THROW_ON_FAILURE, u"0");
        if (rc > 0 && pelox_getPeloxErrors(rc, objects.array(0)) == PELOX_OK) reasons = items(objects.array(0));
        // The record's first and last messages name only the transport code
        // and the operation; the ones between say why.
        for (std::string reason : reasons) {
            if (reason.rfind("SOAP Error code:", 0) == 0 || reason.rfind("soap call to ", 0) == 0) continue;
            for (size_t at = reason.find('\n'); at != std::string::npos; at = reason.find('\n', at + 1))
                reason.insert(at + 1, "  ");
            hints.push_back("the library's reason: " + reason);
        }
    }
    bool certificate = false;
    for (const std::string& reason : reasons)
        if (reason.find("certificate") != std::string::npos) certificate = true;
    if (certificate) {
        hints.push_back("the server's TLS certificate was not accepted; for a server whose certificate comes from a "
                        "CA of your own, set PELOX_CA_BUNDLE to a PEM file with that CA (pelox --help)");
    } else if (failure.code == PELOX_E_CONNECTION || failure.code == PELOX_E_SERVICE_CALL) {
        const std::u16string plain = toU16("http://" + hostPort + path);
        if (pelox_getServerConfiguration(plain.c_str(), objects.resultInfo()) == PELOX_OK)
            hints.push_back("the server at " + hostPort + " speaks HTTP, not HTTPS; use --server http://" + hostPort +
                            path + " (an address without http:// or https:// means https)");
    }
    return hints;
}

int runCommand(Context& c, const std::string& name) {
    if (name == "info") return cmdInfo(c);
    if (name == "config") return cmdConfig(c);
    if (name == "status") return cmdStatus(c);
    if (name == "ls") return cmdLs(c);
    if (name == "jobdir") return cmdJobdir(c);
    if (name == "props") return cmdProps(c);
    if (name == "params") return cmdParams(c);
    if (name == "run") return cmdRun(c);
    if (name == "put") return cmdPut(c);
    if (name == "get") return cmdGet(c);
    if (name == "exists") return cmdExists(c);
    if (name.rfind("job ", 0) == 0) return cmdJob(c, name.substr(4));
    if (name.rfind("component ", 0) == 0) return cmdComponent(c, name.substr(10));
    throw Failure(kExitUsage, "unknown command " + name);
}

}  // namespace

namespace pelox::cli {

bool interrupted() { return gInterrupted.load(); }
void allowGracefulInterrupt(bool allow) { gGraceful.store(allow); }

void Context::document(Json doc) const {
    if (Json kept = server ? server->keptServerJson() : Json(); !kept.is_null()) doc["keptServer"] = kept;
    out.document(doc);
}

}  // namespace pelox::cli

int main(int argc, char** argv) {
    std::vector<std::string> all(argv + 1, argv + argc);
    // The password never comes from the command line; from the environment it
    // is taken once and removed, so that programs that client steps start do
    // not inherit it. Its bytes are overwritten first: unsetenv only drops
    // the pointer, while the text stays in the memory that
    // /proc/<pid>/environ shows to every process of the user.
    ServerOptions serverOptions;
    if (char* password = std::getenv("PELOX_PASSWORD")) {
        serverOptions.password = password;
        serverOptions.passwordFromEnvironment = true;
        volatile char* bytes = password;
        for (size_t i = 0, n = std::strlen(password); i < n; ++i) bytes[i] = '\0';
        ::unsetenv("PELOX_PASSWORD");
    }

    Output out;
    out.detectTerminal();
    bool json = false;
    for (const std::string& a : all)
        if (a == "--json") json = true;
    out.json = json;

    auto fail = [&](int status, const std::string& message) {
        std::fprintf(stderr, "pelox: %s\n", message.c_str());
        if (json) out.document(failureJson(message, status));
        return status;
    };

    try {
        // First pass, with every option known, to find the command.
        std::vector<OptionSpec> everything = kGlobalOptions;
        for (const Command& c : kCommands) everything.insert(everything.end(), c.options.begin(), c.options.end());
        Args first = parse(all, everything);
        if (first.has("version")) {
            Objects objects;
            pelox_getPeloxInfo(PELOX_INFO_VERSION, objects.string());
            std::printf("pelox (peloxImp %s)\n", text(objects.string()).c_str());
            return kExitOk;
        }
        std::vector<std::string>& pos = first.positional;
        if (pos.empty() || pos[0] == "help") {
            if (pos.size() >= 2) {
                std::string name = pos[1];
                if ((name == "job" || name == "component") && pos.size() >= 3) name += " " + pos[2];
                for (const Command& c : kCommands)
                    if (name == c.name) {
                        printCommandHelp(c);
                        return kExitOk;
                    }
                if (printGroupHelp(name)) return kExitOk;
                return fail(kExitUsage, unknownCommand(name));
            }
            printGlobalHelp();
            return pos.empty() && !first.has("help") ? kExitUsage : kExitOk;
        }
        std::string name = pos[0];
        size_t consumed = 1;
        if (name == "job" || name == "component") {
            if (pos.size() < 2) {
                printGroupHelp(name);
                return first.has("help") ? kExitOk : kExitUsage;
            }
            name += " " + pos[1];
            consumed = 2;
        }
        const Command* command = nullptr;
        for (const Command& c : kCommands)
            if (name == c.name) command = &c;
        if (!command && first.has("help") && consumed == 2 && printGroupHelp(pos[0])) return kExitOk;
        if (!command) return fail(kExitUsage, unknownCommand(name));
        if (first.has("help")) {
            printCommandHelp(*command);
            return kExitOk;
        }

        // Second pass: only the global options and the command's own.
        std::vector<OptionSpec> allowed = kGlobalOptions;
        allowed.insert(allowed.end(), command->options.begin(), command->options.end());
        Args args = parse(all, allowed);
        args.positional.erase(args.positional.begin(), args.positional.begin() + static_cast<long>(consumed));
        if (args.positional.size() < command->minArgs || args.positional.size() > command->maxArgs)
            return fail(kExitUsage, std::string("usage: pelox ") + command->name + " " + command->synopsis);

        // The trace is read by the library when it first sends a request.
        if (args.has("trace")) {
            std::error_code ec;
            const std::string path = std::filesystem::absolute(args.value("trace"), ec).string();
            ::setenv("PELOX_TRACE", ec ? args.value("trace").c_str() : path.c_str(), 1);
        }
        for (const std::string& option : args.values("option")) {
            const size_t eq = option.find('=');
            char* end = nullptr;
            const long number = std::strtol(option.c_str(), &end, 10);
            if (eq == std::string::npos || end != option.c_str() + eq)
                return fail(kExitUsage, "--option needs NUMBER=VALUE, not " + option);
            const std::u16string value = toU16(option.substr(eq + 1));
            check("pelox_setPeloxOptions", pelox_setPeloxOptions(static_cast<int32_t>(number), value.c_str()));
        }

        serverOptions.server = args.value("server");
        if (serverOptions.server.empty())
            if (const char* env = std::getenv("PELOX_SERVER")) serverOptions.server = env;
        serverOptions.user = args.value("user");
        if (serverOptions.user.empty())
            if (const char* env = std::getenv("PELOX_USER")) serverOptions.user = env;
        serverOptions.passwordFile = args.value("password-file");
        serverOptions.keepServer = args.has("keep-server");

        if (args.has("timeout")) startWatchdog(args.value("timeout"), name == "run");
        installSignalHandlers();
        Server server(std::move(serverOptions));
        int status = kExitOk;
        {
            Context context;
            context.out = out;
            context.server = &server;
            context.args = std::move(args);
            try {
                status = runCommand(context, name);
            } catch (const CallFailed& failure) {
                printCallFailed(failure);
                std::vector<std::string> hints;
                if (!server.embedded()) hints = transportHints(server.url(), failure);
                for (const std::string& hint : hints) std::fprintf(stderr, "pelox: %s\n", hint.c_str());
                if (json) context.document(failureJson(failure, hints));
                status = kExitCallFailed;
            } catch (const Failure& failure) {
                std::fprintf(stderr, "pelox: %s\n", failure.what());
                if (json) context.document(failureJson(failure.what(), failure.exitStatus));
                status = failure.exitStatus;
            }
        }
        server.finish(out);
        return status;
    } catch (const CallFailed& failure) {
        printCallFailed(failure);
        if (json) out.document(failureJson(failure));
        return kExitCallFailed;
    } catch (const Failure& failure) {
        return fail(failure.exitStatus, failure.what());
    } catch (const std::exception& e) {
        return fail(kExitLocal, e.what());
    }
}
