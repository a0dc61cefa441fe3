// Path names, directory listings, temporary files and safe file replacement.
// Each platform has its own cases: the POSIX ones below, the Windows ones at
// the end of the file.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
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

#ifndef _WIN32

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

#endif  // !_WIN32

#ifdef _WIN32

#include <windows.h>

#include "host/private_files.h"

namespace {

std::u16string u16(const std::wstring& s) { return std::u16string(s.begin(), s.end()); }
std::wstring wide(const std::u16string& s) { return std::wstring(s.begin(), s.end()); }
std::string utf8(const std::u16string& s) { return tarn::util::ConvertStringtoUTF8(s); }

// A fresh folder below the system's temporary folder, named with backslashes.
class WindowsFilesTest : public ::testing::Test {
protected:
    void SetUp() override {
        wchar_t temp[MAX_PATH + 1];
        ASSERT_GT(GetTempPathW(MAX_PATH + 1, temp), 0u);
        dir_ = std::wstring(temp) + L"pelox-files-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
               std::to_wstring(GetTickCount64());
        ASSERT_TRUE(CreateDirectoryW(dir_.c_str(), nullptr));
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(fs::path(dir_), ec);
    }
    std::u16string path(const std::wstring& name) const { return u16(dir_ + L"\\" + name); }
    void write(const std::wstring& name, const std::string& content) {
        std::ofstream(fs::path(dir_ + L"\\" + name), std::ios::binary) << content;
    }
    std::string read(const std::wstring& name) {
        std::ifstream in(fs::path(dir_ + L"\\" + name), std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }
    std::wstring dir_;
};

uint64_t fileIndex(HANDLE h) {
    BY_HANDLE_FILE_INFORMATION info{};
    EXPECT_TRUE(GetFileInformationByHandle(h, &info));
    return (uint64_t(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
}

}  // namespace

// The transfer code reads kinds 2 to 5 straight from this machine, so every
// Windows form must land in its kind; "\x" and "C:x" depend on the process's
// current drive and folder and count as relative.
TEST(WindowsFileName, KindsCanonicalFormsAndParts) {
    struct Case {
        std::u16string path;
        int kind;
        std::u16string canonical;  // empty: not checked
    };
    const Case cases[] = {
        {u"", kPathEmpty, u""},
        {u"a\\b.txt", kPathRelative, u""},
        {u"\\dir\\x", kPathRelative, u""},
        {u"C:x.txt", kPathRelative, u""},
        {u"C:\\dir\\..\\x.txt", kPathAbsolute, u"C:\\x.txt"},
        {u"c:/dir/./y//z/", kPathAbsolute, u"c:\\dir\\y\\z"},
        {u"C:\\..\\..", kPathAbsolute, u"C:\\"},
        {u"\\\\host\\share\\x\\..\\y.txt", kPathNetworkShare, u"\\\\host\\share\\y.txt"},
        {u"//host/share/", kPathNetworkShare, u"\\\\host\\share"},
        {u"\\\\?\\C:\\dir\\x", kPathDevice, u"\\\\?\\C:\\dir\\x"},
        {u"\\\\.\\pipe\\x", kPathDevice, u""},
        {u"//./pipe/x", kPathDevice, u""},
        {u"file:///C:/a%20b", kPathLocalFileUrl, u"file:///C:/a%20b"},
        {u"FILE://localhost/C:/x/./y", kPathLocalFileUrl, u"file://localhost/C:/x/y"},
        {u"file://server/share/x", kPathNetworkFileUrl, u"file://server/share/x"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(utf8(c.path));
        vcFileName name(c.path);
        EXPECT_EQ(name.GetKind(), c.kind);
        EXPECT_EQ(name.IsRelative(), c.kind <= kPathRelative);
        if (!c.canonical.empty()) {
            EXPECT_EQ(name.GetCanonicalName(), c.canonical);
        }
    }
    // Relative names are completed from the current folder.
    const std::u16string cwd = u16(fs::current_path().wstring());
    EXPECT_EQ(vcFileName(u"x/../y\\z\\").GetCanonicalName(), cwd + (cwd.back() == u'\\' ? u"" : u"\\") + u"y\\z");

    struct Parts {
        std::u16string path, name, dir;
    };
    const Parts parts[] = {
        {u"C:\\a\\b.txt", u"b.txt", u"C:\\a"},   {u"C:/a/b.txt", u"b.txt", u"C:/a"},
        {u"C:\\b.txt", u"b.txt", u"C:\\"},       {u"C:\\", u"", u"C:\\"},
        {u"C:b.txt", u"b.txt", u"C:"},           {u"\\\\host\\share\\b.txt", u"b.txt", u"\\\\host\\share"},
        {u"a/b\\c\\\\", u"c", u"a/b"},           {u"b.txt", u"b.txt", u""},
    };
    for (const auto& p : parts) {
        SCOPED_TRACE(utf8(p.path));
        vcFileName name(p.path);
        EXPECT_EQ(name.GetName(), p.name);
        EXPECT_EQ(name.GetPath(), p.dir);
    }
}

// Directory walks: names match without regard to case, by their long names
// only (an 8.3 short name such as "ATXTX~1.TXT" of "a.txtx" never matches
// "*.txt"), "." and ".." never appear, and either separator works.
TEST_F(WindowsFilesTest, DirectoryWalkMatchesLongNamesWithoutCase) {
    for (const wchar_t* f : {L"b.txt", L"A.TXT", L"a.txtx", L"noext", L"x.txt.bak"}) write(f, "x");
    ASSERT_TRUE(CreateDirectoryW((dir_ + L"\\sub.txt").c_str(), nullptr));

    struct Case {
        std::u16string pattern;
        std::set<std::u16string> expected;
    };
    const Case cases[] = {
        {path(L"*.txt"), {u"A.TXT", u"b.txt", u"sub.txt"}},
        {u16(dir_) + u"/?.TxT", {u"A.TXT", u"b.txt"}},
        {path(L""), {u"A.TXT", u"b.txt", u"a.txtx", u"noext", u"x.txt.bak", u"sub.txt"}},
        {path(L"*.doc"), {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(utf8(c.pattern));
        vcDirectoryIterator it(c.pattern);
        std::set<std::u16string> got;
        vcDirectoryItem item;
        while (it.GetNextItem(item)) {
            EXPECT_TRUE(got.insert(item.Name).second);
            EXPECT_EQ(item.IsDirectory, item.Name == u"sub.txt");
        }
        EXPECT_EQ(got, c.expected);
    }
    vcDirectoryItem item;
    EXPECT_FALSE(vcDirectoryIterator(path(L"missing\\*.txt")).GetNextItem(item));

    bool isDir = false;
    EXPECT_TRUE(PathExists(path(L"sub.txt"), &isDir));
    EXPECT_TRUE(isDir);
    EXPECT_TRUE(PathExists(u"file:///" + path(L"b.txt"), &isDir));
    EXPECT_FALSE(isDir);
    EXPECT_FALSE(PathExists(path(L"nope"), nullptr));
}

// Temporary names: fresh empty files, made with an exclusive create in a
// folder made on the way, joined with a backslash; in the user's temporary
// root too.
TEST_F(WindowsFilesTest, TempFileNamesAreFreshFilesInACreatedDirectory) {
    const std::u16string tempDir = path(L"user/job");
    std::set<std::u16string> seen;
    for (int i = 0; i < 20; ++i) {
        const std::u16string name = vcFile::GetTempFileNameW(tempDir, u"pre", u"tmp");
        ASSERT_TRUE(seen.insert(name).second);
        EXPECT_EQ(name.rfind(tempDir + u"\\pre", 0), 0u) << utf8(name);
        EXPECT_EQ(name.substr(name.size() - 4), u".tmp");
        EXPECT_TRUE(fs::is_regular_file(fs::path(wide(name))));
        EXPECT_EQ(fs::file_size(fs::path(wide(name))), 0u);
    }
    write(L"plain", "x");
    EXPECT_THROW(vcFile::GetTempFileNameW(path(L"plain\\sub"), u"", u".tmp"), tarn::Exception);

    const std::u16string root = tarn::util::ConvertUTF8toString(privateRootPath());
    const std::u16string privateDir = root + u"\\pelox-test-" + u16(std::to_wstring(GetCurrentProcessId()));
    const std::u16string name = vcFile::GetTempFileNameW(privateDir, u"", u".tmp");
    EXPECT_EQ(name.rfind(privateDir + u"\\", 0), 0u) << utf8(name);
    EXPECT_TRUE(PathExists(name, nullptr));
    std::error_code ec;
    fs::remove_all(fs::path(wide(privateDir)), ec);
}

// Copies write the target in place: a reader that shares the file keeps its
// handle on the very same file, a hidden target stays hidden (a replacing
// copy or CREATE_ALWAYS would fail or lose that), a target that another
// program holds without sharing writes is left alone, and no temporary file
// remains in the temporary root.
TEST_F(WindowsFilesTest, CopyWritesInPlaceOrLeavesTheTarget) {
    write(L"source.txt", std::string(300000, 'n'));
    write(L"target.txt", "old");
    const std::wstring target = dir_ + L"\\target.txt";
    EXPECT_FALSE(vcFile::CopyFileW(path(L"missing.txt"), path(L"target.txt")));
    EXPECT_FALSE(vcFile::CopyFileW(path(L"source.txt"), path(L"no\\such\\dir\\x")));
    EXPECT_EQ(read(L"target.txt"), "old");

    HANDLE reader = CreateFileW(target.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    const uint64_t before = fileIndex(reader);
    ASSERT_TRUE(SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_HIDDEN));
    EXPECT_TRUE(vcFile::CopyFileW(u"file:///" + path(L"source.txt"), path(L"target.txt")));
    EXPECT_EQ(read(L"target.txt"), std::string(300000, 'n'));
    EXPECT_TRUE(GetFileAttributesW(target.c_str()) & FILE_ATTRIBUTE_HIDDEN);
    HANDLE again = CreateFileW(target.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(again, INVALID_HANDLE_VALUE);
    EXPECT_EQ(fileIndex(again), before);
    CloseHandle(again);
    CloseHandle(reader);

    HANDLE locker = CreateFileW(target.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(locker, INVALID_HANDLE_VALUE);
    write(L"other.txt", "other");
    EXPECT_FALSE(vcFile::CopyFileW(path(L"other.txt"), path(L"target.txt")));
    CloseHandle(locker);
    EXPECT_EQ(read(L"target.txt"), std::string(300000, 'n'));

    {
        InPlaceFileWriter writer(path(L"fresh.txt"));
        writer.Write(reinterpret_cast<const unsigned char*>("new"), 3);
    }
    EXPECT_FALSE(PathExists(path(L"fresh.txt"), nullptr));
    vcDirectoryItem item;
    vcDirectoryIterator parts(tarn::util::ConvertUTF8toString(privateRootPath()) + u"\\.pelox-*.part");
    EXPECT_FALSE(parts.GetNextItem(item)) << utf8(item.Name);
}

// The log files: appended to in whole lines, never through a folder.
TEST_F(WindowsFilesTest, PrivateAppendAppendsAndRefusesFolders) {
    const std::string log = utf8(path(L"log.txt"));
    for (const char* line : {"one\n", "two\n"}) {
        std::string why;
        const NativeFile file = openPrivateAppend(log, why);
        ASSERT_TRUE(file) << why;
        EXPECT_TRUE(writeAll(file, line));
    }
    EXPECT_EQ(read(L"log.txt"), "one\ntwo\n");
    std::string why;
    EXPECT_FALSE(openPrivateAppend(utf8(u16(dir_)), why));
    EXPECT_FALSE(why.empty());
}

// A link or junction planted in the temporary root is refused, not followed.
TEST_F(WindowsFilesTest, PrivateFolderRefusesALink) {
    const std::wstring root = wide(tarn::util::ConvertUTF8toString(privateRootPath()));
    openPrivateDirectory(utf8(u16(root)));
    const std::wstring link = root + L"\\pelox-link-" + std::to_wstring(GetCurrentProcessId());
    // Wine answers success without making the link: only a link that is
    // there counts.
    const bool made = CreateSymbolicLinkW(link.c_str(), dir_.c_str(),
                                          SYMBOLIC_LINK_FLAG_DIRECTORY | 0x2 /* ..._ALLOW_UNPRIVILEGED_CREATE */);
    const DWORD attributes = GetFileAttributesW(link.c_str());
    if (!made || attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        GTEST_SKIP() << "this system made no folder link for this user (error " << GetLastError() << ")";
    EXPECT_THROW(openPrivateDirectory(utf8(u16(link)) + "\\job"), tarn::Exception);
    EXPECT_THROW(vcFile::GetTempFileNameW(u16(link), u"", u".tmp"), tarn::Exception);
    EXPECT_FALSE(PathExists(u16(dir_ + L"\\job"), nullptr));
    RemoveDirectoryW(link.c_str());
}

#endif  // _WIN32
