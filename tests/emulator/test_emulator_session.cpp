// Start-up, login, method lists, configuration, version checks, endpoints
// and the status page.
#include "emu_test.h"
#include "util.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>

using namespace emutest;

namespace {

std::map<std::string, std::vector<std::string>> configOf(const Emulator& e) {
    auto r = e.soap("/qorvane/locator", "<qor:GetConfigurationSettings/>");
    std::map<std::string, std::vector<std::string>> out;
    size_t pos = 0;
    while ((pos = r.body.find("<name>", pos)) != std::string::npos) {
        std::string rest = r.body.substr(pos);
        std::string name = xmlValue(rest, "name");
        out[name] = xmlItems(rest, "values");
        pos += 6;
    }
    return out;
}

// The keys of the configuration table in the contract, in its order: the
// first column of the table under "## Emulator: configuration".
std::vector<std::string> contractConfigurationKeys() {
    std::ifstream in(PELOX_CONTRACT_FILE);
    std::vector<std::string> keys;
    bool inSection = false;
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with("## ")) inSection = line.starts_with("## Emulator: configuration");
        if (!inSection || !line.starts_with("| ") || line.starts_with("| key") || line.starts_with("|---")) continue;
        for (auto& key : emu::split(line.substr(2, line.find(" |", 1) - 2), ',')) keys.push_back(emu::trim(key));
    }
    return keys;
}

}  // namespace

TEST(EmulatorSession, LoginAcceptsThePasswordAndRefusesOthers) {
    Emulator e;
    std::string sid = e.login("DOMAIN\\ann");
    EXPECT_EQ(sid.size(), 33u);
    EXPECT_EQ(sid[0], 'S');
    auto bad = e.soap("/qorvane/locator", op("Login", el("name", "ann") + el("password", "wrong")));
    EXPECT_EQ(bad.status, 500);
    EXPECT_TRUE(isFault(bad));
    EXPECT_NE(xmlValue(bad.body, "faultstring").find("wrong user name or password"), std::string::npos);
    // The user is the part after the last separator: jobs land in jobs/ann.
    auto r = e.soap("/qorvane/runner", op("CreateJob", sidEl(sid)));
    std::string job = xmlValue(r.body, "jobID");
    EXPECT_TRUE(std::filesystem::is_directory(e.root() / "jobs" / "ann" / job));
}

TEST(EmulatorSession, UserListFileDecidesWhoMayLogIn) {
    auto dir = std::filesystem::temp_directory_path() / ("emu-users-" + emu::randomHex(6));
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "users.txt") << "# users\nbob:pw1\ncarol:pw2\n";
    Emulator e({"--users", (dir / "users.txt").string()});
    EXPECT_NO_THROW(e.login("bob", "pw1"));
    EXPECT_THROW(e.login("bob", "pw2"), std::runtime_error);
    EXPECT_THROW(e.login("dave", "secret"), std::runtime_error);
    std::filesystem::remove_all(dir);
}

TEST(EmulatorSession, EachEndpointListsAndOffersOnlyItsOwnOperations) {
    Emulator e;
    std::string sid = e.login();
    auto methods = [&](const std::string& path) {
        return xmlValue(e.soap(path, op("ListMethods", sidEl(sid))).body, "methods");
    };
    EXPECT_EQ(xmlValue(e.soap("/qorvane/locator", "<qor:ListMethods/>").body, "methods"),
              "Login;GetEndpoint;GetConfigurationSettings;GetAllJobs;CheckSkerrowClientVersion;"
              "CheckClientTypeCompatibility;ListMethods");
    EXPECT_NE(methods("/qorvane/xmldb").find("GetComponentInfo2;ValidateParameters"), std::string::npos);
    EXPECT_NE(methods("/qorvane/runner").find("GetJobResults2"), std::string::npos);
    EXPECT_EQ(methods("/qorvane/runner").find("Login"), std::string::npos);
    // A call to the wrong endpoint is a fault, not an answer.
    auto wrong = e.soap("/qorvane/xmldb", op("GetJobStatus", sidEl(sid) + el("jobID", "x")));
    EXPECT_TRUE(isFault(wrong));
    EXPECT_NE(wrong.body.find("not offered at /qorvane/xmldb"), std::string::npos);
    // Unknown session IDs are refused.
    auto unknown = e.soap("/qorvane/xmldb", op("GetFolderNames", sidEl("Sdeadbeef") + el("folder", "")));
    EXPECT_NE(unknown.body.find("Unknown session ID"), std::string::npos);
    EXPECT_EQ(e.soap("/qorvane/nowhere", "<qor:ListMethods/>").status, 404);
    EXPECT_EQ(pelox::testsupport::httpRequest(e.port(), "GET", "/qorvane/locator").status, 405);
}

TEST(EmulatorSession, ConfigurationNamesTheEndpointsAndServerPaths) {
    Emulator e;
    auto c = configOf(e);
    EXPECT_EQ(c["FILEENDPOINT"], std::vector<std::string>{e.baseUrl() + "/qorvane/file"});
    EXPECT_EQ(c["XMLDBENDPOINT"], std::vector<std::string>{e.baseUrl() + "/qorvane/xmldb"});
    EXPECT_EQ(c["RUNNERENDPOINT"], std::vector<std::string>{e.baseUrl() + "/qorvane/runner"});
    EXPECT_EQ(c["UPLOADENDPOINT"], std::vector<std::string>{e.baseUrl() + "/qorvane/upload"});
    EXPECT_EQ(c["DOWNLOADENDPOINT"], std::vector<std::string>{e.baseUrl() + "/qorvane/download"});
    EXPECT_EQ(c["ROOT"], std::vector<std::string>{e.baseUrl()});
    EXPECT_EQ(c["SERVERVERSION"], std::vector<std::string>{"8"});
    EXPECT_EQ(c["LOCALROOT"], std::vector<std::string>{std::filesystem::canonical(e.root()).string()});
    EXPECT_EQ(c["JobsDirectory"], std::vector<std::string>{std::filesystem::canonical(e.root()).string() + "/jobs"});
    EXPECT_TRUE(c["CLUSTERMETHOD"].empty());  // present, no value: not a cluster
    for (auto key : {"SSLROOT", "BLOCKINGJOBTIMEOUT", "ServerOS", "USEAUTHENTICATION", "UsersDirectory",
                     "GridEngineType", "GridEngineNames"})
        EXPECT_TRUE(c.count(key)) << key;

    // The keys come in the order of the contract's table (docs/server-contract.md).
    auto r = e.soap("/qorvane/locator", "<qor:GetConfigurationSettings/>");
    std::vector<std::string> names;
    for (size_t pos = 0; (pos = r.body.find("<name>", pos)) != std::string::npos; pos += 6)
        names.push_back(xmlValue(r.body.substr(pos), "name"));
    EXPECT_EQ(names, contractConfigurationKeys());

    Emulator older({"--profile", "v6", "--omit-config", "FILEENDPOINT", "--upload-url", "off"});
    auto o = configOf(older);
    EXPECT_FALSE(o.count("FILEENDPOINT"));
    EXPECT_TRUE(o["UPLOADENDPOINT"].empty());
    EXPECT_EQ(o["SERVERVERSION"], std::vector<std::string>{"6"});
}

TEST(EmulatorSession, VersionChecksAnswerFromTheProfile) {
    Emulator e({"--compatibility", "false", "--version-comparison", "client-newer"});
    auto r = e.soap("/qorvane/locator", op("CheckClientTypeCompatibility",
                                           el("clientType", "{pelox} x") + el("clientVersion", "8.5.0.0") +
                                               el("flags1", "0")));
    EXPECT_NE(r.body.find("CheckSkerrowClientVersionResponse"), std::string::npos);
    EXPECT_EQ(xmlValue(r.body, "clientCompatibleEnum"), "CompatibilityFalse");
    EXPECT_EQ(xmlValue(r.body, "versionComparisonEnum"), "ClientIsNewerThanServer");
    EXPECT_EQ(xmlValue(r.body, "serverVersion"), "8.0.0.0");

    Emulator legacy({"--profile", "legacy5"});
    auto methods = xmlValue(legacy.soap("/qorvane/locator", "<qor:ListMethods/>").body, "methods");
    EXPECT_EQ(methods.find("CheckClientTypeCompatibility"), std::string::npos);
    auto old = legacy.soap("/qorvane/locator", op("CheckSkerrowClientVersion", el("clientVersion", "8.5.0.0")));
    EXPECT_EQ(xmlValue(old.body, "serverVersion"), "5.0.3.0");
    EXPECT_EQ(xmlValue(old.body, "clientCompatibleEnum"), "CompatibilityUnknown");
    EXPECT_TRUE(isFault(legacy.soap("/qorvane/locator", op("CheckClientTypeCompatibility", el("flags1", "0")))));
}

TEST(EmulatorSession, ClusterHandsOutRunnersInTurnAndJobsStayOnTheirRunner) {
    Emulator e({"--profile", "cluster"});
    auto ask = [&] { return xmlValue(e.soap("/qorvane/locator", op("GetEndpoint", el("name", "RUNNERENDPOINT"))).body, "url"); };
    EXPECT_EQ(ask(), e.baseUrl() + "/qorvane/runner");
    EXPECT_EQ(ask(), e.baseUrl() + "/qorvane/runner2");
    EXPECT_EQ(ask(), e.baseUrl() + "/qorvane/runner");
    EXPECT_EQ(xmlValue(e.soap("/qorvane/locator", op("GetEndpoint", el("name", "NOSUCH"))).body, "url"), "");
    std::string sid = e.login();
    std::string job = xmlValue(e.soap("/qorvane/runner2", op("CreateJob", sidEl(sid))).body, "jobID");
    auto elsewhere = e.soap("/qorvane/runner", op("GetJobStatus", sidEl(sid) + el("jobID", job)));
    EXPECT_NE(elsewhere.body.find("is hosted at /qorvane/runner2"), std::string::npos);
    auto home = e.soap("/qorvane/runner2", op("GetJobStatus", sidEl(sid) + el("jobID", job)));
    EXPECT_EQ(xmlValue(home.body, "status"), "13");
    auto all = e.soap("/qorvane/locator", op("GetAllJobs", sidEl(sid) + el("clientType", "x") + el("flags", "4")));
    EXPECT_EQ(xmlValue(all.body, "jobHostEndPoint"), e.baseUrl() + "/qorvane/runner2");
}

TEST(EmulatorSession, SessionCredentialsCarryAnXmldbEndpointThatWorks) {
    Emulator e({"--session-credentials", "on"});
    std::string sid = e.login();
    auto dot = sid.find('.');
    ASSERT_NE(dot, std::string::npos);
    auto creds = emu::decodeCredentials(sid.substr(dot + 1));
    ASSERT_EQ(creds["XmldbEndPoint"], e.baseUrl() + "/qorvane/xmldb-session");
    auto r = e.soap("/qorvane/xmldb-session", op("GetFolderNames", sidEl(sid) + el("folder", "")));
    EXPECT_EQ(xmlItems(r.body, "folderNames"), (std::vector<std::string>{"Examples", "Utilities"}));
    EXPECT_NE(e.log().find("/qorvane/xmldb-session GetFolderNames"), std::string::npos);
}

TEST(EmulatorSession, HardwareAddressIsThisMachinesOrAForeignOne) {
    Emulator e;
    std::string sid = e.login();
    std::string local = emu::localHardwareAddress();
    auto addr = xmlValue(e.soap("/qorvane/file", op("GetHWAddress", sidEl(sid))).body, "hwAddress");
    if (!local.empty()) {
        EXPECT_EQ(addr, local);
    }
    e.setProfile("hw-address=foreign");
    auto foreign = xmlValue(e.soap("/qorvane/file", op("GetHWAddress", sidEl(sid))).body, "hwAddress");
    EXPECT_EQ(foreign.size(), 17u);
    EXPECT_NE(foreign, local);
}

TEST(EmulatorSession, StatusPageIsPlainNameValueLines) {
    Emulator e({"--status", "busy"});
    auto r = pelox::testsupport::httpRequest(e.port(), "GET", "/qorvane/serverstatus?format=text&availability_gui=1");
    ASSERT_EQ(r.status, 200);
    EXPECT_NE(r.body.find("Status: busy\n"), std::string::npos);
    EXPECT_NE(r.body.find("Version: 8.0.0.0\n"), std::string::npos);
    for (auto& line : emu::split(r.body, '\n')) {
        if (line.empty()) continue;
        EXPECT_GT(line.find(": "), 0u) << line;
    }
}

TEST(EmulatorSession, HelpAndBadArgumentsDoNotStartAServer) {
    std::string cmd = std::string(pelox::testsupport::emulatorPath()) + " --help > /dev/null";
    EXPECT_EQ(std::system(cmd.c_str()), 0);
    cmd = std::string(pelox::testsupport::emulatorPath()) + " --root /tmp/x --profile nosuch 2> /dev/null";
    EXPECT_NE(std::system(cmd.c_str()), 0);
    EXPECT_THROW(Emulator({"--compatibility", "maybe"}), std::runtime_error);
}

// Other users of the machine, and web pages in its browser, must not drive a
// running emulator: the password is made at start, the control endpoint
// needs its token, requests must name a loopback host, and a root others
// could change is refused.
TEST(EmulatorSession, OnlyItsOwnUserCanDriveIt) {
    using pelox::testsupport::httpRequest;
    Emulator e({}, false);
    ASSERT_EQ(e.password().size(), 32u);
    EXPECT_THROW(e.login("tester", "secret"), std::runtime_error);
    EXPECT_NO_THROW(e.login("tester", e.password()));

    EXPECT_EQ(httpRequest(e.port(), "GET", "/qorvane-control/sessions").status, 403);
    EXPECT_EQ(httpRequest(e.port(), "GET", "/qorvane-control/nosuch").status, 403);  // says nothing about commands
    EXPECT_EQ(httpRequest(e.port(), "GET", "/qorvane-control/sessions?token=" + std::string(32, '0')).status, 403);
    EXPECT_EQ(httpRequest(e.port(), "GET", "/qorvane-control/sessions?token=" + e.controlToken()).status, 200);
    EXPECT_EQ(httpRequest(e.port(), "POST", "/qorvane-control/counts", "op=Login&token=" + e.controlToken(),
                          {{"Content-Type", "application/x-www-form-urlencoded"}})
                  .status,
              200);
    EXPECT_NO_THROW(e.control("sessions"));  // the header

    for (const char* host : {"localhost", "LOCALHOST:80", "127.0.0.1", "127.1.2.3:4100", "[::1]:4100", "localhost."})
        EXPECT_EQ(httpRequest(e.port(), "GET", "/qorvane/serverstatus", {}, {{"Host", host}}).status, 200) << host;
    for (const char* host : {"attacker.example", "attacker.example:4100", "127.0.0.1.example", "localhost.example",
                             "10.0.0.1", "[::2]", "localhost:80x"}) {
        EXPECT_EQ(httpRequest(e.port(), "GET", "/qorvane/serverstatus", {}, {{"Host", host}}).status, 403) << host;
        EXPECT_EQ(e.soap("/qorvane/locator", "<qor:ListMethods/>").status, 200);
    }
    EXPECT_EQ(httpRequest(e.port(), "POST", "/qorvane/locator", pelox::testsupport::soapEnvelope("<qor:ListMethods/>"),
                          {{"Host", "rebound.example"}})
                  .status,
              403);

    // Roots someone else could change.
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / ("emu-roots-" + emu::randomHex(6));
    fs::create_directories(dir / "shared");
    fs::permissions(dir / "shared", fs::perms::owner_all | fs::perms::group_all);
    std::string foreign = "/";
    if (::geteuid() == 0) {
        fs::create_directories(dir / "foreign");
        ASSERT_EQ(::chown((dir / "foreign").c_str(), 65534, 65534), 0);
        foreign = (dir / "foreign").string();
    }
    for (const std::string& root : {(dir / "shared").string(), foreign}) {
        const std::string cmd = std::string(pelox::testsupport::emulatorPath()) + " --root " + root + " > " +
                                (dir / "out").string() + " 2> " + (dir / "err").string();
        EXPECT_NE(std::system(cmd.c_str()), 0) << root;
        EXPECT_NE(emu::readFile(dir / "err", 4096).find("the root " + root), std::string::npos) << root;
        EXPECT_EQ(emu::readFile(dir / "out", 4096), "") << root;
    }
    // A missing root is made private.
    {
        Emulator fresh;
        EXPECT_EQ(fs::status(fresh.root()).permissions() & (fs::perms::group_all | fs::perms::others_all), fs::perms::none);
    }
    fs::remove_all(dir);
}

TEST(EmulatorSession, HttpsServesTheSameEndpoints) {
    if (std::system("command -v openssl > /dev/null && command -v curl > /dev/null") != 0)
        GTEST_SKIP() << "openssl and curl are needed to make a certificate and speak TLS";
    auto dir = std::filesystem::temp_directory_path() / ("emu-tls-" + emu::randomHex(6));
    std::filesystem::create_directories(dir);
    std::string cert = (dir / "cert.pem").string(), key = (dir / "key.pem").string();
    std::string make = "openssl req -x509 -newkey rsa:2048 -nodes -keyout " + key + " -out " + cert +
                       " -days 1 -subj /CN=127.0.0.1 > /dev/null 2>&1";
    ASSERT_EQ(std::system(make.c_str()), 0);
    Emulator e({"--https", cert, key});
    auto curl = [&](const std::string& args) {
        std::string cmd = "curl -sk " + args;
        std::string out;
        if (FILE* p = popen(cmd.c_str(), "r")) {
            char buf[4096];
            size_t n;
            while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
            pclose(p);
        }
        return out;
    };
    std::string base = "https://127.0.0.1:" + std::to_string(e.port());
    EXPECT_NE(curl(base + "/qorvane/serverstatus").find("Status: available"), std::string::npos);
    std::ofstream(dir / "req.xml") << pelox::testsupport::soapEnvelope("<qor:GetConfigurationSettings/>");
    auto config = curl("--data-binary @" + (dir / "req.xml").string() + " " + base + "/qorvane/locator");
    EXPECT_NE(config.find("<name>SSLROOT</name><values SOAP-ENC:arrayType=\"xsd:string[1]\" xsi:type=\"SOAP-ENC:Array\"><item>" + base),
              std::string::npos)
        << config;
    // Plain HTTP to the TLS port gets no answer, and the server goes on.
    EXPECT_EQ(pelox::testsupport::httpRequest(e.port(), "GET", "/qorvane/serverstatus").status, 0);
    EXPECT_NE(curl(base + "/qorvane/serverstatus").find("Status:"), std::string::npos);
    std::filesystem::remove_all(dir);
}
