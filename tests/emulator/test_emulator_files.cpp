// File operations of the file endpoint and the HTTP download and upload
// services, including attempts to leave the server root.
#include "emu_test.h"
#include "util.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <thread>

using namespace emutest;
namespace fs = std::filesystem;

namespace {

class EmulatorFiles : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        emu_ = new Emulator();
        sid_ = emu_->login();
        root_ = fs::canonical(emu_->root());
    }
    static void TearDownTestSuite() {
        delete emu_;
        emu_ = nullptr;
    }
    static HttpResponse file(const std::string& name, const std::string& members) {
        return emu_->soap("/qorvane/file", op(name, sidEl(sid_) + members));
    }
    static HttpResponse http(const std::string& method, const std::string& target, const std::string& body = {},
                             std::vector<std::pair<std::string, std::string>> headers = {}) {
        return pelox::testsupport::httpRequest(emu_->port(), method, target, body, headers);
    }
    static Emulator* emu_;
    static std::string sid_;
    static fs::path root_;
};
Emulator* EmulatorFiles::emu_ = nullptr;
std::string EmulatorFiles::sid_;
fs::path EmulatorFiles::root_;

std::string b64(const std::string& s) { return emu::base64Encode(s); }

}  // namespace

TEST_F(EmulatorFiles, UploadAppendDownloadAndExistence) {
    ASSERT_EQ(file("UploadFile", el("destinationPath", "data/a.txt") + el("data", b64("first ")) + el("append", "false")).status, 200);
    ASSERT_EQ(file("UploadFileZipped", el("destinationPath", "data/a.txt") +
                                           el("zippedData", b64(emu::compress("second", false))) + el("append", "true")).status,
              200);
    ASSERT_EQ(file("UploadFileZipped", el("destinationPath", (root_ / "data/a.txt").string()) +
                                           el("zippedData", b64(emu::compress(" third", true))) + el("append", "true")).status,
              200);
    EXPECT_EQ(emu::readFile(root_ / "data/a.txt", 100), "first second third");
    // An upload without data creates an empty file.
    ASSERT_EQ(file("UploadFile", el("destinationPath", "data/empty.txt") + el("append", "false")).status, 200);
    EXPECT_EQ(fs::file_size(root_ / "data/empty.txt"), 0u);

    auto plain = file("DownloadFile", el("sourcePath", "data/a.txt"));
    EXPECT_EQ(emu::base64Decode(xmlValue(plain.body, "data")), "first second third");
    auto zipped = file("DownloadFileZipped", el("sourcePath", "data/a.txt"));
    auto z = emu::base64Decode(xmlValue(zipped.body, "zippedData"));
    ASSERT_TRUE(z);
    EXPECT_EQ(emu::decompress(*z, 100), "first second third");
    EXPECT_TRUE(isFault(file("DownloadFile", el("sourcePath", "data/missing.txt"))));

    EXPECT_EQ(xmlValue(file("DoesFileExist", el("folderPath", "data/a.txt")).body, "result"), "true");
    EXPECT_EQ(xmlValue(file("DoesFileExist", el("folderPath", "data")).body, "result"), "true");
    EXPECT_EQ(xmlValue(file("DoesFileExist", el("folderPath", "data/nope")).body, "result"), "false");
    EXPECT_TRUE(isFault(file("UploadFileZipped", el("destinationPath", "data/bad.txt") + el("zippedData", b64("not zipped")) +
                                                     el("append", "false"))));
    EXPECT_FALSE(fs::exists(root_ / "data/bad.txt"));
}

TEST_F(EmulatorFiles, OlderServersSendRawDeflate) {
    Emulator v6({"--profile", "v6"});
    std::string sid = v6.login();
    v6.soap("/qorvane/file", op("UploadFile", sidEl(sid) + el("destinationPath", "x.txt") + el("data", b64("abcabcabc")) +
                                                  el("append", "false")));
    auto r = v6.soap("/qorvane/file", op("DownloadFileZipped", sidEl(sid) + el("sourcePath", "x.txt")));
    auto z = emu::base64Decode(xmlValue(r.body, "zippedData"));
    ASSERT_TRUE(z && !z->empty());
    EXPECT_NE(static_cast<unsigned char>((*z)[0]), 0x78);
    EXPECT_EQ(emu::decompress(*z, 100), "abcabcabc");
}

TEST_F(EmulatorFiles, FolderContentsGiveSizesAsTextBeyond32Bits) {
    fs::create_directories(root_ / "listing/sub");
    std::ofstream(root_ / "listing/small.txt") << "12345";
    {
        // A sparse file of 5 GiB: its size does not fit in 32 bits.
        std::ofstream big(root_ / "listing/big.bin", std::ios::binary);
        big.seekp((5ll << 30) - 1);
        big.put('\0');
    }
    auto r = file("GetFolderContents", el("folderPath", (root_ / "listing").string()));
    ASSERT_EQ(r.status, 200) << r.body;
    EXPECT_NE(r.body.find("<name>big.bin</name><isFolder>false</isFolder><size>5368709120</size><lastModified>"),
              std::string::npos);
    EXPECT_NE(r.body.find("<name>small.txt</name><isFolder>false</isFolder><size>5</size>"), std::string::npos);
    EXPECT_NE(r.body.find("<name>sub</name><isFolder>true</isFolder>"), std::string::npos);
    auto stamp = xmlValue(r.body.substr(r.body.find("small.txt")), "lastModified");
    EXPECT_EQ(stamp.size(), 20u);  // 2026-12-08T17:53:08Z
    EXPECT_EQ(stamp.back(), 'Z');
    EXPECT_TRUE(isFault(file("GetFolderContents", el("folderPath", "listing/small.txt"))));
}

TEST_F(EmulatorFiles, NoRequestReachesOutsideTheRoot) {
    auto outside = root_.parent_path() / "outside-secret.txt";
    std::ofstream(outside) << "secret";
    fs::create_directory_symlink(root_.parent_path(), root_ / "link-out");
    const std::vector<std::string> escapes = {"../outside-secret.txt", outside.string(), "link-out/outside-secret.txt",
                                              "data/../../outside-secret.txt", "..\\outside-secret.txt", "/etc/passwd"};
    for (const auto& p : escapes) {
        EXPECT_TRUE(isFault(file("DownloadFile", el("sourcePath", p)))) << p;
        EXPECT_TRUE(isFault(file("DoesFileExist", el("folderPath", p)))) << p;
        EXPECT_TRUE(isFault(file("UploadFile", el("destinationPath", p) + el("data", b64("x")) + el("append", "true")))) << p;
        EXPECT_EQ(http("GET", "/qorvane/download?filename=" + emu::urlEncode(p) + "&SID=" + emu::urlEncode(sid_)).status, 403) << p;
        EXPECT_EQ(http("POST", "/qorvane/upload?filename=" + emu::urlEncode(p) + "&SID=" + emu::urlEncode(sid_), "x").status, 403) << p;
    }
    EXPECT_TRUE(isFault(file("GetFolderContents", el("folderPath", ".."))));
    EXPECT_EQ(emu::readFile(outside, 100), "secret");
    fs::remove(outside);
}

TEST_F(EmulatorFiles, DownloadServiceSendsBytesAndGzipOnlyWhenAllowed) {
    std::string data(50000, 'q');
    std::ofstream(root_ / "dl.txt", std::ios::binary) << data;
    std::string target = "/qorvane/download?filename=" + emu::urlEncode((root_ / "dl.txt").string()) + "&SID=" + emu::urlEncode(sid_);
    auto plain = http("GET", target + "&compress=1");
    ASSERT_EQ(plain.status, 200);
    EXPECT_EQ(plain.body, data);
    EXPECT_FALSE(plain.headers.count("content-encoding"));
    auto gz = http("GET", target + "&compress=1", {}, {{"Accept-Encoding", "gzip, deflate"}});
    ASSERT_EQ(gz.status, 200);
    EXPECT_EQ(gz.headers["content-encoding"], "gzip");
    EXPECT_LT(gz.body.size(), data.size());
    auto noCompress = http("GET", target, {}, {{"Accept-Encoding", "gzip"}});
    EXPECT_EQ(noCompress.body, data);
    emu_->addFault("op=download&kind=truncated&count=1");
    EXPECT_EQ(http("GET", target).status, 0);  // half the announced bytes, then the connection closes
    emu_->addFault("op=download&kind=http-500&count=1");
    EXPECT_EQ(http("GET", target).status, 500);
    EXPECT_EQ(http("GET", target).body, data);
    EXPECT_EQ(http("GET", "/qorvane/download?filename=nope.txt&SID=" + emu::urlEncode(sid_)).status, 404);
    EXPECT_EQ(http("GET", "/qorvane/download?filename=dl.txt&SID=Sunknown").status, 403);
}

TEST_F(EmulatorFiles, UploadServiceTakesPlainOrCompressedBodiesAndJobPaths) {
    auto base = "/qorvane/upload?SID=" + emu::urlEncode(sid_) + "&filename=";
    auto r = http("POST", base + "up/new.bin", "raw bytes\n", {{"Content-Type", "application/octet-stream"}});
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "OK");
    EXPECT_EQ(emu::readFile(root_ / "up/new.bin", 100), "raw bytes\n");
    r = http("POST", base + "up/old.bin&compress=1", emu::compress("old protocol", false));
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(emu::readFile(root_ / "up/old.bin", 100), "old protocol");
    EXPECT_EQ(http("POST", base + "up/bad.bin&compress=1", "not compressed").status, 400);

    std::string job = xmlValue(emu_->soap("/qorvane/runner", op("CreateJob", sidEl(sid_))).body, "jobID");
    r = http("POST", base + "input.txt&jobID=" + job, "job input");
    EXPECT_EQ(r.status, 200) << r.body;
    EXPECT_EQ(emu::readFile(root_ / "jobs" / "tester" / job / "input.txt", 100), "job input");
    EXPECT_EQ(http("POST", base + "input.txt&jobID=Jnope", "x").status, 404);
    EXPECT_EQ(http("GET", base + "x.txt").status, 405);

    Emulator off({"--upload-url", "off", "--download-url", "off"});
    std::string sid = off.login();
    EXPECT_EQ(pelox::testsupport::httpRequest(off.port(), "POST", "/qorvane/upload?filename=a&SID=" + emu::urlEncode(sid), "x").status, 404);
}

// Links inside the root that lead out, whether their targets exist or not:
// no operation writes, reads, lists, moves or deletes through them.
TEST_F(EmulatorFiles, LinksLeadingOutOfTheRootAreNeverFollowed) {
    auto outside = root_.parent_path() / ("outside-" + emu::randomHex(6));
    fs::create_directories(outside);
    std::ofstream(outside / "keep.txt") << "keep";
    fs::create_directories(root_ / "links");
    fs::create_symlink(outside / "abs.txt", root_ / "links/abs.txt");  // dangling, absolute
    fs::create_symlink("../../" + outside.filename().string() + "/rel.txt", root_ / "links/rel.txt");  // dangling, relative
    fs::create_symlink(outside / "keep.txt", root_ / "links/keep.txt");
    fs::create_directory_symlink(outside, root_ / "links/dir");
    for (const std::string p : {"links/abs.txt", "links/rel.txt", "links/keep.txt", "links/dir/new.txt"}) {
        SCOPED_TRACE(p);
        EXPECT_TRUE(isFault(file("UploadFile", el("destinationPath", p) + el("data", b64("x")) + el("append", "false"))));
        EXPECT_TRUE(isFault(file("UploadFileZipped", el("destinationPath", p) + el("zippedData", b64(emu::compress("x", true))) +
                                                         el("append", "true"))));
        EXPECT_EQ(http("POST", "/qorvane/upload?filename=" + emu::urlEncode(p) + "&SID=" + emu::urlEncode(sid_), "x").status, 403);
        EXPECT_TRUE(isFault(file("DownloadFile", el("sourcePath", p))));
    }
    // The listing shows nothing of the outside (no size, time or folder flag).
    auto listing = file("GetFolderContents", el("folderPath", "links"));
    ASSERT_EQ(listing.status, 200) << listing.body;
    EXPECT_EQ(listing.body.find("<name>"), std::string::npos) << listing.body;

    // The catalogue: a folder link and a component link that lead out.
    fs::create_directory_symlink(outside, root_ / "catalogue/Escape");
    fs::create_symlink(outside / "keep.txt", root_ / "catalogue/Linked.xml");
    auto xmldb = [&](const std::string& name, const std::string& members) {
        return emu_->soap("/qorvane/xmldb", op(name, sidEl(sid_) + members));
    };
    std::string component = "<component name=\"Out\"><script/></component>";
    EXPECT_TRUE(isFault(xmldb("RegisterComponentZipped", el("folder", "Escape") + el("componentXML", b64(emu::compress(component, true))))));
    EXPECT_TRUE(isFault(xmldb("MoveComponent", el("oldComponentLocation", "Examples/Shapes") + el("newComponentLocation", "Escape/Shapes"))));
    EXPECT_TRUE(isFault(xmldb("GetComponentInfo2", el("componentName", "Linked") + el("flags", "0"))));
    xmldb("UnRegisterComponent", el("fullComponentPath", "Linked"));

    // The writeFile step of a job whose directory holds such a link.
    auto runner = [&](const std::string& name, const std::string& members) {
        return emu_->soap("/qorvane/runner", op(name, sidEl(sid_) + members));
    };
    std::string job = xmlValue(runner("CreateJob", "").body, "jobID");
    fs::create_symlink(outside / "report.txt", root_ / "jobs/tester" / job / "report.txt");
    ASSERT_EQ(runner("LaunchJob", el("jobIDHint", job) + el("protocolName", "Examples/Add Numbers")).status, 200);
    std::string state;
    for (int i = 0; i < 500 && state != "5" && state != "0"; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        state = xmlValue(runner("GetJobStatus", el("jobID", job)).body, "status");
    }
    EXPECT_EQ(state, "5");

    EXPECT_EQ(std::distance(fs::directory_iterator(outside), fs::directory_iterator()), 1);
    EXPECT_EQ(emu::readFile(outside / "keep.txt", 100), "keep");
    fs::remove_all(outside);
}

TEST_F(EmulatorFiles, RefusalsOfTheServicesAndTheSoapPaths) {
    fs::create_directories(root_ / "afolder");
    const std::string sid = "&SID=" + emu::urlEncode(sid_);
    EXPECT_EQ(http("POST", "/qorvane/upload?filename=afolder" + sid, "x").status, 409);
    EXPECT_EQ(http("GET", "/qorvane/download?filename=afolder" + sid).status, 404);
    EXPECT_EQ(http("GET", "/qorvane/download?x=1" + sid).status, 400);
    EXPECT_EQ(http("POST", "/qorvane/upload?x=1" + sid, "x").status, 400);
    // A NUL character reference would cut the path short: the call is refused.
    auto r = file("UploadFile", el("destinationPath", "cut&#0;../../x.txt") + el("data", b64("x")) + el("append", "false"));
    EXPECT_EQ(xmlValue(r.body, "faultcode"), "SOAP-ENV:Client");
    EXPECT_NE(xmlValue(r.body, "faultstring").find("NUL"), std::string::npos);
    EXPECT_FALSE(fs::exists(root_ / "cut"));
    EXPECT_TRUE(isFault(file("UploadFile", el("destinationPath", "cut&#x00;") + el("data", b64("x")) + el("append", "false"))));
    EXPECT_FALSE(fs::exists(root_ / "cut"));
}

TEST_F(EmulatorFiles, GzipFollowsTheQualityValuesOfAcceptEncoding) {
    std::ofstream(root_ / "gz.txt", std::ios::binary) << std::string(4000, 'g');
    std::string target = "/qorvane/download?filename=gz.txt&compress=1&SID=" + emu::urlEncode(sid_);
    const std::vector<std::pair<std::string, bool>> cases = {
        {"gzip", true},          {"gzip;q=0", false},         {"gzip;q=0.0", false}, {"gzip; q=0.000", false},
        {"gzip;q=0.5", true},    {"*", true},                 {"*;q=0", false},      {"gzip;q=0, *", false},
        {"identity, GZIP;Q=1", true}, {"deflate", false},     {"gzip;q=abc", false}};
    for (const auto& [header, gzipped] : cases) {
        auto r = http("GET", target, {}, {{"Accept-Encoding", header}});
        ASSERT_EQ(r.status, 200) << header;
        EXPECT_EQ(r.headers.count("content-encoding") == 1, gzipped) << header;
    }
}

TEST(EmulatorMemory, UploadsAreStreamedNotHeldInMemory) {
    Emulator e;
    std::string sid = e.login();
    auto peak = [&] {
        auto stats = e.control("stats");
        auto at = stats.find("peak-rss-kb: ");
        return std::stol(stats.substr(at + 13));
    };
    long before = peak();
    std::string data(48 << 20, 'm');
    for (size_t i = 0; i < data.size(); i += 4096) data[i] = char(i / 4096);
    auto r = pelox::testsupport::httpRequest(e.port(), "POST", "/qorvane/upload?filename=big.bin&SID=" + emu::urlEncode(sid), data);
    ASSERT_EQ(r.status, 200) << r.body;
    EXPECT_EQ(fs::file_size(e.root() / "big.bin"), data.size());
    EXPECT_LT(peak() - before, 16 * 1024) << "KiB more at the peak for a 48 MiB upload";
    auto down = pelox::testsupport::httpRequest(e.port(), "GET", "/qorvane/download?filename=big.bin&SID=" + emu::urlEncode(sid));
    EXPECT_TRUE(down.body == data);
    EXPECT_LT(peak() - before, 16 * 1024) << "KiB more at the peak for a 48 MiB download";
}
