// pelox, the command-line client, driven end to end: every command against
// the emulator with its JSON parsed, the exit statuses and messages of
// failures, and the embedded default (an emulator started and stopped by
// pelox, with no process left behind).
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include <nlohmann/json.hpp>

#include "peloxImp.h"
#include "support/emulator_launcher.h"
#include "tools/run_program.h"

namespace fs = std::filesystem;
using Json = nlohmann::json;
using pelox::testsupport::Emulator;
using pelox::testsupport::EnvChanges;
using pelox::testsupport::ProgramResult;

namespace {

// Variables of the test's own environment that would change pelox's choices.
const EnvChanges kClean = {"PELOX_SERVER", "PELOX_USER", "PELOX_PASSWORD", "PELOX_TRACE", "PELOX_EMULATOR",
                           "TMP", "TEMP", "TEMPDIR"};

class TempDir {
public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "pelox-cli-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

// Runs pelox with the test's environment: TMPDIR in a fresh directory (the
// library's temporary root for client steps goes there too), the rest as
// given.
ProgramResult pelox(const TempDir& dir, std::vector<std::string> args, EnvChanges env,
                    const std::string* input = nullptr, std::vector<std::string> runAs = {}) {
    args.insert(args.begin(), PELOX_CLI_PATH);
    // runAs: a command that runs pelox as another user (setpriv ...).
    if (!runAs.empty()) {
        runAs.push_back("--");
        args.insert(args.begin(), runAs.begin(), runAs.end());
    }
    EnvChanges all = kClean;
    all.push_back("TMPDIR=" + dir.path().string());
    all.insert(all.end(), env.begin(), env.end());
    return pelox::testsupport::runProgram(args, all, dir.path(), input);
}

std::string describe(const ProgramResult& r) { return "status " + std::to_string(r.status) + "\nstdout:\n" + r.out + "\nstderr:\n" + r.err; }

// Every document parsed, to be checked against the written schema.
std::vector<Json> gDocuments;

Json parse(const ProgramResult& r) {
    Json doc = Json::parse(r.out, nullptr, /*allow_exceptions=*/false);
    EXPECT_FALSE(doc.is_discarded()) << describe(r);
    if (!doc.is_discarded()) gDocuments.push_back(doc);
    return doc;
}

// Checks the documents parsed so far against docs/cli-json.schema.json: one
// meaning and one type per key, in every command.
void expectDocumentsFollowTheSchema(const TempDir& dir) {
    const fs::path file = dir.path() / "documents.json";
    std::ofstream(file) << Json(gDocuments).dump();
    gDocuments.clear();
    const ProgramResult r = pelox::testsupport::runProgram(
        {PELOX_SCHEMA_PYTHON, PELOX_SCHEMA_CHECK, PELOX_JSON_SCHEMA, file.string()}, {}, dir.path());
    EXPECT_EQ(r.status, 0) << describe(r);
}

// pelox against a running emulator, logged in as "tester".
class Cli : public ::testing::Test {
protected:
    void TearDown() override { expectDocumentsFollowTheSchema(dir_); }

    ProgramResult run(std::vector<std::string> args, EnvChanges env = {}, const std::string* input = nullptr) {
        env.insert(env.begin(), {"PELOX_SERVER=" + emu_.locatorUrl(), "PELOX_USER=tester", "PELOX_PASSWORD=secret"});
        return pelox(dir_, std::move(args), env, input);
    }
    // A command with --json that must succeed; its document.
    Json json(std::vector<std::string> args) {
        args.insert(args.begin(), "--json");
        const ProgramResult r = run(args);
        EXPECT_EQ(r.status, 0) << describe(r);
        return parse(r);
    }

    Emulator emu_;
    TempDir dir_;
};

TEST_F(Cli, ReadsTheLibraryTheServerAndTheCatalogue) {
    const Json info = json({"info"});
    EXPECT_EQ(info["library"]["version"], "8.5.0.0");
    EXPECT_EQ(info["library"]["retryCount"], 10);

    const Json config = json({"config"});
    EXPECT_EQ(config["server"], emu_.locatorUrl());
    EXPECT_EQ(config["settings"]["SERVERVERSION"], Json::array({"8"}));

    EXPECT_EQ(json({"status"})["status"]["Status"], "available");
    EXPECT_EQ(json({"props"})["categories"]["Physical"], Json::array({"LogP", "PolarSurfaceArea"}));

    const Json top = json({"ls"});
    EXPECT_EQ(top["folders"], Json::array({"Examples", "Utilities"}));
    EXPECT_EQ(json({"ls", "Examples"})["protocols"], Json::array({"Add Numbers", "Shapes"}));
    const Json all = json({"ls", "--recursive"});
    EXPECT_NE(std::find(all["protocols"].begin(), all["protocols"].end(), "Examples/Client Steps/Round Trip"),
              all["protocols"].end())
        << all.dump();

    // The server judges the values given: Side becomes enabled, and being
    // required without a value, invalid.
    // The exit status says whether run would accept them: 3, as Side is missing.
    const ProgramResult judged = run({"--json", "params", "Examples/Shapes", "-p", "Shape=Square"});
    EXPECT_EQ(judged.status, 3) << describe(judged);
    const Json shapes = parse(judged);
    EXPECT_FALSE(shapes["valid"]);
    EXPECT_EQ(shapes["protocol"], "Examples/Shapes");
    std::map<std::string, Json> byName;
    for (const Json& p : shapes["parameters"]) byName[p["name"]] = p;
    EXPECT_EQ(byName["Shape"]["values"], Json::array({"Square"}));
    EXPECT_EQ(byName["Shape"]["legalValues"], Json::array({"Circle", "Square"}));
    EXPECT_TRUE(byName["Side"]["enabled"]);
    EXPECT_FALSE(byName["Side"]["valid"]);
    EXPECT_EQ(byName["Side"]["details"], "A value is required for Side");
    EXPECT_FALSE(byName["Radius"]["enabled"]);
    EXPECT_EQ(byName["Precision"]["class"], "advanced");
    EXPECT_EQ(byName["Engine"]["class"], "implementation");

    // For people: an aligned table.
    const ProgramResult table = run({"params", "Examples/Add Numbers"});
    ASSERT_EQ(table.status, 0) << describe(table);
    EXPECT_NE(table.out.find("NAME   TYPE     CLASS   REQUIRED  VALUES  LEGAL VALUES  ENABLED  VALID  DETAILS\n"
                             "A      integer  normal  yes       2                     yes      yes\n"),
              std::string::npos)
        << table.out;
}

TEST_F(Cli, RunsJobsWithEditedParametersAndClientSteps) {
    const Json add = json({"run", "Examples/Add Numbers", "-p", "A=40", "-p", "B=2"});
    EXPECT_EQ(add["state"], PELOX_JOB_FINISHED);
    EXPECT_TRUE(add["succeeded"]);
    EXPECT_EQ(add["parameterValues"]["A"], Json::array({"40"}));
    EXPECT_EQ(add["outcome"], "succeeded");
    EXPECT_EQ(add["results"]["Sum"], Json::array({"42"}));
    EXPECT_TRUE(add["released"]);

    // The client steps ran here: the temporary file the job named lies in
    // this machine's temporary root and holds the text the server sent.
    const Json trip = json({"run", "Examples/Client Steps/Round Trip", "-p", "Text=round and back"});
    EXPECT_TRUE(trip["succeeded"]) << trip.dump(2);
    EXPECT_TRUE(trip["clientSteps"]);
    EXPECT_EQ(trip["errors"], Json::array());
    ASSERT_EQ(trip["instructions"].size(), 1u) << trip.dump(2);
    EXPECT_EQ(trip["instructions"][0], "Check the file returned.txt of job " + trip["job"].get<std::string>() + ".");
    EXPECT_EQ(trip["results"]["Echo"], Json::array({"round and back\n"}));
    // Each step was shown before it was carried out: what runs, what is copied where.
    ASSERT_EQ(trip["steps"].size(), 5u) << trip.dump(2);
    const Json program = trip["steps"][3];
    EXPECT_EQ(program["text"].get<std::string>().rfind("Client step: run a program\n  command line: echo round and back", 0),
              0u)
        << program;
    // ... and in fields: the program with its arguments as it is started
    // (the sample runs echo through the command interpreter).
    EXPECT_EQ(program["kind"], "run_program");
    EXPECT_EQ(program["program"], "/bin/sh");
    EXPECT_EQ(program["arguments"], Json::array({"-c", "echo round and back"}));
    EXPECT_EQ(trip["steps"][1]["kind"], "copy_to_client");
    const std::string temp = trip["results"]["TempIn"][0];
    // The user's own root: only they may read what lands there.
    const fs::path userRoot = dir_.path() / ("qorvane-" + std::to_string(::geteuid()));
    EXPECT_EQ(temp.rfind((userRoot / "PELOX").string(), 0), 0u) << temp;
    EXPECT_EQ(pelox::testsupport::slurp(temp), "round and back");
    EXPECT_EQ(fs::status(userRoot).permissions(), fs::perms::owner_all);
    EXPECT_EQ(fs::status(temp).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_NE(trip["steps"][2]["text"].get<std::string>().find("\n  " + temp + " -> "), std::string::npos)
        << trip["steps"][2];
    EXPECT_EQ(trip["steps"][2]["kind"], "copy_to_server");
    EXPECT_EQ(trip["steps"][2]["sources"], Json::array({temp})) << trip["steps"][2];

    // Without client steps the job goes on without them and finishes with
    // errors: not a success, and an exit status of its own.
    const ProgramResult withErrors = run({"--json", "run", "Examples/Client Steps/Round Trip", "--no-client-steps"});
    EXPECT_EQ(withErrors.status, 5) << describe(withErrors);
    const Json skipped = parse(withErrors);
    EXPECT_EQ(skipped["state"], PELOX_JOB_FINISHED);
    EXPECT_EQ(skipped["outcome"], "finished_with_errors");
    EXPECT_FALSE(skipped["succeeded"]);
    EXPECT_FALSE(skipped["clientSteps"]);
    EXPECT_FALSE(skipped["results"].contains("Echo")) << skipped.dump(2);
    EXPECT_NE(skipped["errors"].dump().find("returned.txt"), std::string::npos) << skipped.dump(2);

    // --confirm: the first step agreed to, the second declined; the job is
    // stopped and the declined copy never happens.
    const std::string answers = "y\nno\n";
    const ProgramResult asked =
        run({"--json", "run", "Examples/Client Steps/Round Trip", "-p", "Text=declined", "--confirm"}, {}, &answers);
    EXPECT_EQ(asked.status, 3) << describe(asked);
    const Json declined = parse(asked);
    EXPECT_TRUE(declined["declined"]) << declined.dump(2);
    ASSERT_EQ(declined["steps"].size(), 2u) << declined.dump(2);
    EXPECT_EQ(declined["steps"][1]["text"].get<std::string>().rfind("Client step: copy files to this machine", 0), 0u);
    EXPECT_EQ(declined["outcome"], "ended");  // stopped while it waited for the client
    const std::string declinedTemp = declined["results"]["TempIn"][0];
    EXPECT_EQ(pelox::testsupport::slurp(declinedTemp), "");  // made by step 1, never filled
    EXPECT_NE(asked.err.find("Carry out this step? [y/N] no\npelox: step declined"), std::string::npos) << asked.err;

    // For people, when the output is no terminal: plain lines, no progress line.
    const ProgramResult plain = run({"run", "Examples/Client Steps/Round Trip"});
    ASSERT_EQ(plain.status, 0) << describe(plain);
    EXPECT_NE(plain.out.find("instructions: Check the file returned.txt"), std::string::npos) << plain.out;
    EXPECT_NE(plain.out.find("\n  Echo "), std::string::npos) << plain.out;
    EXPECT_EQ(plain.out.find('\r'), std::string::npos);
    EXPECT_EQ(plain.err.find('\r'), std::string::npos);
    // A program whose output the step does not capture writes into neither
    // of pelox's streams (the JSON document still parses), and finds no
    // trace of the password in pelox's environment.
    const fs::path noisy = dir_.path() / "noisy.xml";
    std::ofstream(noisy) << R"(<?xml version="1.0" encoding="UTF-8"?>
<component type="protocol" name="Noisy" version="1">
  <properties><property key="Registrant" kind="text"><value>tests</value></property>
    <property key="WebExports" kind="text"><value>Seen</value></property></properties>
  <script>
    <step kind="runProgram" useCmd="true" waitForExit="true" commandLine="echo noise-$((6*7)); echo noise-$((6*7)) &gt;&amp;2"/>
    <step kind="runProgram" useCmd="true" waitForExit="true" stdoutProperty="Seen"
          commandLine="tr '\0' '\n' &lt; /proc/$PPID/environ | grep -c secret"/>
  </script>
</component>
)";
    ASSERT_EQ(run({"component", "import", noisy.string(), "Tests"}).status, 0);
    const ProgramResult quiet = run({"--json", "run", "Tests/Noisy"});
    ASSERT_EQ(quiet.status, 0) << describe(quiet);
    EXPECT_TRUE(parse(quiet)["succeeded"]) << describe(quiet);
    EXPECT_EQ(parse(quiet)["results"]["Seen"], Json::array({"0\n"})) << describe(quiet);
    EXPECT_EQ(quiet.out.find("noise-42"), std::string::npos) << quiet.out;
    EXPECT_EQ(quiet.err.find("noise-42"), std::string::npos) << quiet.err;
}

TEST_F(Cli, ControlsJobsFromLaterInvocations) {
    // --defer leaves the job waiting for the client at its instructions.
    const Json deferred = json({"run", "Examples/Client Steps/Round Trip", "--defer"});
    EXPECT_TRUE(deferred["deferred"]);
    EXPECT_FALSE(deferred["released"]);
    const std::string job = deferred["job"];

    const Json waiting = json({"job", "status", job});
    EXPECT_EQ(waiting["state"], 1502);
    EXPECT_EQ(waiting["stateName"], "waiting_for_client");
    EXPECT_EQ(waiting["outcome"], nullptr);
    EXPECT_EQ(waiting["instructions"], Json::array({"Check the file returned.txt of job " + job + "."}));

    std::vector<std::string> files;
    const Json listing = json({"jobdir", job});
    for (const Json& f : listing["files"]) files.push_back(f["name"]);
    EXPECT_EQ(files, (std::vector<std::string>{"outgoing.txt", "returned.txt"}));

    EXPECT_TRUE(json({"job", "continue", job})["resumed"]);
    for (int i = 0; i < 100 && json({"job", "status", job})["state"] != 1500; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const Json results = json({"job", "results", job});
    EXPECT_EQ(results["results"]["Done"], Json::array({"true"}));
    EXPECT_EQ(results["outcome"], "succeeded");
    EXPECT_EQ(json({"job", "errors", job})["errors"], Json::array());
    json({"job", "reconnect", job});
    json({"job", "release", job});
    EXPECT_EQ(run({"job", "status", job}).status, 1);

    // A job stopped from another invocation: the run that polls it ends with
    // the stopped state and exit status 3.
    const fs::path runDir = dir_.path() / "slow";
    fs::create_directories(runDir);
    const pid_t slow = pelox::testsupport::startProgram(
        {PELOX_CLI_PATH, "--json", "run", "Utilities/Slow Job", "-p", "Milliseconds=60000"},
        {"PELOX_SERVER=" + emu_.locatorUrl(), "PELOX_USER=tester", "PELOX_PASSWORD=secret", "PELOX_TRACE"}, runDir);
    std::string slowJob;
    for (int i = 0; i < 200 && slowJob.empty(); ++i) {
        const std::string jobs = emu_.control("jobs");
        if (jobs.find("Slow Job") != std::string::npos) slowJob = jobs.substr(0, jobs.find(' '));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_FALSE(slowJob.empty());
    json({"job", "stop", slowJob});
    const ProgramResult stopped = pelox::testsupport::finishProgram(slow, runDir);
    EXPECT_EQ(stopped.status, 3) << describe(stopped);
    const Json doc = parse(stopped);
    EXPECT_EQ(doc["stateName"], "stopped");
    EXPECT_EQ(doc["outcome"], "stopped");
    EXPECT_FALSE(doc["succeeded"]);

    // Ctrl-C while run polls: the job is stopped first, then exit status 130.
    const unsigned long polls = emu_.count("GetJobStatus");
    const pid_t interrupted = pelox::testsupport::startProgram(
        {PELOX_CLI_PATH, "--json", "run", "Utilities/Slow Job", "-p", "Milliseconds=60000"},
        {"PELOX_SERVER=" + emu_.locatorUrl(), "PELOX_USER=tester", "PELOX_PASSWORD=secret", "PELOX_TRACE"}, runDir);
    for (int i = 0; i < 250 && emu_.count("GetJobStatus") <= polls; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ::kill(interrupted, SIGINT);
    const ProgramResult ended = pelox::testsupport::finishProgram(interrupted, runDir);
    EXPECT_EQ(ended.status, 130) << describe(ended);
    const Json stop = parse(ended);
    EXPECT_TRUE(stop["interrupted"]);
    EXPECT_EQ(stop["outcome"], "stopped");
}

TEST_F(Cli, MovesFilesAndComponents) {
    const fs::path local = dir_.path() / "data.txt";
    std::ofstream(local) << "some data\n";
    const Json put = json({"put", local.string(), "inbox/data.txt"});
    EXPECT_EQ(put["bytes"], 10);
    EXPECT_EQ(pelox::testsupport::slurp(emu_.root() / "inbox" / "data.txt"), "some data\n");
    EXPECT_TRUE(json({"exists", "inbox/data.txt"})["exists"]);
    const ProgramResult missing = run({"exists", "inbox/none.txt"});
    EXPECT_EQ(missing.status, 3) << describe(missing);
    const fs::path back = dir_.path() / "back.txt";
    json({"get", "inbox/data.txt", back.string()});
    EXPECT_EQ(pelox::testsupport::slurp(back), "some data\n");

    // Into a job's directory: the path is relative to it.
    const std::string job = json({"run", "Examples/Add Numbers", "--keep"})["job"];
    json({"put", local.string(), "extra.txt", "--job", job});
    EXPECT_TRUE(fs::exists(emu_.root() / "jobs" / "tester" / job / "extra.txt"));

    const fs::path exported = dir_.path() / "add.xml";
    json({"component", "export", "Examples/Add Numbers", exported.string()});
    EXPECT_NE(pelox::testsupport::slurp(exported).find("<component"), std::string::npos);
    json({"component", "import", exported.string(), "Copies"});
    json({"component", "rename", "Copies/Add Numbers", "Copies/Adder"});
    EXPECT_EQ(json({"ls", "Copies"})["protocols"], Json::array({"Adder"}));
    json({"component", "delete", "Copies/Adder"});
    EXPECT_EQ(json({"ls", "Copies"})["protocols"], Json::array());
}

int closedPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t length = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length);
    ::close(fd);
    return ntohs(addr.sin_port);
}

bool portAccepts(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    const bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    return connected;
}

TEST_F(Cli, FailuresNameTheStatusCodeAndEveryMessage) {
    struct Case {
        const char* what;
        std::vector<std::string> args;
        EnvChanges env;
        int status;
        std::vector<std::string> stderrHas;
    };
    const std::string unreachable = "PELOX_SERVER=http://127.0.0.1:" + std::to_string(closedPort()) + "/qorvane/locator";
    const std::vector<Case> cases = {
        {"wrong password", {"status"}, {"PELOX_PASSWORD=wrong"}, 1,
         {"pelox: pelox_login failed: error record ", "Login failed"}},
        {"unknown protocol", {"run", "examples/add numbers"}, {}, 3,
         {"pelox: the catalogue has no protocol examples/add numbers (names differ in letter case); nearest: "
          "Examples/Add Numbers\n"}},
        {"unknown protocol", {"run", "Examples/Add Number"}, {}, 3,
         {"pelox: the catalogue has no protocol Examples/Add Number; nearest: Examples/Add Numbers"}},
        {"unknown folder", {"ls", "Examples/Nope"}, {}, 3, {"pelox: the catalogue has no folder Examples/Nope (pelox ls Examples)"}},
        {"missing server file", {"get", "inbox/none.txt", "none.txt"}, {}, 3,
         {"pelox: the server file inbox/none.txt does not exist"}},
        {"invalid parameter shown", {"params", "Examples/Add Numbers", "-p", "A=x", "--json"}, {}, 3, {}},
        {"typo in a command", {"lss"}, {}, 2, {"unknown command lss; did you mean ls?"}},
        {"missing local file", {"put", "none.txt", "inbox/none.txt"}, {}, 4, {"none.txt is not a readable file"}},
        {"unknown job", {"job", "status", "J999999-00000000"}, {}, 1,
         {"pelox: pelox_reconnectToJob failed: PELOX_E_NO_JOB (-988)"}},
        {"server unreachable", {"ls"}, {unreachable}, 1,
         {"pelox: pelox_login failed: PELOX_E_CONNECTION (-974)", "could not be reached"}},
        {"invalid parameter", {"run", "Examples/Add Numbers", "-p", "A=x"}, {}, 3, {"A: 'x' is not an integer"}},
        {"unknown parameter", {"run", "Examples/Add Numbers", "-p", "C=1"}, {}, 2, {"has no parameter C"}},
        {"no password", {"status"}, {"PELOX_PASSWORD"}, 2, {"no password"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const ProgramResult r = run(c.args, c.env);
        EXPECT_EQ(r.status, c.status) << describe(r);
        for (const std::string& text : c.stderrHas) EXPECT_NE(r.err.find(text), std::string::npos) << describe(r);
        if (std::find(c.args.begin(), c.args.end(), "--json") == c.args.end()) EXPECT_EQ(r.out, "");
        else parse(r);
    }
    // A two-word command's --help is its own, not its group's.
    const ProgramResult help = run({"job", "status", "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("Usage: pelox job status JOB\n", 0), 0u) << help.out;
    // With --json the failure is also the document.
    const ProgramResult r = run({"--json", "job", "status", "J999999-00000000"});
    const Json doc = parse(r);
    EXPECT_EQ(doc["error"]["name"], "PELOX_E_NO_JOB");
    EXPECT_EQ(doc["error"]["code"], -988);
    EXPECT_EQ(doc["error"]["function"], "pelox_reconnectToJob");
}

// A server that accepts the connection and never answers would hold pelox
// for ever (the library has no receive time-out): --timeout ends it.
TEST_F(Cli, TimeoutEndsACommandTheServerNeverAnswers) {
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(listener, 8), 0);  // connections complete, nobody reads them
    socklen_t length = sizeof addr;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &length);
    const std::string silent = "PELOX_SERVER=http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/qorvane/locator";
    const auto start = std::chrono::steady_clock::now();
    const ProgramResult r = run({"--timeout", "1", "ls"}, {silent});
    ::close(listener);
    EXPECT_EQ(r.status, 1) << describe(r);
    EXPECT_NE(r.err.find("pelox: time-out"), std::string::npos) << describe(r);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
    EXPECT_EQ(run({"--timeout", "0", "ls"}).status, 2);
}

// A password file others can read is used, with a warning.
TEST_F(Cli, PasswordFileReadableByOthersIsUsedWithAWarning) {
    const fs::path file = dir_.path() / "password";
    std::ofstream(file) << "secret\n";
    fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write);
    ProgramResult r = run({"--password-file", file.string(), "ls"}, {"PELOX_PASSWORD"});
    EXPECT_EQ(r.status, 0) << describe(r);
    EXPECT_EQ(r.err.find("warning"), std::string::npos) << describe(r);
    fs::permissions(file, fs::perms::group_read | fs::perms::others_read, fs::perm_options::add);
    r = run({"--password-file", file.string(), "ls"}, {"PELOX_PASSWORD"});
    EXPECT_EQ(r.status, 0) << describe(r);
    EXPECT_NE(r.err.find("pelox: warning: the password file " + file.string() + " can be read by other users (mode 0644)"),
              std::string::npos)
        << describe(r);
}

// ---- a machine that other users share ----------------------------------------------------------------

// A temporary root that someone else could have made first is refused, and
// nothing is written into it or where it leads; the wire trace and the error
// log refuse a planted link or another user's file the same way.
TEST(CliSharedMachine, PlantedOrOpenRootsAreRefusedWithNothingWritten) {
    Emulator emu;
    TempDir dir;
    const fs::path root = dir.path() / ("qorvane-" + std::to_string(::geteuid()));
    const fs::path elsewhere = dir.path() / "elsewhere";
    struct Case {
        const char* name;
        std::function<void()> plant;
        const char* why;
    };
    const bool asRoot = ::geteuid() == 0;
    const Case cases[] = {
        {"a link to someone's folder", [&] { fs::create_directory_symlink(elsewhere, root); }, "it is a symbolic link"},
        {"group-writable", [&] { fs::create_directory(root); fs::permissions(root, fs::perms(0770)); },
         "group or others may write to it (mode 0770)"},
        {"someone else's", [&] { fs::create_directory(root); fs::permissions(root, fs::perms(0700));
                                  if (asRoot) ::chown(root.c_str(), 65534, 65534); },
         "it belongs to user 65534"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (std::string(c.name) == "someone else's" && !asRoot) continue;  // needs chown
        fs::create_directory(elsewhere);
        fs::permissions(elsewhere, fs::perms::all);
        c.plant();
        // The trace: a link into the planted folder, then another user's file.
        const fs::path trace = dir.path() / "trace.txt";
        if (asRoot && std::string(c.name) == "someone else's") {
            std::ofstream(trace) << "";
            ::chown(trace.c_str(), 65534, 65534);
            fs::permissions(trace, fs::perms(0666));
        } else {
            fs::create_symlink(elsewhere / "stolen-trace.txt", trace);
        }
        const ProgramResult r = pelox(dir, {"--json", "run", "Examples/Client Steps/Round Trip"},
                                      {"PELOX_SERVER=" + emu.locatorUrl(), "PELOX_USER=tester", "PELOX_PASSWORD=secret",
                                       "PELOX_TRACE=" + trace.string()});
        const Json doc = parse(r);
        const std::string refusal = "Refusing the temporary folder '" + root.string() + "': " + c.why;
        EXPECT_NE(doc["errors"].dump().find(refusal), std::string::npos) << doc.dump(2);
        EXPECT_TRUE(fs::is_empty(elsewhere)) << "written where the planted root leads";
        if (!fs::is_symlink(root)) {
            EXPECT_TRUE(fs::is_empty(root)) << "written into a refused root";
        }
        if (!fs::is_symlink(trace)) {
            EXPECT_EQ(fs::file_size(trace), 0u) << "trace appended to someone else's file";
        }
        fs::remove_all(root);
        fs::remove_all(elsewhere);
        fs::remove(trace);
    }
}

// Two users on one machine, one temporary folder: each gets a root of their
// own, and both carry out the client steps (as one, the second user used to
// fail on the first one's folders).
TEST(CliSharedMachine, TwoUsersEachGetTheirOwnRoot) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run pelox as two other users (setpriv)";
    // The other users run this build's programs, and the emulator reads its
    // samples from the source tree: a tree under a private folder (root's
    // home) is out of their reach.
    auto othersCanReach = [](fs::path path) {
        for (;; path = path.parent_path()) {
            struct stat info {};
            if (::stat(path.c_str(), &info) != 0 || !(info.st_mode & S_IXOTH)) return false;
            if (path == path.parent_path()) return true;
        }
    };
    for (const char* needed : {PELOX_CLI_PATH, PELOX_EMULATOR_FILE, PELOX_SOURCE_DIR "/emulator/samples/catalogue"})
        if (!othersCanReach(needed)) GTEST_SKIP() << "other users cannot reach " << needed;
    TempDir dir;
    fs::permissions(dir.path(), fs::perms::all | fs::perms::sticky_bit);
    for (const int uid : {61801, 61802}) {
        SCOPED_TRACE(uid);
        const std::string id = std::to_string(uid);
        const ProgramResult r = pelox(dir,
                                      {"--json", "run", "Examples/Client Steps/Round Trip", "-p", "Text=from " + id},
                                      // Each starts its own emulator, whose files it may read.
                                      {std::string("PELOX_EMULATOR=") + PELOX_EMULATOR_FILE, "PELOX_USER=tester",
                                       "HOME=/nonexistent"},
                                      nullptr, {"/usr/bin/setpriv", "--reuid=" + id, "--regid=" + id, "--clear-groups"});
        const Json doc = parse(r);
        EXPECT_TRUE(doc["succeeded"]) << describe(r);
        EXPECT_EQ(doc["errors"], Json::array()) << describe(r);
        const fs::path root = dir.path() / ("qorvane-" + id);
        struct stat info {};
        ASSERT_EQ(::lstat(root.c_str(), &info), 0);
        EXPECT_EQ(info.st_uid, static_cast<uid_t>(uid));
        EXPECT_EQ(info.st_mode & 07777, 0700u);
        const std::string temp = doc["results"]["TempIn"][0];
        EXPECT_EQ(temp.rfind((root / "PELOX" / "tester").string(), 0), 0u) << temp;
        EXPECT_EQ(pelox::testsupport::slurp(temp), "from " + id);
        ASSERT_EQ(::stat(temp.c_str(), &info), 0);
        EXPECT_EQ(info.st_uid, static_cast<uid_t>(uid));
        EXPECT_EQ(info.st_mode & 0777, 0600u);
    }
}

TEST_F(Cli, ConnectionFailuresSayWhatToDo) {
    // host:port means https: against this plain-HTTP emulator the handshake
    // fails, and pelox finds that the address answers HTTP. A connect
    // time-out of one second keeps the retries short.
    const std::string url = emu_.locatorUrl();
    const std::string hostPort = url.substr(7, url.find('/', 7) - 7);
    const fs::path registry = dir_.path() / "registry.reg";
    std::ofstream(registry) << "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\SOFTWARE\\Qorvane]\n"
                               "\"SoapConnectTimeOut\"=dword:00000001\n";
    const ProgramResult plain =
        run({"--json", "--server", hostPort, "status"}, {"PELOX_REGISTRY_FILE=" + registry.string()});
    EXPECT_EQ(plain.status, 1) << describe(plain);
    const std::string hint = "the server at " + hostPort + " speaks HTTP, not HTTPS; use --server " + url;
    EXPECT_NE(plain.err.find("pelox: " + hint), std::string::npos) << describe(plain);
    EXPECT_NE(parse(plain)["error"]["hints"].dump().find(hint), std::string::npos);

    // A certificate that does not verify: the library's reason, and what to do.
    const std::string cert = (dir_.path() / "self.pem").string(), key = (dir_.path() / "self.key").string();
    const std::string make = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 "
                             "-subj /CN=localhost -addext subjectAltName=DNS:localhost -keyout " + key + " -out " + cert +
                             " >/dev/null 2>&1";
    ASSERT_EQ(std::system(make.c_str()), 0);
    const int port = closedPort();
    const fs::path tlsDir = dir_.path() / "tls";
    fs::create_directories(tlsDir);
    const pid_t server = pelox::testsupport::startProgram(
        {"/usr/bin/openssl", "s_server", "-accept", "127.0.0.1:" + std::to_string(port), "-cert", cert, "-key", key,
         "-www", "-quiet"},
        {}, tlsDir);
    for (int i = 0; i < 250 && !portAccepts(port); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const ProgramResult untrusted =
        run({"--server", "https://localhost:" + std::to_string(port) + "/qorvane/locator", "config"});
    ::kill(server, SIGTERM);
    pelox::testsupport::finishProgram(server, tlsDir);
    EXPECT_EQ(untrusted.status, 1) << describe(untrusted);
    EXPECT_NE(untrusted.err.find("PELOX_E_SERVICE_CALL (-973)"), std::string::npos) << describe(untrusted);
    EXPECT_NE(untrusted.err.find("pelox: the library's reason: "), std::string::npos) << describe(untrusted);
    EXPECT_NE(untrusted.err.find("self-signed certificate"), std::string::npos) << describe(untrusted);
    EXPECT_NE(untrusted.err.find("set PELOX_CA_BUNDLE to a PEM file"), std::string::npos) << describe(untrusted);
}

// Processes whose command line mentions text (zombies have none).
std::vector<int> processesMentioning(const std::string& text) {
    std::vector<int> found;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::string cmdline = pelox::testsupport::slurp(entry.path() / "cmdline");
        std::replace(cmdline.begin(), cmdline.end(), '\0', ' ');
        if (cmdline.find(text) != std::string::npos) found.push_back(std::stoi(name));
    }
    return found;
}

bool emulatorRootsLeft(const fs::path& dir) {
    for (const auto& entry : fs::directory_iterator(dir))
        if (entry.path().filename().string().rfind("pelox-emulator.", 0) == 0) return true;
    return false;
}

TEST(CliEmbedded, StartsTheEmulatorAndLeavesNothingBehind) {
    TempDir dir;
    const EnvChanges env = {std::string("PELOX_EMULATOR=") + PELOX_EMULATOR_FILE, "PELOX_USER=tester"};

    const ProgramResult r = pelox(dir, {"--json", "run", "Examples/Client Steps/Round Trip"}, env);
    ASSERT_EQ(r.status, 0) << describe(r);
    EXPECT_TRUE(parse(r)["succeeded"]);
    EXPECT_FALSE(emulatorRootsLeft(dir.path()));
    EXPECT_EQ(processesMentioning(dir.path().string()), std::vector<int>());

    // --keep-server: it stays, and later commands can use it.
    const ProgramResult kept = pelox(dir, {"--json", "--keep-server", "ls"}, env);
    ASSERT_EQ(kept.status, 0) << describe(kept);
    const Json server = parse(kept)["keptServer"];
    const int pid = server["pid"];
    EXPECT_NE(kept.err.find("keeps running at " + server["url"].get<std::string>()), std::string::npos) << kept.err;
    // Its password was made at start: the well-known one does not open it,
    // the one of the printed export line does.
    const std::string url = server["url"].get<std::string>();
    const ProgramResult guessed = pelox(dir, {"status"}, {"PELOX_SERVER=" + url, "PELOX_PASSWORD=secret"});
    EXPECT_NE(guessed.status, 0) << describe(guessed);
    const size_t exportLine = kept.err.find("export PELOX_SERVER='" + url + "' PELOX_PASSWORD='");
    ASSERT_NE(exportLine, std::string::npos) << kept.err;
    const size_t start = kept.err.find("PELOX_PASSWORD='", exportLine) + 16;
    const std::string password = kept.err.substr(start, kept.err.find('\'', start) - start);
    EXPECT_EQ(password.size(), 32u);
    const ProgramResult later = pelox(dir, {"status"}, {"PELOX_SERVER=" + url, "PELOX_PASSWORD=" + password});
    EXPECT_EQ(later.status, 0) << describe(later);
    ::kill(pid, SIGTERM);

    // pelox killed outright: the emulator it started ends with it.
    const pid_t victim = pelox::testsupport::startProgram(
        {PELOX_CLI_PATH, "run", "Utilities/Slow Job", "-p", "Milliseconds=60000"},
        {"PELOX_SERVER", "PELOX_TRACE", std::string("PELOX_EMULATOR=") + PELOX_EMULATOR_FILE,
         "TMPDIR=" + dir.path().string()},
        dir.path());
    for (int i = 0; i < 250 && pelox::testsupport::slurp(dir.path() / "stdout").find("launched") == std::string::npos; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_FALSE(processesMentioning(dir.path().string() + "/pelox-emulator.").empty());
    ::kill(victim, SIGKILL);
    pelox::testsupport::finishProgram(victim, dir.path());
    for (int i = 0; i < 150 && !processesMentioning(dir.path().string() + "/pelox-emulator.").empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(processesMentioning(dir.path().string() + "/pelox-emulator."), std::vector<int>());
    expectDocumentsFollowTheSchema(dir);
}

}  // namespace
