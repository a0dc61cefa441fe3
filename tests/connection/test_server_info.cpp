// pelox_getServerConfiguration and pelox_getServerStatus against the emulator.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "catalogue/e2e_helpers.h"
#include "connection/config_walk.h"
#include "support/test_platform.h"

using namespace pelox::e2e;
using pelox::testsupport::Emulator;

namespace {

// The configuration's names, upper-cased, in the order the server sends them.
Texts sentNames(const Emulator& emu) {
    const std::string body = emu.soap("/qorvane/locator", "<qor:GetConfigurationSettings/>").body;
    Texts names;
    for (size_t at = body.find("<name"); at != std::string::npos; at = body.find("<name", at + 1)) {
        const size_t open = body.find('>', at), close = body.find("</name>", at);
        std::u16string name = u16(body.substr(open + 1, close - open - 1));
        for (auto& c : name)
            if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
        names.push_back(name);
    }
    return names;
}

// The names the configuration export lists, in the order given.
Texts exposedAmong(const Texts& names) {
    const Texts exposed = {u"SERVEROS", u"ROOT", u"SSLROOT", u"SERVERVERSION", u"USEAUTHENTICATION",
                           u"USERSDIRECTORY", u"LOCALROOT", u"GRIDENGINETYPE", u"GRIDENGINENAMES"};
    Texts out;
    for (const auto& name : names)
        if (std::find(exposed.begin(), exposed.end(), name) != exposed.end()) out.push_back(name);
    return out;
}

}  // namespace

TEST(ServerConfiguration, ListsExposedSettingsInTheWalkOfTheConfigurationMap) {
    // More settings than 31 buckets take before the map grows.
    Emulator emu({"--extra-config", "10"});
    Result result;
    ASSERT_EQ(pelox_getServerConfiguration(u16(emu.locatorUrl()).c_str(), result), 0);
    const Texts sent = sentNames(emu);
    ASSERT_GT(sent.size(), 23u);
    const Texts walked = exposedAmong(pelox::testsupport::configurationWalk(sent));
    EXPECT_EQ(result.names(), walked);
    EXPECT_EQ(walked.size(), 9u);
    EXPECT_NE(walked, exposedAmong(sent));  // not the server's order
    EXPECT_EQ(result.values(u"ServerVersion"), Texts{u"8"});
    EXPECT_EQ(result.values(u"ROOT"), Texts{u16(emu.baseUrl())});
    // Settings without a value have an empty list.
    EXPECT_EQ(result.values(u"SSLROOT"), Texts{});
    EXPECT_EQ(result.values(u"GRIDENGINENAMES"), Texts{});
    // Other settings stay readable but are not listed.
    EXPECT_EQ(result.values(u"FILEENDPOINT"), Texts{u16(emu.baseUrl() + "/qorvane/file")});

    // A second call starts from an empty object.
    emu.setProfile("cluster=on");
    ASSERT_EQ(pelox_getServerConfiguration(u16(emu.locatorUrl()).c_str(), result), 0);
    EXPECT_EQ(result.names().size(), 9u);
    EXPECT_EQ(result.values(u"GridEngineNames"), (Texts{u"runner", u"runner2"}));

    // A bare host and port is completed to the locator URL.
    const std::string hostPort = emu.baseUrl();
    ASSERT_EQ(pelox_getServerConfiguration(u16(hostPort).c_str(), result), 0);
    EXPECT_EQ(result.names().size(), 9u);

    emu.addFault("op=GetConfigurationSettings&kind=http-500&count=1");
    EXPECT_EQ(pelox_getServerConfiguration(u16(emu.locatorUrl()).c_str(), result), PELOX_E_SERVICE_CALL);
    EXPECT_TRUE(result.names().empty());
}

TEST(ServerStatus, SplitsLinesAtTheFirstColon) {
    Emulator emu;
    const std::u16string id = login(emu);
    ASSERT_FALSE(id.empty());
    // The status text becomes part of the page: extra lines with two colons,
    // a leading colon, no colon and a repeated name.
    emu.setProfile("status=busy%0AA%3Ab%3A%20c%0A%3Aleading%0Ano%20colon%0AServer%3Aagain");
    Result result;
    ASSERT_EQ(pelox_getServerStatus(id.c_str(), result), 0);
    const Texts names = result.names();
    ASSERT_GE(names.size(), 6u);
    EXPECT_EQ(names[0], u"Server");
    EXPECT_EQ(names[1], u"Version");
    EXPECT_EQ(names[2], u"Status");
    EXPECT_EQ(names[3], u"A");
    EXPECT_EQ(names[4], u"Server");  // listed twice ...
    EXPECT_EQ(result.values(u"Server"), Texts{u"again"});  // ... with the last value
    EXPECT_EQ(result.values(u"A"), Texts{u"b: c"});
    EXPECT_EQ(result.values(u"Status"), Texts{u" busy"});  // values are not trimmed
    for (const auto& n : names) {
        EXPECT_FALSE(n.empty());
        EXPECT_EQ(n.find(u"no colon"), std::u16string::npos);
    }
}

TEST(ServerStatus, UnreadablePageIsAnError) {
    Emulator emu;
    const std::u16string id = login(emu);
    ASSERT_FALSE(id.empty());
    emu.addFault("op=serverstatus&kind=http-500&count=1");
    Result result;
    const int32_t rc = pelox_getServerStatus(id.c_str(), result);
    ASSERT_GT(rc, 0);
    const std::string text = errorText(rc);
    EXPECT_NE(text.find(emu.baseUrl() + "/qorvane/serverstatus?format=text&availability_gui=1"), std::string::npos)
        << text;
    EXPECT_NE(text.find("500"), std::string::npos) << text;
    EXPECT_TRUE(result.names().empty());
    // The next read works again.
    EXPECT_EQ(pelox_getServerStatus(id.c_str(), result), 0);
    EXPECT_FALSE(result.names().empty());

    // The server is gone: the transport error is reported, not an empty page.
    emu.stop();
    const int32_t gone = pelox_getServerStatus(id.c_str(), result);
    ASSERT_GT(gone, 0);
    EXPECT_NE(errorText(gone).find("Could not read"), std::string::npos);
}

TEST(ServerStatus, UnknownServerRootFailsBeforeAnyTraffic) {
    Emulator emu({"--omit-config", "ROOT"});
    const std::u16string id = login(emu);
    ASSERT_FALSE(id.empty());
    Result result;
    const int32_t rc = pelox_getServerStatus(id.c_str(), result);
    ASSERT_GT(rc, 0);
    EXPECT_EQ(errorText(rc), "ServerRoot is unknown");
    EXPECT_EQ(emu.count("serverstatus"), 0u);
}

TEST(ServerStatus, HttpsPageIsVerifiedLikeTheServices) {
#ifdef _WIN32
    GTEST_SKIP() << "the certificate is made with the openssl program and read by the emulator, both on the Linux "
                    "side: windows_tls_tests reads the status page over https on Windows";
#endif
    const std::filesystem::path dir = std::filesystem::temp_directory_path() / ("pelox-status-tls-" + std::to_string(pelox::testsupport::processId()));
    std::filesystem::create_directories(dir);
    const std::string cert = (dir / "server.pem").string(), key = (dir / "server.key").string();
    const std::string command = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 "
                                "-subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 -keyout " + key + " -out " +
                                cert + " >/dev/null 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0);
    Emulator emu({"--https", cert, key});
    const std::u16string locator = u16("https://127.0.0.1:" + std::to_string(emu.port()) + "/qorvane/locator");

    pelox::testsupport::setEnv("PELOX_CA_BUNDLE", cert);
    String id;
    ASSERT_EQ(pelox_login(locator.c_str(), u"tester", u"secret", nullptr, id, u"tests"), 0);
    Result result;
    const int32_t rc = pelox_getServerStatus(id.text().c_str(), result);
    EXPECT_EQ(rc, 0) << errorText(rc);
    EXPECT_EQ(result.values(u"Status"), Texts{u" available"});

    // Without the bundle the self-signed certificate is refused.
    pelox::testsupport::unsetEnv("PELOX_CA_BUNDLE");
    const int32_t refused = pelox_getServerStatus(id.text().c_str(), result);
    ASSERT_GT(refused, 0);
    EXPECT_NE(errorText(refused).find("Could not read https://127.0.0.1"), std::string::npos);
    EXPECT_TRUE(result.names().empty());
    std::filesystem::remove_all(dir);
}
