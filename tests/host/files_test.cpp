// Path names, directory listings, temporary files and safe file replacement.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "host/files.h"
#include "host/tarn_exception.h"
#include "host/tarn_util.h"

using namespace pelox::host;
namespace fs = std::filesystem;

namespace {

std::u16string u16(const std::string& s) { return tarn::util::ConvertUTF8toString(s); }

class FilesTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/pelox-files-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    void write(const std::string& path, const std::string& content) { std::ofstream(path, std::ios::binary) << content; }
    std::string read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }
    std::vector<std::string> names() {
        std::vector<std::string> out;
        for (auto& e : fs::directory_iterator(dir_)) out.push_back(e.path().filename().string());
        std::sort(out.begin(), out.end());
        return out;
    }
    std::string dir_;
};

}  // namespace

TEST(FileName, KindsCanonicalFormsAndParts) {
    struct Case {
        std::u16string path;
        int kind;
        std::u16string canonical;  // empty: not checked
    };
    const Case cases[] = {
        {u"", kPathEmpty, u""},
        {u"a/b.txt", kPathRelative, u""},
        {u"C:\\dir\\x.txt", kPathRelative, u""},  // a backslash is an ordinary character
        {u"\\\\host\\share", kPathRelative, u""},
        {u"file:notes", kPathRelative, u""},
        {u"//host/share/x/../y.txt", kPathNetworkShare, u"//host/share/y.txt"},
        {u"//host/../..", kPathNetworkShare, u"//host"},
        {u"file:///tmp/a%20b", kPathLocalFileUrl, u"file:///tmp/a%20b"},
        {u"FILE://localhost/x/./y", kPathLocalFileUrl, u"file://localhost/x/y"},
        {u"file://server/share/x", kPathNetworkFileUrl, u"file://server/share/x"},
        {u"/dev/shm/x", kPathDevice, u"/dev/shm/x"},
        {u"/dev/../etc/passwd", kPathAbsolute, u"/etc/passwd"},
        {u"///a//b/./c/", kPathAbsolute, u"/a/b/c"},  // three slashes: no share
        {u"/a/../../b", kPathAbsolute, u"/b"},
        {u"/", kPathAbsolute, u"/"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(tarn::util::ConvertStringtoUTF8(c.path));
        vcFileName name(c.path);
        EXPECT_EQ(name.GetKind(), c.kind);
        EXPECT_EQ(name.IsRelative(), c.kind <= kPathRelative);
        if (!c.canonical.empty()) {
            EXPECT_EQ(name.GetCanonicalName(), c.canonical);
        }
    }

    // Relative names are completed from the current directory, lexically.
    const std::u16string cwd = u16(fs::current_path().string());
    EXPECT_EQ(vcFileName(u"x/../y//z/").GetCanonicalName(), (cwd == u"/" ? u"" : cwd) + u"/y/z");

    struct Parts {
        std::u16string path, name, dir;
    };
    const Parts parts[] = {
        {u"/a/b/c.txt", u"c.txt", u"/a/b"},
        {u"/c.txt", u"c.txt", u"/"},
        {u"c.txt", u"c.txt", u""},
        {u"/a/b//", u"b", u"/a"},
    };
    for (const auto& p : parts) {
        vcFileName name;
        name.SetName(p.path);
        EXPECT_EQ(name.GetName(), p.name);
        EXPECT_EQ(name.GetPath(), p.dir);
    }
}

TEST_F(FilesTest, WildcardListingMatchesNamesOnlyInNameOrder) {
    for (const char* f : {"b.txt", "a.txt", "a.txtx", "B.TXT", ".hidden.txt", "c[1].txt", "noext", "x.txt.bak"})
        write(dir_ + "/" + f, "x");
    fs::create_directory(dir_ + "/sub.txt");

    struct Case {
        std::string pattern;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {"*.txt", {".hidden.txt", "a.txt", "b.txt", "c[1].txt", "sub.txt"}},
        {"?.txt", {"a.txt", "b.txt"}},
        {"c[1].*", {"c[1].txt"}},  // brackets are ordinary characters
        {"*.*", {".hidden.txt", "B.TXT", "a.txt", "a.txtx", "b.txt", "c[1].txt", "noext", "sub.txt", "x.txt.bak"}},
        {"noext", {"noext"}},
        {"*.doc", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pattern);
        vcDirectoryIterator it(u16(dir_ + "/" + c.pattern));
        std::vector<std::string> got;
        vcDirectoryItem item;
        while (it.GetNextItem(item)) {
            got.push_back(tarn::util::ConvertStringtoUTF8(item.Name));
            EXPECT_EQ(item.IsDirectory, got.back() == "sub.txt");
        }
        EXPECT_EQ(got, c.expected);
    }
    vcDirectoryItem item;
    EXPECT_FALSE(vcDirectoryIterator(u16(dir_ + "/missing/*.txt")).GetNextItem(item));

    bool isDir = false;
    EXPECT_TRUE(PathExists(u16(dir_ + "/sub.txt"), &isDir));
    EXPECT_TRUE(isDir);
    EXPECT_TRUE(PathExists(u16(dir_ + "/a.txt"), &isDir));
    EXPECT_FALSE(isDir);
    EXPECT_FALSE(PathExists(u16(dir_ + "/nope"), nullptr));

    // A name that is not UTF-8 (Latin-1 "café") is listed by a name that
    // opens the very file again.
    fs::create_directory(dir_ + "/latin1");
    write(dir_ + "/latin1/caf\xE9.txt", "Latin-1");
    vcDirectoryIterator latin1(u16(dir_ + "/latin1/*.txt"));
    ASSERT_TRUE(latin1.GetNextItem(item));
    vcFile file;
    ASSERT_TRUE(file.Open(u16(dir_ + "/latin1/") + item.Name, kFileRead)) << tarn::util::ConvertStringtoUTF8(item.Name);
    char buffer[16] = {};
    EXPECT_EQ(std::string(buffer, file.Read(buffer, sizeof buffer)), "Latin-1");
    EXPECT_TRUE(PathExists(u16(dir_ + "/latin1/") + item.Name, nullptr));
}

TEST_F(FilesTest, TempFileNamesAreFreshFilesInACreatedDirectory) {
    const std::u16string tempDir = u16(dir_ + "/user/job/");
    std::set<std::u16string> seen;
    for (int i = 0; i < 50; ++i) {
        const std::u16string name = vcFile::GetTempFileNameW(tempDir, u"pre", u"tmp");
        ASSERT_TRUE(seen.insert(name).second);
        const std::string path = tarn::util::ConvertStringtoUTF8(name);
        EXPECT_EQ(path.rfind(dir_ + "/user/job/pre", 0), 0u) << path;
        EXPECT_EQ(path.substr(path.size() - 4), ".tmp");
        EXPECT_TRUE(fs::is_regular_file(path));
        EXPECT_EQ(fs::file_size(path), 0u);
    }
    // A directory that cannot be made is an error, not a name.
    write(dir_ + "/plain", "x");
    EXPECT_THROW(vcFile::GetTempFileNameW(u16(dir_ + "/plain/sub"), u"", u".tmp"), tarn::Exception);
}

TEST_F(FilesTest, ReadErrorIsThrownNamingTheFileNotReportedAsEnd) {
    vcFile file;
    ASSERT_TRUE(file.Open(u"/proc/self/mem", kFileRead));  // reading address 0 fails with EIO
    char buffer[16];
    try {
        file.Read(buffer, sizeof buffer);
        FAIL() << "a failing read reported as end of file";
    } catch (const tarn::Exception& e) {
        EXPECT_NE(e.getErrorMessage(0).find(u"/proc/self/mem"), std::u16string::npos);
    }
    // A directory is not a file to read.
    EXPECT_FALSE(file.Open(u16(dir_), kFileRead));
    EXPECT_FALSE(vcFile::CanOpen(u16(dir_), kFileReadShared));
}

TEST_F(FilesTest, CopyReplacesWholeOrKeepsTheOldTarget) {
    const std::string target = dir_ + "/target.txt";
    write(target, "old");
    EXPECT_FALSE(vcFile::CopyFileW(u16(dir_ + "/missing.txt"), u16(target)));
    EXPECT_EQ(read(target), "old");

    // A FIFO would block a copy or feed it forever: refused at once.
    ASSERT_EQ(mkfifo((dir_ + "/fifo").c_str(), 0600), 0);
    EXPECT_FALSE(vcFile::CopyFileW(u16(dir_ + "/fifo"), u16(target)));
    EXPECT_FALSE(vcFile::CopyFileW(u16(target), u16(dir_ + "/no/such/dir/x")));
    EXPECT_EQ(read(target), "old");

    // Source named by a file URL (percent-encoded space).
    write(dir_ + "/new source.txt", std::string(300000, 'n'));
    EXPECT_TRUE(vcFile::CopyFileW(u"file://" + u16(dir_) + u"/new%20source.txt", u16(target)));
    EXPECT_EQ(read(target), std::string(300000, 'n'));
    EXPECT_EQ(names(), (std::vector<std::string>{"fifo", "new source.txt", "target.txt"}));  // no temporary left
}

TEST_F(FilesTest, InPlaceWriterTouchesTheTargetOnlyOnCommit) {
    const std::string target = dir_ + "/out.xml";
    write(target, "old");
    chmod(target.c_str(), 0640);
    {
        InPlaceFileWriter writer(u16(target));
        writer.Write(reinterpret_cast<const unsigned char*>("new"), 3);
    }
    EXPECT_EQ(read(target), "old");
    EXPECT_EQ(names(), std::vector<std::string>{"out.xml"});

    {
        InPlaceFileWriter writer(u16(target));
        writer.Write(reinterpret_cast<const unsigned char*>("new"), 3);
        writer.Commit();
        EXPECT_THROW(writer.Write(reinterpret_cast<const unsigned char*>("x"), 1), tarn::Exception);
    }
    EXPECT_EQ(read(target), "new");
    EXPECT_EQ(fs::status(target).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    EXPECT_EQ(names(), std::vector<std::string>{"out.xml"});

    EXPECT_THROW(InPlaceFileWriter(u16(dir_ + "/missing/out.xml")), tarn::Exception);
}
