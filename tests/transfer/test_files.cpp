// File transfer end to end against the emulator: byte-exact round trips over
// every road (local copy, HTTP services old and new, zipped chunks in both
// compressed forms), downloads that fail without harming the local file,
// the argument checks and the existence test, and the in-place writing that
// downloads, component exports and client-step copies share.
#include <gtest/gtest.h>
#ifdef _WIN32
#include <winsock2.h>
#include <iphlpapi.h>
#include <windows.h>
#else
#include <sys/stat.h>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "catalogue/e2e_helpers.h"
#include "registry/access.h"
#include "host/files.h"
#include "transfer/file_data.h"
#include "transfer/runner_data.h"
#include "support/test_platform.h"

using namespace pelox::e2e;
using pelox::testsupport::Emulator;
namespace fs = std::filesystem;

namespace {

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void spit(const fs::path& p, const std::string& data) { std::ofstream(p, std::ios::binary) << data; }

std::u16string u16(const fs::path& p) { return pelox::e2e::u16(p.string()); }

std::vector<std::string> entries(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Log lines that contain every one of the needles.
unsigned long linesWith(const std::string& log, std::initializer_list<const char*> needles) {
    unsigned long n = 0;
    std::istringstream in(log);
    for (std::string line; std::getline(in, line);) {
        bool all = true;
        for (const char* needle : needles) all = all && line.find(needle) != std::string::npos;
        n += all;
    }
    return n;
}

// The process's tasks (threads).
size_t taskCount() { return pelox::testsupport::threadCount(); }

// Watches the process's task count on a thread of its own while it lives and
// keeps the highest count seen (the watcher itself included).
struct TaskWatch {
    TaskWatch() {
        watcher = std::thread([this] {
            while (!stop.load()) highest.store(std::max(highest.load(), taskCount()));
        });
        while (highest.load() == 0) std::this_thread::yield();
        baseline = taskCount();
    }
    ~TaskWatch() {
        stop = true;
        watcher.join();
    }
    std::atomic<bool> stop{false};
    std::atomic<size_t> highest{0};
    size_t baseline = 0;
    std::thread watcher;
};

// Whether this machine has a network interface with a hardware address: the
// emulator reports itself local only then.
bool machineHasHardwareAddress() {
#ifdef _WIN32
    ULONG size = 0;
    if (GetAdaptersAddresses(AF_UNSPEC, 0, nullptr, nullptr, &size) != ERROR_BUFFER_OVERFLOW) return false;
    std::vector<unsigned char> buffer(size);
    auto* first = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data());
    if (GetAdaptersAddresses(AF_UNSPEC, 0, nullptr, first, &size) != NO_ERROR) return false;
    for (auto* a = first; a; a = a->Next)
        for (ULONG i = 0; i < a->PhysicalAddressLength; ++i)
            if (a->PhysicalAddress[i] != 0) return true;
    return false;
#else
    std::error_code ec;
    for (const auto& e : fs::directory_iterator("/sys/class/net", ec)) {
        std::string address;
        std::ifstream(e.path() / "address") >> address;
        if (!address.empty() && address != "00:00:00:00:00:00") return true;
    }
    return false;
#endif
}

// A fresh local directory for a test, removed afterwards.
struct LocalDir {
    LocalDir() {
        std::random_device rd;
        path = fs::temp_directory_path() / ("pelox-transfer-" + std::to_string(rd()) + std::to_string(rd()));
        fs::create_directories(path);
    }
    ~LocalDir() {
        std::error_code ec;
#ifdef _WIN32
        // Windows deletes no read-only file.
        for (fs::recursive_directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec))
            fs::permissions(it->path(), fs::perms::owner_write, fs::perm_options::add, ec);
#endif
        fs::remove_all(path, ec);
    }
    fs::path path;
};

// A file that opens but cannot be read. Linux: /proc/self/mem, whose first
// read (at address 0) fails with EIO. Windows: a file of dir that another
// handle of this process holds under an exclusive lock, so that reading
// fails with ERROR_LOCK_VIOLATION; Wine does not enforce such locks on
// reads, so there it is the Linux /proc/self/mem through Wine's drive Z:.
struct UnreadableFile {
#ifdef _WIN32
    explicit UnreadableFile(const fs::path& dir) {
        if (pelox::testsupport::underWine()) {
            path = L"Z:\\proc\\self\\mem";
            ready = true;
            return;
        }
        path = dir / "locked.bin";
        spit(path, std::string(1000, 'x'));
        handle = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, 0, nullptr);
        OVERLAPPED whole{};
        ready = handle != INVALID_HANDLE_VALUE &&
                LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD, &whole);
    }
    ~UnreadableFile() {
        if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);  // releases the lock
    }
    fs::path path;
    HANDLE handle = INVALID_HANDLE_VALUE;
    bool ready = false;
#else
    explicit UnreadableFile(const fs::path&) : path("/proc/self/mem") {}
    fs::path path;
    bool ready = true;
#endif
};

enum class Road { Local, HttpRaw, HttpCompressed, Zipped };

struct RoadCase {
    const char* name;
    const char* profile;
    Road road;
};

// Zipped operations do not depend on the upload protocol, so version 8 adds
// nothing there to version 7.
const RoadCase kRoads[] = {
    {"local", "hw-address=local&upload-url=on&download-url=on&server-version=8", Road::Local},
    {"http-v8", "hw-address=foreign&upload-url=on&download-url=on&server-version=8", Road::HttpRaw},
    {"http-v7", "hw-address=foreign&upload-url=on&download-url=on&server-version=7", Road::HttpCompressed},
    {"http-v6", "hw-address=foreign&upload-url=on&download-url=on&server-version=6", Road::HttpCompressed},
    {"zipped-v7", "hw-address=foreign&upload-url=off&download-url=off&server-version=7", Road::Zipped},
    {"zipped-v6", "hw-address=foreign&upload-url=off&download-url=off&server-version=6", Road::Zipped},
};

// Around the 100 KiB chunk of zipped uploads, and one large file.
const size_t kSizes[] = {0, 1, 102399, 102400, 102401, 10u << 20};

}  // namespace

TEST(FileTransfer, RoundTripsAreByteExactOnEveryRoad) {
    Emulator emu;
    LocalDir local;
    std::mt19937 random(20240607);
    std::vector<std::string> data;
    for (size_t size : kSizes) {
        std::string bytes(size, '\0');
        for (size_t at = 0; at < size; at += 4) {
            const uint32_t word = static_cast<uint32_t>(random());
            std::memcpy(bytes.data() + at, &word, std::min<size_t>(4, size - at));
        }
        spit(local.path / ("source-" + std::to_string(size)), bytes);
        data.push_back(std::move(bytes));
    }

    for (const RoadCase& road : kRoads) {
        SCOPED_TRACE(road.name);
        if (road.road == Road::Local && !machineHasHardwareAddress()) continue;
        emu.setProfile(road.profile);
        const std::u16string id = login(emu);
        ASSERT_FALSE(id.empty());
        emu.resetCounts();
        emu.control("log?clear=1");
        unsigned long chunks = 0;
        // The library starts no threads: the zipped upload compresses its
        // chunks on the calling thread.
        std::optional<TaskWatch> tasks;
        if (road.road == Road::Zipped) tasks.emplace();
        for (size_t i = 0; i < std::size(kSizes); ++i) {
            SCOPED_TRACE(kSizes[i]);
            const std::string name = std::string(road.name) + "-" + std::to_string(kSizes[i]) + ".bin";
            const fs::path source = local.path / ("source-" + std::to_string(kSizes[i]));
            int32_t rc = pelox_uploadFile(id.c_str(), u16(source).c_str(), u16(name).c_str());
            ASSERT_EQ(rc, 0) << errorText(rc);
            EXPECT_TRUE(slurp(emu.root() / name) == data[i]) << "server copy differs";

            const fs::path target = local.path / ("back-" + name);
            rc = pelox_downloadFile(id.c_str(), u16(name).c_str(), u16(target).c_str());
            ASSERT_EQ(rc, 0) << errorText(rc);
            EXPECT_TRUE(slurp(target) == data[i]) << "downloaded copy differs";
            chunks += (kSizes[i] + pelox::FileData::kChunkSize - 1) / pelox::FileData::kChunkSize;

            if (kSizes[i] == 102401) {
                // The in-memory download (client steps) takes the same road.
                pelox::SessionInfo session;
                ASSERT_TRUE(pelox::registry::copySession(id, session));
                pelox::host::Bytes bytes;
                pelox::FileData(session, id).DownloadFile(u16(name), bytes, nullptr);
                EXPECT_TRUE(std::string(bytes.begin(), bytes.end()) == data[i]);
            }
        }
        if (tasks) {
            EXPECT_EQ(tasks->highest.load(), tasks->baseline) << "a thread was started";
        }
        tasks.reset();
        const unsigned long n = std::size(kSizes);
        const std::string log = emu.log();
        const bool http = road.road == Road::HttpRaw || road.road == Road::HttpCompressed;
        EXPECT_EQ(emu.count("upload"), http ? n : 0);
        EXPECT_EQ(emu.count("download"), http ? n + 1 : 0);
        EXPECT_EQ(linesWith(log, {" upload ", "compress=1"}), road.road == Road::HttpCompressed ? n : 0);
        EXPECT_EQ(linesWith(log, {" download ", "compress=1 gzip"}), http ? n + 1 : 0);
        EXPECT_EQ(emu.count("UploadFileZipped"), road.road == Road::Zipped ? chunks : 0);
        EXPECT_EQ(emu.count("UploadFile"), road.road == Road::Zipped ? 1u : 0u);  // the empty file
        EXPECT_EQ(emu.count("DownloadFileZipped"), road.road == Road::Zipped ? n + 1 : 0);
    }
}

TEST(FileTransfer, FailedDownloadsLeaveTheLocalFileAlone) {
    struct Case {
        const char* name;
        const char* profile;
        const char* fault;  // added for each of the two downloads
        const char* serverFile;
        const char* message;
    };
    const Case cases[] = {
        {"http missing", "hw-address=foreign&download-url=on", "", "missing.bin", "HTTP status 404"},
        {"http 500", "hw-address=foreign&download-url=on", "op=download&kind=http-500", "present.bin",
         "HTTP status 500"},
        {"http truncated", "hw-address=foreign&download-url=on", "op=download&kind=truncated", "present.bin",
         "/qorvane/download?filename=present.bin&SID=***&compress=1"},
        {"local missing, then http", "hw-address=local&download-url=on", "", "missing.bin", "HTTP status 404"},
        {"zipped missing", "hw-address=foreign&download-url=off", "", "missing.bin",
         "soap call to DownloadFile() failed"},
        {"zipped 500", "hw-address=foreign&download-url=off", "op=DownloadFileZipped&kind=http-500", "present.bin",
         "soap call to DownloadFile() failed"},
        {"zipped truncated", "hw-address=foreign&download-url=off", "op=DownloadFileZipped&kind=truncated",
         "present.bin", "soap call to DownloadFile() failed"},
    };
    Emulator emu;
    std::string present(300000, 'p');
    spit(emu.root() / "present.bin", present);
    const std::string precious = "precious local content\n";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LocalDir local;
        emu.setProfile(c.profile);
        const std::u16string id = login(emu);
        for (bool existing : {true, false}) {
            const fs::path target = local.path / "target.bin";
            if (existing) spit(target, precious);
            if (*c.fault) emu.addFault(std::string(c.fault) + "&count=1");
            const int32_t rc = pelox_downloadFile(id.c_str(), pelox::e2e::u16(c.serverFile).c_str(), u16(target).c_str());
            ASSERT_GT(rc, 0);
            const std::string text = errorText(rc);
            EXPECT_NE(text.find(c.message), std::string::npos) << text;
            EXPECT_NE(text.find("FileData::DownloadFile"), std::string::npos) << text;
            EXPECT_EQ(text.find(ascii(id)), std::string::npos) << "session ID in " << text;
            if (existing) {
                EXPECT_EQ(slurp(target), precious);
                EXPECT_EQ(entries(local.path), std::vector<std::string>{"target.bin"});
            } else {
                EXPECT_TRUE(entries(local.path).empty());
            }
            fs::remove(target);
        }
        emu.clearFaults();
    }
}

TEST(FileTransfer, ArgumentChecksAndExistence) {
    Emulator emu({"--hw-address", "foreign"});
    LocalDir local;
    const std::u16string id = login(emu);
    const std::u16string file = u16(local.path / "a.txt");
    spit(local.path / "a.txt", "abc");

    EXPECT_EQ(pelox_uploadFile(id.c_str(), u"a.txt", u"a.txt"), PELOX_E_RELATIVE_PATH);
    EXPECT_EQ(pelox_uploadJobFile(id.c_str(), u"", u"a.txt", nullptr), PELOX_E_RELATIVE_PATH);
    EXPECT_EQ(pelox_downloadFile(id.c_str(), u"a.txt", u"out/a.txt"), PELOX_E_RELATIVE_PATH);
    EXPECT_EQ(pelox_uploadFile(id.c_str(), file.c_str(), nullptr), PELOX_E_NULL_ARGUMENT);
    EXPECT_EQ(pelox_downloadFile(nullptr, u"a.txt", file.c_str()), PELOX_E_NULL_ARGUMENT);
    EXPECT_EQ(pelox_uploadFile(u"Snope", file.c_str(), u"a.txt"), PELOX_E_NO_SESSION);
    EXPECT_EQ(pelox_downloadFile(u"Snope", u"a.txt", file.c_str()), PELOX_E_NO_SESSION);
    EXPECT_EQ(pelox_uploadJobFile(id.c_str(), file.c_str(), u"a.txt", u"Jnope"), PELOX_E_NO_JOB);
    EXPECT_EQ(pelox_checkFileAccess(id.c_str(), u"a.txt", nullptr), PELOX_E_NULL_ARGUMENT);
    EXPECT_EQ(emu.count("upload") + emu.count("download") + emu.count("DoesFileExist"), 0u);

    // An empty job identifier is no job.
    ASSERT_EQ(pelox_uploadJobFile(id.c_str(), file.c_str(), u"a.txt", u""), 0);
    pelox_bool exists = 7;
    ASSERT_EQ(pelox_checkFileAccess(id.c_str(), u"a.txt", &exists), 0);
    EXPECT_EQ(exists, 1);
    ASSERT_EQ(pelox_checkFileAccess(id.c_str(), u"b.txt", &exists), 0);
    EXPECT_EQ(exists, 0);
    exists = 7;
    EXPECT_EQ(pelox_checkFileAccess(u"Snope", u"a.txt", &exists), PELOX_E_NO_SESSION);
    EXPECT_EQ(exists, 0);

    // A local file that cannot be made is an error naming it, before anything is fetched.
    emu.resetCounts();
    const fs::path unwritable = local.path / "no-such-dir" / "a.txt";
    int32_t rc = pelox_downloadFile(id.c_str(), u"a.txt", u16(unwritable).c_str());
    ASSERT_GT(rc, 0);
    std::string text = errorText(rc);
    EXPECT_NE(text.find(unwritable.string()), std::string::npos) << text;
    EXPECT_EQ(emu.count("download"), 0u);

    // A read error is an error naming the file, never the end of an upload.
    const UnreadableFile unreadable(local.path);
    ASSERT_TRUE(unreadable.ready);
    for (const char* profile : {"upload-url=on&server-version=8", "upload-url=on&server-version=7",
                                "upload-url=off&server-version=8"}) {
        SCOPED_TRACE(profile);
        emu.setProfile(profile);
        const std::u16string sid = login(emu);
        rc = pelox_uploadFile(sid.c_str(), u16(unreadable.path).c_str(), u"mem.bin");
        ASSERT_GT(rc, 0);
        text = errorText(rc);
        EXPECT_NE(text.find(unreadable.path.string()), std::string::npos) << text;
        EXPECT_FALSE(fs::exists(emu.root() / "mem.bin"));
        fs::remove(emu.root() / "mem.bin");
    }
}

TEST(FileTransfer, JobFilesLandInTheJobDirectoryOnEveryRoad) {
    Emulator emu;
    LocalDir local;
    spit(local.path / "in.txt", "job input\n");
    const std::u16string source = u16(local.path / "in.txt");
    struct Case {
        const char* profile;
        const char* op;  // the operation that must carry the file; empty for the local copy
    };
    const Case cases[] = {
        {"hw-address=local&upload-url=on", ""},
        {"hw-address=foreign&upload-url=on", "upload"},
        {"hw-address=foreign&upload-url=off", "UploadFileZipped"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.profile);
        if (!*c.op && !machineHasHardwareAddress()) continue;
        emu.setProfile(c.profile);
        const std::u16string id = login(emu);
        const std::string job = pelox::testsupport::xmlValue(
            emu.soap("/qorvane/runner", "<qor:CreateJob><sessionID>" + ascii(id) + "</sessionID></qor:CreateJob>")
                .body,
            "jobID");
        ASSERT_FALSE(job.empty());
        {
            pelox::HeldJob record;  // the library knows the job
            ASSERT_TRUE(pelox::registry::insertJob(pelox::e2e::u16(job), record));
        }
        emu.resetCounts();
        const int32_t rc =
            pelox_uploadJobFile(id.c_str(), source.c_str(), u"in.txt", pelox::e2e::u16(job).c_str());
        ASSERT_EQ(rc, 0) << errorText(rc);
        EXPECT_EQ(slurp(emu.root() / "jobs" / "tester" / job / "in.txt"), "job input\n");
        EXPECT_FALSE(fs::exists(emu.root() / "in.txt"));
        EXPECT_EQ(emu.count("upload") + emu.count("UploadFileZipped"), *c.op ? 1u : 0u);
        if (*c.op) {
            EXPECT_EQ(emu.count(c.op), 1u);
        }
    }
}

TEST(FileTransfer, JobDataRoundTrip) {
    Emulator emu;
    const std::u16string id = login(emu);
    const std::string job = pelox::testsupport::xmlValue(
        emu.soap("/qorvane/runner", "<qor:CreateJob><sessionID>" + ascii(id) + "</sessionID></qor:CreateJob>").body,
        "jobID");
    ASSERT_FALSE(job.empty());
    const std::u16string jobId = pelox::e2e::u16(job);
    pelox::RunnerData runner(jobId, id, emu.baseUrl() + "/qorvane/runner");
    const pelox::host::Bytes note = {'<', 'x', '/', '>', 0, 0xff};
    runner.PutJobData(jobId, u"Note", note);
    pelox::host::Bytes back;
    runner.GetJobData(jobId, u"Note", back);
    EXPECT_EQ(back, note);
    try {
        runner.GetJobData(jobId, u"Missing", back);
        ADD_FAILURE() << "no exception";
    } catch (const tarn::Exception& e) {
        const std::u16string all = e.joined(u" | ");
        EXPECT_NE(all.find(u"soap call to GetJobData() failed | RunnerData::GetJobData"), std::u16string::npos)
            << ascii(all);
    }
}

// Every road that writes a local file (a download, a component export, a
// client step's copy) writes it the same way: the complete data in place, so
// the target keeps its identity on success and is untouched on failure.
// Run as an ordinary user (as root the test drops to one in a child process):
// to root every file is writable.
TEST(FileTransfer, LocalFilesAreWrittenInPlaceOnEveryRoad) {
    Emulator emu({"--hw-address", "foreign"});
    LocalDir local;
#ifdef _WIN32
    const bool asRoot = false;  // no files of another user
#else
    const bool asRoot = ::geteuid() == 0;
    constexpr uid_t kUser = 61803, kOther = 61804;
#endif
    spit(emu.root() / "data.bin", std::string(300000, 'd'));
    spit(local.path / "source.bin", std::string(200000, 's'));
    const std::string component = "Examples/Add Numbers";
    const std::string exported = slurp(emu.root() / "catalogue" / (component + ".xml"));

    struct Road {
        const char* name;
        std::function<bool(const std::u16string& id, const fs::path& target, bool fail)> write;
        std::string content;  // what a successful write leaves
    };
    const Road roads[] = {
        {"download",
         [](const std::u16string& id, const fs::path& target, bool fail) {
             return pelox_downloadFile(id.c_str(), fail ? u"missing.bin" : u"data.bin", u16(target).c_str()) == 0;
         },
         std::string(300000, 'd')},
        {"export",
         [&](const std::u16string& id, const fs::path& target, bool fail) {
             const std::u16string name = pelox::e2e::u16(fail ? "Examples/Missing" : component);
             return pelox_exportComponent(id.c_str(), name.c_str(), u16(target).c_str()) == 0;
         },
         exported},
        {"client-step copy",
         [&](const std::u16string&, const fs::path& target, bool fail) {
             return pelox::host::vcFile::CopyFileW(u16(local.path / (fail ? "missing.bin" : "source.bin")),
                                                   u16(target));
         },
         std::string(200000, 's')},
    };
    enum class Expect { Written, Refused };
    struct Target {
        const char* name;
        Expect onSuccess;
        bool needsRoot;  // made by root for another user
    };
    std::vector<Target> targets = {
        {"absent", Expect::Written, false},        {"plain", Expect::Written, false},
        {"read-only", Expect::Refused, false},     {"hard-linked", Expect::Written, false},
#ifndef _WIN32
        // Linux only: on Windows making a link takes a privilege tests do
        // not have, a folder's read-only attribute does not stop writes, and
        // files stay the user's.
        {"symbolic link", Expect::Written, false}, {"in a read-only folder", Expect::Written, false},
        {"another user's, writable to all", Expect::Written, true},
#endif
    };
#ifdef _WIN32
    // Windows refuses to open a read-only file for writing, whoever asks;
    // Wine run as root does not (its files are Linux files, and root may
    // write them all), so there the case proves nothing.
    {
        const fs::path probe = local.path / "read-only probe";
        spit(probe, "x");
        fs::permissions(probe, fs::perms::owner_write, fs::perm_options::remove);
        const HANDLE h = CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            CloseHandle(h);
            std::erase_if(targets, [](const Target& t) { return std::string(t.name) == "read-only"; });
        }
        fs::permissions(probe, fs::perms::owner_write, fs::perm_options::add);
        fs::remove(probe);
    }
#endif
    const std::string old = "old content\n";
    auto folderFor = [&](const Road& road, const Target& target, bool fail) {
        return local.path / "cases" / (std::string(road.name) + "-" + target.name + (fail ? "-fail" : "-ok"));
    };
    // The file each case writes; made as it should be before the write.
    auto prepare = [&](const fs::path& folder, const Target& target) {
        fs::create_directories(folder);
        const fs::path file = folder / "target";
        const std::string name = target.name;
        if (name == "absent") return file;
        if (name == "symbolic link") {
            spit(folder / "real", old);
            fs::create_symlink("real", file);
            return file;
        }
        spit(file, old);
#ifdef _WIN32
        if (name == "read-only") fs::permissions(file, fs::perms::owner_write, fs::perm_options::remove);
#else
        ::chmod(file.c_str(), name == "read-only" ? 0444 : name == "another user's, writable to all" ? 0666 : 0640);
#endif
        if (name == "hard-linked") fs::create_hard_link(file, folder / "second");
#ifndef _WIN32
        if (name == "another user's, writable to all") ::chown(file.c_str(), kOther, kOther);
#endif
        return file;
    };

    // The whole table; failures come back as text, so that it can run in a
    // child process as well.
    auto runTable = [&]() {
        std::string failures;
        auto check = [&](bool ok, const std::string& what) {
            if (!ok) failures += what + "\n";
        };
        const std::u16string id = login(emu);
        for (const Road& road : roads) {
            for (const Target& target : targets) {
                if (target.needsRoot && !asRoot) continue;
                for (bool fail : {false, true}) {
                    const fs::path folder = folderFor(road, target, fail);
                    const fs::path file = folder / "target";
                    const std::string label =
                        std::string(road.name) + ", " + target.name + (fail ? ", failing: " : ", succeeding: ");
                    const pelox::testsupport::FileState before = pelox::testsupport::fileState(file);
                    const bool existed = before.exists;
#ifndef _WIN32
                    if (std::string(target.name) == "in a read-only folder") ::chmod(folder.c_str(), 0555);
#endif
                    const bool ok = road.write(id, file, fail);
#ifndef _WIN32
                    ::chmod(folder.c_str(), 0755);
#endif
                    const bool written = !fail && target.onSuccess == Expect::Written;
                    check(ok == written, label + "returned " + (ok ? "success" : "failure"));
                    const pelox::testsupport::FileState after = pelox::testsupport::fileState(file);
                    const bool exists = after.exists;
                    if (!existed) {
                        check(exists == written, label + "the file " + (exists ? "exists" : "is missing"));
                        if (written) check(slurp(file) == road.content, label + "wrong content");
                        continue;
                    }
                    check(exists && after.id == before.id, label + "the file was replaced by another");
                    check(after.mode == before.mode, label + "the mode changed");
                    check(after.owner == before.owner, label + "the owner changed");
                    check(after.links == before.links, label + "the links changed");
                    check(slurp(file) == (written ? road.content : old), label + "wrong content");
                    if (std::string(target.name) == "symbolic link")
                        check(fs::is_symlink(file), label + "the link was replaced by a file");
                    if (std::string(target.name) == "hard-linked")
                        check(slurp(folder / "second") == (written ? road.content : old),
                              label + "the second name shows other content");
                }
            }
        }
        // Nothing is left beside the targets.
        for (const auto& e : fs::recursive_directory_iterator(local.path / "cases")) {
            const std::string name = e.path().filename().string();
            check(e.is_directory() || name == "target" || name == "real" || name == "second", "left behind: " + name);
        }
        return failures;
    };

    for (const Road& road : roads)
        for (const Target& target : targets)
            for (bool fail : {false, true})
                if (!target.needsRoot || asRoot) prepare(folderFor(road, target, fail), target);
    if (!asRoot) {
        EXPECT_EQ(runTable(), "");
        return;
    }
#ifndef _WIN32
    // As root: the table runs as an ordinary user that owns the test folder
    // (another user's files stay another's).
    for (const auto& e : fs::recursive_directory_iterator(local.path)) {
        struct stat info {};
        ::lstat(e.path().c_str(), &info);
        if (info.st_uid == 0) ::lchown(e.path().c_str(), kUser, kUser);
    }
    ::chown(local.path.c_str(), kUser, kUser);
    int channel[2];
    ASSERT_EQ(::pipe(channel), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(channel[0]);
        std::string failures;
        ::setenv("TMPDIR", local.path.c_str(), 1);
        if (::setgroups(0, nullptr) != 0 || ::setresgid(kUser, kUser, kUser) != 0 ||
            ::setresuid(kUser, kUser, kUser) != 0)
            failures = "could not become user 61803\n";
        else
            failures = runTable();
        (void)!::write(channel[1], failures.data(), failures.size());
        ::_exit(0);
    }
    ::close(channel[1]);
    std::string failures;
    char buffer[4096];
    for (ssize_t n; (n = ::read(channel[0], buffer, sizeof buffer)) > 0;) failures.append(buffer, static_cast<size_t>(n));
    ::close(channel[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(failures, "");
#endif
}
