// pelox_login against the emulator: the client compatibility check, user
// names, the endpoints the session is set up with, and failed set-ups.
#include <gtest/gtest.h>

#include <thread>

#include <chrono>

#include <filesystem>
#include <fstream>

#include "catalogue/e2e_helpers.h"

using namespace pelox::e2e;
using pelox::testsupport::Emulator;

namespace {

int32_t loginCode(const Emulator& emu, String& id) {
    return pelox_login(u16(emu.locatorUrl()).c_str(), u"tester", u"secret", nullptr, id, u"tests");
}

}  // namespace

TEST(Login, VersionCheckBranches) {
    Emulator emu;
    struct Row {
        const char* profile;
        int32_t expected;
        const char* checkOp;
    } rows[] = {
        {"compatibility=true", 0, "CheckClientTypeCompatibility"},
        {"compatibility=false&version-comparison=same", PELOX_E_SERVER_VERSION, "CheckClientTypeCompatibility"},
        {"compatibility=false&version-comparison=server-newer", PELOX_E_SERVER_VERSION, "CheckClientTypeCompatibility"},
        {"compatibility=false&version-comparison=client-newer", 0, "CheckClientTypeCompatibility"},
        // Servers without the type check are asked for their version instead.
        {"without-method=CheckClientTypeCompatibility&compatibility=true", 0, "CheckSkerrowClientVersion"},
        {"without-method=CheckClientTypeCompatibility&compatibility=false&compat-server-version=5.0.7", 0,
         "CheckSkerrowClientVersion"},
        {"without-method=CheckClientTypeCompatibility&compatibility=unknown&compat-server-version=5.1.2", 0,
         "CheckSkerrowClientVersion"},
        {"without-method=CheckClientTypeCompatibility&compatibility=false&compat-server-version=6.0.0",
         PELOX_E_SERVER_VERSION, "CheckSkerrowClientVersion"},
        {"without-method=CheckClientTypeCompatibility&compatibility=false&compat-server-version=5.10",
         PELOX_E_SERVER_VERSION, "CheckSkerrowClientVersion"},
    };
    for (const Row& row : rows) {
        emu.setProfile(std::string("preset=modern&") + row.profile);
        emu.resetCounts();
        String id;
        const int32_t rc = loginCode(emu, id);
        EXPECT_EQ(rc, row.expected) << row.profile << ": " << errorText(rc);
        EXPECT_EQ(emu.count(row.checkOp), 1u) << row.profile;
        // A refused client never logs in, and its string stays empty.
        EXPECT_EQ(emu.count("Login"), row.expected == 0 ? 1u : 0u) << row.profile;
        if (row.expected != 0) {
            EXPECT_EQ(id.text(), u"");
        }
    }
}

TEST(Login, SessionIdAndUserNames) {
    Emulator emu;
    // The name goes to the server unchanged; the session keeps its last part,
    // which names the user's jobs directory.
    for (const std::u16string user : {u"corp\\ann", u"a/b\\c/ann", u"ann"}) {
        const std::u16string id = login(emu, user);
        ASSERT_FALSE(id.empty());
        EXPECT_EQ(id[0], u'S');
        // A refused password is a server fault: an error record (not a bare
        // transport code) whose messages name the user as the server got it.
        String refused;
        const int32_t rc = pelox_login(u16(emu.locatorUrl()).c_str(), user.c_str(), u"wrong", nullptr, refused, u"t");
        ASSERT_GT(rc, 0);
        const std::string text = errorText(rc);
        EXPECT_NE(text.find("for '" + ascii(user) + "'"), std::string::npos) << text;

        std::filesystem::create_directories(emu.root() / "jobs" / "ann" / "J1");
        std::ofstream(emu.root() / "jobs" / "ann" / "J1" / "out.txt") << "12345";
        Array folders, files, sizes;
        EXPECT_EQ(pelox_listContents2(id.c_str(), nullptr, folders, files, sizes, u"J1"), 0);
        EXPECT_EQ(files.texts(), Texts{u"out.txt"}) << ascii(user);
    }
}

TEST(Login, CredentialsEndpointWinsOverTheConfiguredOne) {
    Emulator emu({"--session-credentials", "on"});
    const std::u16string id = login(emu);
    ASSERT_FALSE(id.empty());
    EXPECT_NE(id.find(u'.'), std::u16string::npos);
    Array protocols, folders;
    ASSERT_EQ(pelox_listProtocols(id.c_str(), u"Examples", protocols, folders), 0);
    // The emulator logs a request after answering it: wait for the last line.
    std::string log = emu.log();
    for (int i = 0; i < 100 && countInLog(log, "/qorvane/xmldb-session GetFolderNames") == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        log = emu.log();
    }
    EXPECT_GT(countInLog(log, "/qorvane/xmldb-session ListMethods"), 0u) << log;
    EXPECT_GT(countInLog(log, "/qorvane/xmldb-session GetFolderNames"), 0u) << log;
    EXPECT_EQ(countInLog(log, "/qorvane/xmldb GetFolderNames"), 0u) << log;

    // Without a configured XMLDB endpoint the credentials alone are enough.
    emu.setProfile("omit-config=XMLDBENDPOINT");
    EXPECT_FALSE(login(emu).empty());
}

TEST(Login, IncompleteConfigurationFailsTheLogin) {
    struct Row {
        std::vector<std::string> args;
        const char* message;
    } rows[] = {
        {{"--omit-config", "FILEENDPOINT"}, "Missing SOAP FileEndPoint"},
        {{"--omit-config", "XMLDBENDPOINT"}, "Missing SOAP XmldbEndPoint"},
        {{"--omit-config", "SERVERVERSION"}, "Missing SERVERVERSION"},
    };
    for (const Row& row : rows) {
        Emulator emu(row.args);
        String id;
        const int32_t rc = loginCode(emu, id);
        ASSERT_GT(rc, 0) << row.message;
        const std::string text = errorText(rc);
        EXPECT_NE(text.find(row.message), std::string::npos) << text;
        // No session is left behind: the string is empty.
        EXPECT_EQ(id.text(), u"");
    }
    // The XMLDB step names the session record's set-up in the messages.
    Emulator emu({"--omit-config", "XMLDBENDPOINT"});
    String id;
    const std::string text = errorText(loginCode(emu, id));
    EXPECT_NE(text.find("SessionInfo::SetXmldbEndPoint"), std::string::npos) << text;
}

TEST(Login, RunnerAndServerLocality) {
    {
        Emulator emu;
        ASSERT_FALSE(login(emu).empty());
        EXPECT_EQ(emu.count("GetEndpoint"), 0u);  // the configured runner is used
        EXPECT_EQ(emu.count("GetHWAddress"), 1u);
        EXPECT_GT(countInLog(emu.log(), "/qorvane/runner ListMethods"), 0u);
    }
    {
        // On a cluster the runner comes from the locator.
        Emulator emu({"--cluster", "on"});
        ASSERT_FALSE(login(emu).empty());
        EXPECT_EQ(emu.count("GetEndpoint"), 1u);
    }
}

TEST(Login, ServerFaultsAndUnreachableServers) {
    Emulator emu;
    emu.addFault("op=Login&kind=soap-fault&detail=Bad%20password%7C%23%7CTry%20again&count=1");
    String id;
    const int32_t rc = loginCode(emu, id);
    ASSERT_GT(rc, 0);
    const std::string text = errorText(rc);
    EXPECT_NE(text.find("Bad password | Try again"), std::string::npos) << text;
    EXPECT_NE(text.find("soap call to Login() failed"), std::string::npos) << text;

    emu.addFault("op=GetHWAddress&kind=http-500&count=1");
    EXPECT_EQ(loginCode(emu, id), PELOX_E_SERVICE_CALL);
    EXPECT_EQ(id.text(), u"");
    EXPECT_EQ(loginCode(emu, id), 0);
    EXPECT_FALSE(id.text().empty());
}
