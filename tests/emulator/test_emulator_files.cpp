// File operations of the file endpoint and the HTTP download and upload
// services, including attempts to leave the server root.
#include "emu_test.h"
#include "util.h"

#include <gtest/gtest.h>

#include <fstream>

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
