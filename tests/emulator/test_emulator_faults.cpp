// Fault injection, run-time profile switches, request counting and logging,
// and hostile input that must not bring the server down.
#include "emu_test.h"
#include "util.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pugixml.hpp>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <random>
#include <regex>
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
    EXPECT_EQ(httpRequest(e.port(), "GET", "/qorvane-control/nosuch", {}, {{"X-Pelox-Control-Token", e.controlToken()}}).status,
              404);
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

namespace {

// A connection that sends the start of a request and then nothing more.
int openSlow(int port, const std::string& start) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(uint16_t(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return -1;
    ::send(fd, start.data(), start.size(), MSG_NOSIGNAL);
    return fd;
}

long statOf(const Emulator& e, const std::string& key) {
    auto stats = "\n" + e.control("stats");
    auto at = stats.find("\n" + key + ": ");
    return at == std::string::npos ? -1 : std::stol(stats.substr(at + key.size() + 3));
}

}  // namespace

// Clients that send their requests slowly hold no thread and no request slot:
// everyone else, the control endpoint included, is served meanwhile, and a
// request that does not arrive in time is answered 408.
TEST(EmulatorAbuse, SlowClientsDoNotLockOthersOut) {
    Emulator e;
    std::vector<int> slow;
    for (int i = 0; i < 300; ++i)
        slow.push_back(openSlow(e.port(), i % 2 ? "P" : "POST /qorvane/locator HTTP/1.1\r\nContent-Length: 500\r\n\r\n<"));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_NO_THROW(e.control("counts"));
    EXPECT_EQ(e.soap("/qorvane/locator", "<qor:ListMethods/>").status, 200);
    EXPECT_NO_THROW(e.login());
    EXPECT_GE(statOf(e, "connections-pending"), 290);
    EXPECT_LE(statOf(e, "threads"), 4);
    for (int fd : slow) ::close(fd);
}

TEST(EmulatorAbuse, ARequestMustArriveWithinItsDeadline) {
    Emulator e({"--request-timeout-ms", "1000"});
    // The deadline covers the whole request: trickling bytes does not extend it.
    int trickle = openSlow(e.port(), "G");
    for (const char* piece : {"E", "T", " ", "/", "q", " ", "H"}) {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        ::send(trickle, piece, 1, MSG_NOSIGNAL);
    }
    timeval tv{5, 0};
    setsockopt(trickle, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    char buf[256] = {};
    auto t0 = std::chrono::steady_clock::now();
    ssize_t n = ::recv(trickle, buf, sizeof buf - 1, 0);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(2500));
    ASSERT_GT(n, 0);
    EXPECT_TRUE(std::string(buf).starts_with("HTTP/1.1 408 ")) << buf;
    ::close(trickle);
    EXPECT_NE(e.log().find("? ? ? session=- status=408 refused=timeout"), std::string::npos) << e.log();
}

// A finished job's thread is gone (no stack mapping left behind), and a
// request for which no thread can be started is answered 503 while the
// server goes on.
TEST(EmulatorAbuse, FinishedJobsCostNoThread) {
    Emulator e;
    std::string sid = e.login();
    e.soap("/qorvane/runner", op("LaunchBlockingJob", sidEl(sid) + el("protocolName", "Examples/Add Numbers") +
                                                          el("msTimeout", "5000") + el("flags", "0")));
    long maps = statOf(e, "maps");
    for (int i = 0; i < 300; ++i)
        ASSERT_EQ(e.soap("/qorvane/runner", op("LaunchJob", sidEl(sid) + el("protocolName", "Examples/Add Numbers"))).status, 200);
    for (int i = 0; i < 500 && statOf(e, "job-threads") != 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(statOf(e, "job-threads"), 0);
    EXPECT_EQ(statOf(e, "jobs"), 301);
    EXPECT_LT(statOf(e, "maps") - maps, 40) << "memory mappings left behind by 300 finished jobs";
    EXPECT_LE(statOf(e, "threads"), 3);
}

// When no thread can be started, a request is answered 503 and a launch with
// a fault, both logged, and the server goes on.
TEST(EmulatorAbuse, NoThreadToStartIsAnsweredNotFatal) {
    Emulator e({"--max-threads", "1", "--fault", "op=GetEndpoint&kind=delay&ms=800&count=1"});
    std::string sid = e.login();
    // A request's thread ends just after its reply has gone out.
    auto settle = [] { std::this_thread::sleep_for(std::chrono::milliseconds(100)); };
    settle();
    // The one thread is busy: the next request gets none.
    std::thread busy([&] { e.soap("/qorvane/locator", op("GetEndpoint", el("name", "RUNNERENDPOINT"))); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(httpRequest(e.port(), "POST", "/qorvane/locator", pelox::testsupport::soapEnvelope("<qor:ListMethods/>")).status, 503);
    busy.join();
    settle();
    // The request's thread is the one: the job gets none.
    auto launch = e.soap("/qorvane/runner", op("LaunchJob", sidEl(sid) + el("protocolName", "Examples/Add Numbers")));
    EXPECT_EQ(launch.status, 500);
    EXPECT_NE(xmlValue(launch.body, "faultstring").find("cannot be started now"), std::string::npos) << launch.body;
    settle();
    EXPECT_EQ(e.soap("/qorvane/locator", "<qor:ListMethods/>").status, 200);
    settle();
    auto log = e.log();
    EXPECT_NE(log.find("POST /qorvane/locator ? session=- status=503 refused=no-thread"), std::string::npos) << log;
    EXPECT_NE(log.find("LaunchJob session=" + sid + " status=500"), std::string::npos);
}

// Every SOAP reply is well-formed XML 1.0, and every fault, the SOAP layer's
// own included, has a detail holding at least its fault string.
TEST(EmulatorFaults, EveryReplyIsWellFormedAndEveryFaultHasADetail) {
    Emulator e;
    std::string sid = e.login();
    std::ofstream(e.root() / "ctl\x01name.txt") << "x";
    auto env = [](const std::string& body) { return pelox::testsupport::soapEnvelope(body); };
    const std::vector<std::pair<std::string, std::string>> requests = {
        {"/qorvane/locator", ""},
        {"/qorvane/locator", "not xml at all"},
        {"/qorvane/locator", "<?xml version=\"1.0\"?><SOAP-ENV:Envelope"},
        {"/qorvane/locator", env("<qor:NoSuchOperation/>")},
        {"/qorvane/xmldb", env(op("GetComponentVersionZipped", sidEl(sid) + el("componentName", "Examples/Shapes") +
                                                                   el("componentVersion", "99999999999")))},
        {"/qorvane/file", env(op("GetFolderContents", sidEl("a&#1;b\x02" "c\xff") + el("folderPath", "")))},
        {"/qorvane/file", env(op("GetFolderContents", sidEl(sid) + el("folderPath", "")))},
    };
    for (const auto& [path, body] : requests) {
        auto r = httpRequest(e.port(), "POST", path, body);
        SCOPED_TRACE(body.substr(0, 120));
        ASSERT_TRUE(r.status == 200 || r.status == 500) << r.status;
        EXPECT_EQ(emu::xmlSafe(r.body), r.body) << "characters XML forbids in " << r.body;
        pugi::xml_document doc;
        EXPECT_TRUE(doc.load_string(r.body.c_str())) << r.body;
        if (r.status == 500) {
            EXPECT_FALSE(xmlValue(r.body, "faultstring").empty()) << r.body;
            EXPECT_FALSE(xmlValue(r.body, "detail").empty()) << r.body;
        }
    }
}

// Every line of the request log has the documented shape, whatever the
// request did: "<time> <method> <path> <operation> session=<sid> status=<n>
// [notes] <ms>ms".
TEST(EmulatorFaults, RequestLogLinesKeepTheirShape) {
    Emulator e({"--max-body", "100000"});
    std::string sid = e.login();
    std::ofstream(e.root() / "f.txt") << "data";
    const std::string q = "&SID=" + emu::urlEncode(sid);
    e.addFault("op=download&kind=http-500&count=1");
    httpRequest(e.port(), "GET", "/qorvane/download?filename=f.txt" + q);
    e.addFault("op=download&kind=malformed&count=1");
    httpRequest(e.port(), "GET", "/qorvane/download?filename=f.txt" + q);
    e.addFault("op=upload&kind=delay&ms=1&count=1");
    httpRequest(e.port(), "POST", "/qorvane/upload?filename=u.txt" + q, "up");
    e.addFault("op=serverstatus&kind=drop&count=1");
    httpRequest(e.port(), "POST", "/qorvane/serverstatus");
    httpRequest(e.port(), "GET", "/nowhere");
    httpRequest(e.port(), "GET", "/qorvane/locator");
    httpRequest(e.port(), "POST", "/qorvane/file", "", {{"Content-Length", "999999"}});
    httpRequest(e.port(), "POST", "/qorvane/file", "zz\r\n", {{"Transfer-Encoding", "chunked"}});
    e.control("counts");
    std::ifstream in(e.logPath());
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    const std::regex shape(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z (\S+) (\S+) (\S+) session=(\S+) status=(\d+)(.*) (\d+)ms$)");
    for (const auto& line : lines) EXPECT_TRUE(std::regex_match(line, shape)) << line;
    auto has = [&](const std::string& part) {
        return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return l.find(part) != std::string::npos; });
    };
    EXPECT_TRUE(has("GET /qorvane/download download session=" + sid + " status=500 fault=http-500 "));
    EXPECT_TRUE(has("GET /qorvane/download download session=" + sid + " status=200 fault=malformed "));
    EXPECT_TRUE(has("POST /qorvane/upload upload session=" + sid + " status=200 fault=delay file="));
    EXPECT_TRUE(has("POST /qorvane/serverstatus serverstatus session=- status=0 fault=drop "));
    EXPECT_TRUE(has("GET /nowhere - session=- status=404 "));
    EXPECT_TRUE(has("GET /qorvane/locator ? session=- status=405 "));
    EXPECT_TRUE(has("POST /qorvane/file ? session=- status=413 refused=too-large "));
    EXPECT_TRUE(has("POST /qorvane/file ? session=- status=400 refused=malformed-request "));
    EXPECT_TRUE(has("GET /qorvane-control/counts control session=- status=200 "));
}

// The control endpoint answers 400 for bad parameters and changes nothing;
// settings apply in the order given; lookups add nothing.
TEST(EmulatorFaults, ControlEndpointRefusesBadParametersAndKeepsOrder) {
    Emulator e;
    std::string sid = e.login();
    const std::vector<std::string> bad = {
        "fault?op=Login&kind=drop&count=0", "fault?op=Login&kind=drop&count=abc", "fault?op=Login&kind=delay&ms=abc",
        "fault?op=Login&kind=delay&ms=-5",  "fault?op=Login&kind=soap-fault&code=Maybe", "fault?op=Login&kind=drop&cout=1",
        "job-settings?queue-ms=abc",        "job-settings?client-timeout-ms=-1",  "job-settings?queue=5",
        "profile?blocking-timeout=abc",     "profile?version-comparison=1",      "counts?opp=Login",
    };
    for (const auto& query : bad)
        EXPECT_EQ(httpRequest(e.port(), "GET", "/qorvane-control/" + query + "&token=" + e.controlToken()).status, 400) << query;
    EXPECT_EQ(e.soap("/qorvane/locator", "<qor:Login><name>a</name><password>secret</password></qor:Login>").status, 200);
    EXPECT_NE(e.control("job-settings").find("queue-ms: 0\n"), std::string::npos);

    auto methods = [&] { return xmlValue(e.soap("/qorvane/xmldb", op("ListMethods", sidEl(sid))).body, "methods"); };
    e.setProfile("without-method=GetProtocolNames&with-method=GetProtocolNames");
    EXPECT_NE(methods().find("GetProtocolNames"), std::string::npos);
    e.setProfile("with-method=GetProtocolNames&without-method=GetProtocolNames");
    EXPECT_EQ(methods().find("GetProtocolNames"), std::string::npos);
    std::string described = e.control("profile?omit-config=SSLROOT&include-config=SSLROOT");
    EXPECT_NE(e.soap("/qorvane/locator", "<qor:GetConfigurationSettings/>").body.find("SSLROOT"), std::string::npos);
    // The answer names settings as they are given.
    EXPECT_NE(described.find("version-comparison: same\n"), std::string::npos) << described;
    EXPECT_NO_THROW(e.setProfile("version-comparison=same"));

    EXPECT_EQ(e.control("counts?op=NoSuchOperation"), "0\n");
    EXPECT_EQ(e.control("counts").find("NoSuchOperation"), std::string::npos);

    // A rule limited to one call is used by a call that the endpoint serves.
    e.addFault("op=GetJobStatus&kind=soap-fault&string=Injected&count=1");
    auto wrong = e.soap("/qorvane/xmldb", op("GetJobStatus", sidEl(sid) + el("jobID", "x")));
    EXPECT_NE(wrong.body.find("not offered at"), std::string::npos);
    auto right = e.soap("/qorvane/runner", op("GetJobStatus", sidEl(sid) + el("jobID", "x")));
    EXPECT_EQ(xmlValue(right.body, "faultstring"), "Injected");
}
