// Fault injection, run-time profile switches, request counting and logging,
// and hostile input that must not bring the server down.
#include "emu_test.h"
#include "util.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <atomic>
#include <random>
#include <thread>

using namespace emutest;
using pelox::testsupport::httpRequest;

TEST(EmulatorFaults, SoapFaultCarriesDetailPiecesForTheNextCalls) {
    Emulator e({"--fault", "op=ListMethods&kind=soap-fault&string=Busy&detail=first%7C%23%7Csecond&count=2"});
    for (int i = 0; i < 2; ++i) {
        auto r = e.soap("/qorvane/locator", "<qor:ListMethods/>");
        EXPECT_EQ(r.status, 500);
        EXPECT_EQ(xmlValue(r.body, "faultcode"), "SOAP-ENV:Server");
        EXPECT_EQ(xmlValue(r.body, "faultstring"), "Busy");
        EXPECT_EQ(xmlValue(r.body, "detail"), "first|#|second");
    }
    EXPECT_EQ(e.soap("/qorvane/locator", "<qor:ListMethods/>").status, 200);
    EXPECT_EQ(e.count("ListMethods"), 3u);
}

TEST(EmulatorFaults, TransportFaultsBreakTheReplyAsAsked) {
    Emulator e;
    auto call = [&] { return e.soap("/qorvane/locator", "<qor:GetConfigurationSettings/>"); };
    e.addFault("op=GetConfigurationSettings&kind=http-500&count=1");
    auto r = call();
    EXPECT_EQ(r.status, 500);
    EXPECT_EQ(r.headers["content-type"], "text/plain; charset=utf-8");
    e.addFault("op=GetConfigurationSettings&kind=malformed&count=1");
    r = call();
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body.find("</SOAP-ENV:Envelope>"), std::string::npos);
    e.addFault("op=GetConfigurationSettings&kind=truncated&count=1");
    EXPECT_EQ(call().status, 0);  // fewer bytes than Content-Length announced
    e.addFault("op=GetConfigurationSettings&kind=drop&count=1");
    EXPECT_EQ(call().status, 0);
    e.addFault("op=*&kind=delay&ms=300&count=1");
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(call().status, 200);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(300));
    EXPECT_EQ(call().status, 200);
    EXPECT_NE(e.log().find("GetConfigurationSettings session=- status=500 fault=http-500"), std::string::npos);

    e.addFault("op=serverstatus&kind=http-500");
    EXPECT_EQ(httpRequest(e.port(), "GET", "/qorvane/serverstatus?format=text").status, 500);
    e.clearFaults();
    EXPECT_EQ(httpRequest(e.port(), "GET", "/qorvane/serverstatus?format=text").status, 200);
    EXPECT_THROW(e.addFault("op=Login&kind=explode"), std::runtime_error);
}

TEST(EmulatorFaults, ProfileSwitchesChangeMethodListsAtRunTime) {
    Emulator e;
    std::string sid = e.login();
    auto xmldbMethods = [&] { return xmlValue(e.soap("/qorvane/xmldb", op("ListMethods", sidEl(sid))).body, "methods"); };
    EXPECT_NE(xmldbMethods().find("FindParameterInfo2"), std::string::npos);
    e.setProfile("without-method=FindParameterInfo2,GetProtocolNames");
    EXPECT_EQ(xmldbMethods().find("FindParameterInfo2"), std::string::npos);
    EXPECT_EQ(xmldbMethods().find("GetProtocolNames"), std::string::npos);
    // An operation left out is refused, as an older server would.
    auto r = e.soap("/qorvane/xmldb", op("GetProtocolNames", sidEl(sid) + el("folder", "") + el("flags", "-1")));
    EXPECT_NE(r.body.find("is not offered by this server"), std::string::npos);
    e.setProfile("with-method=GetProtocolNames");
    EXPECT_NE(xmldbMethods().find("GetProtocolNames"), std::string::npos);

    std::string desc = e.control("profile?preset=legacy5");
    EXPECT_NE(desc.find("server-version: 5.0.3.0"), std::string::npos);
    EXPECT_EQ(xmldbMethods().find("GetComponentInfo2"), std::string::npos);
    auto runnerMethods = xmlValue(e.soap("/qorvane/runner", op("ListMethods", sidEl(sid))).body, "methods");
    EXPECT_EQ(runnerMethods.find("GetJobResults2"), std::string::npos);
    EXPECT_THROW(e.setProfile("no-such-setting=1"), std::runtime_error);
    EXPECT_THROW(e.setProfile("without-method=Login"), std::runtime_error);
}

TEST(EmulatorFaults, EveryRequestIsLoggedAndCounted) {
    Emulator e;
    std::string sid = e.login();
    e.soap("/qorvane/xmldb", op("GetFolderNames", sidEl(sid) + el("folder", "")));
    e.soap("/qorvane/xmldb", op("GetFolderNames", sidEl(sid) + el("folder", "Nope")));
    EXPECT_EQ(e.count("GetFolderNames"), 2u);
    EXPECT_EQ(e.count("Login"), 1u);
    std::ifstream in(e.logPath());
    std::string all((std::istreambuf_iterator<char>(in)), {});
    EXPECT_NE(all.find("POST /qorvane/xmldb GetFolderNames session=" + sid + " status=200"), std::string::npos);
    EXPECT_NE(all.find("POST /qorvane/xmldb GetFolderNames session=" + sid + " status=500"), std::string::npos);
    e.resetCounts();
    EXPECT_EQ(e.count("GetFolderNames"), 0u);
}

TEST(EmulatorFaults, HostileRequestsAreRefusedAndTheServerKeepsServing) {
    Emulator e({"--max-body", "1000000"});
    const std::vector<std::string> bodies = {
        "",
        "not xml at all",
        "<?xml version=\"1.0\"?><SOAP-ENV:Envelope",
        pelox::testsupport::soapEnvelope("<qor:NoSuchOperation/>"),
        pelox::testsupport::soapEnvelope("<qor:Login><name>" + std::string(200000, 'A') + "</name></qor:Login>"),
        pelox::testsupport::soapEnvelope(std::string(5000, '<') ),
        pelox::testsupport::soapEnvelope("<qor:GetFolderContents><sessionID>&#0;</sessionID></qor:GetFolderContents>"),
        pelox::testsupport::soapEnvelope("<qor:UploadFile><data>@@@@</data></qor:UploadFile>"),
    };
    for (const auto& b : bodies) {
        auto r = httpRequest(e.port(), "POST", "/qorvane/locator", b, {{"Content-Type", "text/xml"}});
        EXPECT_TRUE(r.status == 500 || r.status == 400) << r.status << " for " << b.substr(0, 60);
    }
    // Deep nesting, a huge announced length, a negative length, a broken
    // chunk header and a bare garbage line.
    std::string deep;
    for (int i = 0; i < 10000; ++i) deep += "<a>";
    EXPECT_EQ(httpRequest(e.port(), "POST", "/qorvane/xmldb", pelox::testsupport::soapEnvelope(deep)).status, 500);
    EXPECT_EQ(httpRequest(e.port(), "POST", "/qorvane/file", "", {{"Content-Length", "99999999999"}}).status, 413);
    EXPECT_EQ(httpRequest(e.port(), "POST", "/qorvane/file", "", {{"Content-Length", "-5"}}).status, 400);
    EXPECT_EQ(httpRequest(e.port(), "POST", "/qorvane/file", "zz\r\n", {{"Transfer-Encoding", "chunked"}}).status, 400);
    EXPECT_EQ(httpRequest(e.port(), "POST", "/qorvane/upload?SID=x&filename=a", std::string(1000001, 'x')).status, 413);
    EXPECT_EQ(httpRequest(e.port(), "GARBAGE", "nopath").status, 404);
    EXPECT_EQ(httpRequest(e.port(), "GET", "/qorvane-control/nosuch").status, 404);
    EXPECT_NO_THROW(e.login());
    EXPECT_EQ(e.stop(), 0);  // SIGTERM ends the server with status 0
}

TEST(EmulatorFaults, ADelayedCallDoesNotHoldUpOthers) {
    Emulator e({"--fault", "op=GetEndpoint&kind=delay&ms=1500&count=1"});
    auto t0 = std::chrono::steady_clock::now();
    std::thread slow([&] { e.soap("/qorvane/locator", op("GetEndpoint", el("name", "RUNNERENDPOINT"))); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::vector<std::thread> quick;
    std::atomic<int> ok{0};
    for (int i = 0; i < 8; ++i)
        quick.emplace_back([&] {
            if (e.soap("/qorvane/locator", "<qor:ListMethods/>").status == 200) ++ok;
        });
    for (auto& t : quick) t.join();
    EXPECT_EQ(ok, 8);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(1200));
    slow.join();
}

TEST(EmulatorFaults, LargeUploadsAnnouncedWithExpectContinueAreServedPromptly) {
    // curl announces large bodies with "Expect: 100-continue" and waits up to
    // a second for the interim answer before it sends the body.
    if (std::system("command -v curl > /dev/null") != 0) GTEST_SKIP() << "curl is needed";
    Emulator e;
    std::string sid = e.login();
    auto src = e.root().parent_path() / "big-source.bin";
    std::ofstream(src, std::ios::binary) << std::string(3 << 20, 'u');
    std::string cmd = "curl -s -o /dev/null -H 'Expect: 100-continue' -H 'Content-Type: application/octet-stream' "
                      "--data-binary @" + src.string() + " 'http://127.0.0.1:" + std::to_string(e.port()) +
                      "/qorvane/upload?filename=big.bin&SID=" + emu::urlEncode(sid) + "'";
    auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(900));
    EXPECT_EQ(std::filesystem::file_size(e.root() / "big.bin"), size_t(3 << 20));
}

TEST(EmulatorFaults, MutatedRequestsNeverBringTheServerDown) {
    Emulator e;
    std::string sid = e.login();
    const std::string valid = pelox::testsupport::soapEnvelope(
        op("ValidateParameters", sidEl(sid) + el("componentName", "Examples/Shapes") + el("validationState", "QUJD") +
                                     pairArray("parameterValues", {{"Shape", {"Square"}}, {"Side", {"2"}}})));
    std::mt19937 rng(1234);
    for (int i = 0; i < 300; ++i) {
        std::string m = valid;
        int edits = 1 + int(rng() % 8);
        for (int k = 0; k < edits; ++k) {
            size_t at = rng() % m.size();
            switch (rng() % 3) {
                case 0: m[at] = char(rng() % 256); break;
                case 1: m.erase(at, 1 + rng() % 20); break;
                default: m.insert(at, m.substr(rng() % m.size(), 1 + rng() % 40)); break;
            }
        }
        auto r = httpRequest(e.port(), "POST", "/qorvane/xmldb", m);
        ASSERT_TRUE(r.status == 200 || r.status == 500) << "request " << i << " got " << r.status;
    }
    EXPECT_EQ(e.soap("/qorvane/locator", "<qor:ListMethods/>").status, 200);
}
