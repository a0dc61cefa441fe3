// Client steps of a waiting job, run against a fake job data channel (job data
// items kept in a map) and a fake transfer context (uploads recorded).
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "host/platform.h"
#include "host/property_collection.h"
#include "host/qor_keys.h"
#include "host/tarn_exception.h"
#include "host/tarn_util.h"
#include "host/xml_functions.h"
#include "jobs/client/dispatcher.h"
#include "support/test_platform.h"

using pelox::CClientComponentDispatcher;
using pelox::CDeferringComponentDispatcher;
using pelox::host::Bytes;
using pelox::host::CPropertyCollection;
namespace fs = std::filesystem;

namespace {

const std::u16string kJobId = u"J000042-0BADF00D";
const std::u16string kUser = u"ann";

std::u16string u16(const std::string& s) { return tarn::util::ConvertUTF8toString(s); }
std::string u8(const std::u16string& s) { return tarn::util::ConvertStringtoUTF8(s); }

class FakeRunner : public pelox::RunnerData {
public:
    FakeRunner() : RunnerData(kJobId, u"S0123", "http://127.0.0.1:9/none") {}
    const std::u16string& GetJobId() const override { return kJobId; }
    void GetJobData(const std::u16string& job, const std::u16string& name, Bytes& out) override {
        EXPECT_EQ(job, kJobId);
        auto it = items.find(name);
        if (it == items.end()) throw tarn::Exception("soap call to GetJobData() failed");
        out = it->second;
    }
    void PutJobData(const std::u16string& job, const std::u16string& name, const Bytes& bytes) override {
        EXPECT_EQ(job, kJobId);
        items[name] = bytes;
        ++puts;
    }
    std::map<std::u16string, Bytes> items;
    int puts = 0;
};

class FakeFiles : public pelox::FileData {
public:
    FakeFiles() : FileData(pelox::SessionInfo{}, u"S0123") {}
    void Upload(const std::u16string& local, const std::u16string& server, const std::u16string* job) override {
        EXPECT_EQ(job, nullptr);
        uploads.emplace_back(u8(local), u8(server));
    }
    std::vector<std::pair<std::string, std::string>> uploads;
};

Bytes toXml(const CPropertyCollection& c) {
    Bytes out;
    pelox::host::CXMLWriterFunctions().WriteToBuffer(out, c, false, nullptr);
    return out;
}

class ClientSteps : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("pelox-client-steps-" + std::to_string(pelox::testsupport::processId()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        description_ = CPropertyCollection::newInstance();
        description_->setText(qor::QOR_ClientRunDirectory, u16((dir_ / "run").string()));
    }
    void TearDown() override { fs::remove_all(dir_); }

    // In this platform's form (Windows: backslashes).
    std::u16string path(const std::string& relative) const {
        return u16((dir_ / relative).make_preferred().string());
    }
    void writeFile(const std::string& relative, const std::string& text) const {
        fs::create_directories((dir_ / relative).parent_path());
        std::ofstream(dir_ / relative, std::ios::binary) << text;
    }
    std::string readFile(const std::string& relative) const {
        std::ifstream in(dir_ / relative, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    // Stores the description as the job's data item and runs the step.
    bool run(CClientComponentDispatcher& dispatcher) {
        runner_.items[qor::QOR_TransferComponentFileName] = toXml(*description_);
        runner_.puts = 0;
        return dispatcher.RunClientComponent(runner_, files_, kUser);
    }
    bool run() {
        CClientComponentDispatcher dispatcher;
        return run(dispatcher);
    }
    std::unique_ptr<CPropertyCollection> item(const std::u16string& name) {
        auto it = runner_.items.find(name);
        if (it == runner_.items.end()) return nullptr;
        return pelox::host::ReadPropertyCollection(it->second);
    }
    // The error report sent by the last run, or "" when none.
    std::string errorReport() {
        auto report = item(qor::QOR_TransferErrorsFileName);
        std::u16string text;
        if (report) report->getText(qor::QOR_ClientErrorStack, text);
        return u8(text);
    }

    fs::path dir_;
    std::unique_ptr<CPropertyCollection> description_;
    FakeRunner runner_;
    FakeFiles files_;
};

// ---- command line and registry ------------------------------------------------------------------------

TEST(ClientCommandLine, IsolateFirstElement) {
    struct Case {
        std::u16string text, first, remainder;
    } cases[] = {
        {u"  \"/opt/my app/run\"   -x 1 ", u"/opt/my app/run", u"-x 1"},
        {u"prog  a b \t", u"prog", u"a b"},
        {u"\u00A0\tprog", u"prog", u""},
        {u"\"unclosed arg", u"unclosed", u"arg"},  // no closing quote: split at the first space
        {u"\"\" rest", u"", u"rest"},
        {u"", u"", u""},
    };
    for (const auto& c : cases) {
        std::u16string first = u"stale", remainder = u"stale";
        CClientComponentDispatcher::IsolateFirstElement(c.text, first, remainder);
        EXPECT_EQ(u8(first), u8(c.first)) << u8(c.text);
        EXPECT_EQ(u8(remainder), u8(c.remainder)) << u8(c.text);
    }
}

// Registered programs: ProgIDs with their CLSIDs and shell commands, as
// HKEY_CLASSES_ROOT holds them. Linux: the registry store (a .reg file named
// by PELOX_REGISTRY_FILE); Windows: the registry itself, while the test
// runs.
class ClassesRoot {
public:
    struct Entry {
        const char* key;   // below HKEY_CLASSES_ROOT
        const char* name;  // null: the default value
        const char* data;
    };
    explicit ClassesRoot(std::vector<Entry> entries) : entries_(std::move(entries)) {
#ifdef _WIN32
        for (const Entry& e : entries_) {
            const std::u16string key = u16(e.key), data = u16(e.data);
            const std::u16string name = e.name ? u16(e.name) : std::u16string();
            EXPECT_EQ(RegSetKeyValueW(HKEY_CLASSES_ROOT, wide(key), e.name ? wide(name) : nullptr, REG_SZ,
                                      wide(data), static_cast<DWORD>((data.size() + 1) * sizeof(char16_t))),
                      ERROR_SUCCESS)
                << e.key;
        }
#else
        path_ = fs::temp_directory_path() /
                ("pelox-client-steps-" + std::to_string(pelox::testsupport::processId()) + ".reg");
        std::ofstream out(path_, std::ios::binary);
        out << "Windows Registry Editor Version 5.00\r\n\r\n";
        for (const Entry& e : entries_) {
            std::string data;
            for (const char* c = e.data; *c; ++c) {
                if (*c == '"' || *c == '\\') data += '\\';
                data += *c;
            }
            // Streamed piece by piece: GCC 12 at -O3 misreads "\"" + name +
            // "\"" as an overlapping copy (-Wrestrict).
            out << "[HKEY_CLASSES_ROOT\\" << e.key << "]\r\n";
            if (e.name)
                out << '"' << e.name << '"';
            else
                out << '@';
            out << "=\"" << data << "\"\r\n";
        }
        out.close();
        pelox::testsupport::setEnv("PELOX_REGISTRY_FILE", path_.string());
#endif
    }
    ~ClassesRoot() {
#ifdef _WIN32
        // Each entry's top key (a CLSID's own key below CLSID).
        for (const Entry& e : entries_) {
            std::string key = e.key;
            const size_t cut = key.find('\\', key.rfind("CLSID\\", 0) == 0 ? 6 : 0);
            if (cut != std::string::npos) key.resize(cut);
            RegDeleteTreeW(HKEY_CLASSES_ROOT, wide(u16(key)));
            RegDeleteKeyW(HKEY_CLASSES_ROOT, wide(u16(key)));
        }
#else
        pelox::testsupport::unsetEnv("PELOX_REGISTRY_FILE");
        fs::remove(path_);
#endif
    }

private:
#ifdef _WIN32
    static const wchar_t* wide(const std::u16string& text) { return reinterpret_cast<const wchar_t*>(text.c_str()); }
#else
    fs::path path_;
#endif
    std::vector<Entry> entries_;
};

TEST(ClientCommandLine, RegisteredProgramsResolveThroughTheRegistryStore) {
    const ClassesRoot classes({
        {"Qorvane.Viewer", nullptr, "Viewer"},
        {"Qorvane.Viewer\\CurVer", nullptr, "Qorvane.Viewer.2"},
        {"Qorvane.Viewer.2\\CLSID", nullptr, "{12345678-1234-1234-1234-1234567890ab}"},
        {"CLSID\\{12345678-1234-1234-1234-1234567890AB}\\LocalServer32", nullptr, "  /opt/qorvane/viewer /Automation"},
        {"Qorvane.Editor\\shell\\open\\command", nullptr, "\"/opt/qorvane/editor\" --open \"%1\""},
        {"Plain.Tool\\shell\\open\\command", nullptr, "/usr/bin/tool -v %1 -q"},
        {"Broken.Tool\\shell\\open\\command", "Other", "x"},
    });

    struct Case {
        std::u16string commandLine, expected;  // expected "" = an error
    } cases[] = {
#ifdef _WIN32
        // (Windows: the LocalServer32 path is upper-cased.)
        {u"Qorvane.Viewer  doc.q ", u"/OPT/QORVANE/VIEWER doc.q"},   // versioned ProgID -> LocalServer32, switch gone
#else
        {u"Qorvane.Viewer  doc.q ", u"/opt/qorvane/viewer doc.q"},   // versioned ProgID -> LocalServer32, switch gone, case kept
#endif
        {u"Qorvane.Editor a.txt", u"\"/opt/qorvane/editor\" --open a.txt"},  // cut before "%1 (quoted)
        {u"Plain.Tool", u"/usr/bin/tool -v"},                        // cut before %1, case kept
        {u"ls -l /tmp", u"ls -l /tmp"},                              // not registered: unchanged
        {u"Broken.Tool x", u""},                                     // key without a default value
    };
    for (const auto& c : cases) {
        std::u16string commandLine = c.commandLine;
        if (c.expected.empty()) {
            try {
                CClientComponentDispatcher::InitializeCommandLine(commandLine);
                ADD_FAILURE() << "no error for " << u8(c.commandLine);
            } catch (const tarn::Exception& e) {
                const std::string text = u8(e.joined(u"\n"));
                EXPECT_NE(text.find("Unable to get path value from ProgID: Broken.Tool Path: "
                                    "Broken.Tool\\shell\\open\\command"),
                          std::string::npos)
                    << text;
                EXPECT_NE(text.find("CClientComponentDispatcher::InitializeCommandLine"), std::string::npos) << text;
            }
            continue;
        }
        CClientComponentDispatcher::InitializeCommandLine(commandLine);
        EXPECT_EQ(u8(commandLine), u8(c.expected));
    }
}

// ---- copy to the server -------------------------------------------------------------------------------

TEST_F(ClientSteps, UploadPatternTakesExactlyItsExtensionIntoTheRunDirectory) {
    writeFile("client/a.txt", "a");
    writeFile("client/b.TXT", "b");
    writeFile("client/c.txtx", "c");
    writeFile("client/notes", "n");
    fs::create_directories(dir_ / "client/sub.txt");
    const std::u16string runDirectory = u"/srv/root/jobs/ann/" + kJobId;
    description_->setFlag(qor::QOR_UploadToServer, true);
    description_->setText(u"RunId", kJobId);
    description_->setTexts(qor::QOR_Source, {path("client/./*.txt")});
    description_->setTexts(qor::QOR_Destination, {u" \t" + runDirectory + u"/\u00A0"});
    description_->setText(qor::QOR_RunDirectory, runDirectory);

    EXPECT_TRUE(run()) << errorReport();
    EXPECT_EQ(errorReport(), "");
    const std::string server = u8(runDirectory);
    const std::vector<std::pair<std::string, std::string>> expected = {
        {u8(path("client/a.txt")), server + "/a.txt"},
        {u8(path("client/b.TXT")), server + "/b.TXT"},
    };
    EXPECT_EQ(files_.uploads, expected);
    EXPECT_TRUE(fs::is_directory(dir_ / "run"));  // the client run directory is made first
}

TEST_F(ClientSteps, UploadShapesAndMissingSources) {
    writeFile("client/a.dat", "a");
    const std::u16string runDirectory = u"/srv/root/jobs/ann/" + kJobId;
    struct Case {
        const char* name;
        std::vector<std::u16string> sources, destinations;
        const char16_t* ifFileMissing;  // null: absent
        bool withRunId;
        std::vector<std::string> uploadedTo;
        std::string error;  // fragment; empty: success
        std::u16string serverRunDirectory = {};  // empty: runDirectory
    } cases[] = {
        {"two sources, one foreign destination", {path("client/a.dat"), path("client/a.dat")}, {u"/srv/elsewhere"},
         nullptr, true, {}, "Destination '/srv/elsewhere' for a list of sources may only be a list of filenames or the "
                            "RunDirectory."},
        {"missing source is an error in any case", {path("client/none.dat"), path("client/a.dat")},
         {u"/srv/x/1", u"/srv/x/2"}, u"throw error", true, {}, "Could not find source '" + u8(path("client/none.dat"))},
        {"other text skips a missing source", {path("client/none.dat"), path("client/a.dat")},
         {u"/srv/x/1", runDirectory}, u"Skip", true, {u8(runDirectory) + "/a.dat"}, ""},
        {"a pattern that matches nothing adds no file and is not missing",
         {path("client/*.none"), path("client/a.dat")}, {runDirectory}, nullptr, true, {u8(runDirectory) + "/a.dat"},
         ""},
        {"a Windows server's run directory keeps its form", {path("client/a.dat")}, {u" d:\\Jobs\\ann\\J1\\"},
         nullptr, true, {"D:\\jobs\\ann\\J1\\a.dat"}, "", u"D:\\jobs\\ann\\J1"},
        {"counts differ", {path("client/a.dat")}, {u"/srv/x/1", u"/srv/x/2"}, nullptr, true, {},
         "Invalid source and destination specifications.  Sources and destinations must be equal"},
        {"RunId is required", {path("client/a.dat")}, {u"/srv/x/1"}, nullptr, false, {},
         "Client incompatible with server: Could not find RunId parameter. Please upgrade your client"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        description_ = CPropertyCollection::newInstance();
        description_->setText(qor::QOR_ClientRunDirectory, path("run"));
        description_->setFlag(qor::QOR_UploadToServer, true);
        if (c.withRunId) description_->setText(u"RunId", kJobId);
        description_->setTexts(qor::QOR_Source, c.sources);
        description_->setTexts(qor::QOR_Destination, c.destinations);
        description_->setText(qor::QOR_RunDirectory, c.serverRunDirectory.empty() ? runDirectory : c.serverRunDirectory);
        if (c.ifFileMissing) description_->setText(u"IfFileMissing", c.ifFileMissing);
        runner_.items.erase(qor::QOR_TransferErrorsFileName);
        files_.uploads.clear();

        EXPECT_EQ(run(), c.error.empty());
        const std::string report = errorReport();
        if (c.error.empty()) {
            EXPECT_EQ(report, "");
        } else {
            EXPECT_NE(report.find(c.error), std::string::npos) << report;
            EXPECT_NE(report.find("CClientComponentDispatcher::UploadToServer"), std::string::npos) << report;
        }
        std::vector<std::string> uploadedTo;
        for (const auto& u : files_.uploads) uploadedTo.push_back(u.second);
        EXPECT_EQ(uploadedTo, c.uploadedTo);
    }
}

// ---- copy to the client -------------------------------------------------------------------------------

TEST_F(ClientSteps, DownloadDestinationsExpand) {
    writeFile("server/s1.txt", "one");
    writeFile("server/s2.txt", "two");
    writeFile("server/s3.txt", "three");
    writeFile("client/existing.dat", "old");
    struct Case {
        const char* name;
        std::vector<std::string> sources, destinations;  // relative to the test directory
        std::vector<int32_t> counts;
        std::vector<std::pair<std::string, std::string>> files;  // expected file -> content
        std::string error;
    } cases[] = {
        {"one directory repeated per count",
         {"server/s1.txt", "server/s2.txt", "server/s3.txt"}, {"client/out"}, {2, -1},
         {{"client/out/s1.txt", "one"}, {"client/out/s2.txt", "two"}, {"client/out/s3.txt", "three"}}, ""},
        {"a missing file destination gets its parent", {"server/s2.txt"}, {"client/deep/new.dat"}, {-1},
         {{"client/deep/new.dat", "two"}}, ""},
        {"a trailing separator names a directory; missing counts take one file",
         {"server/s1.txt", "server/s3.txt"}, {"client/d1/", "client/existing.dat"}, {-1},
         {{"client/d1/s1.txt", "one"}, {"client/existing.dat", "three"}}, ""},
        {"an existing file cannot take several sources", {"server/s1.txt", "server/s2.txt"},
         {"client/existing.dat"}, {1, 1}, {}, "Chosen destination is an existing file."},
        {"counts must come out even", {"server/s1.txt", "server/s2.txt"}, {"client/one.dat"}, {-1}, {},
         "Number of sources must equal number of destinations"},
        {"no wildcards", {"server/s1.txt"}, {"client/x*"}, {-1}, {}, "cannot contain wildcards (* or ?)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::u16string> sources, destinations;
        for (const auto& s : c.sources) sources.push_back(path(s));
        for (const auto& d : c.destinations) destinations.push_back(path(d));
        description_ = CPropertyCollection::newInstance();
        description_->setText(qor::QOR_ClientRunDirectory, path("run"));
        description_->setFlag(qor::QOR_DownloadToClient, true);
        description_->setTexts(qor::QOR_Source, sources);
        description_->setTexts(qor::QOR_Destination, destinations);
        description_->setIntegers(u"Expanded", c.counts);
        runner_.items.erase(qor::QOR_TransferErrorsFileName);

        EXPECT_EQ(run(), c.error.empty());
        const std::string report = errorReport();
        if (c.error.empty())
            EXPECT_EQ(report, "");
        else
            EXPECT_NE(report.find(c.error), std::string::npos) << report;
        for (const auto& [file, content] : c.files) EXPECT_EQ(readFile(file), content) << file;
    }
}

TEST_F(ClientSteps, RelativeDownloadDestinationFailsBeforeAnythingIsMade) {
    writeFile("server/s1.txt", "one");
    const fs::path cwd = fs::current_path();
    fs::current_path(dir_);
    description_->setFlag(qor::QOR_DownloadToClient, true);
    description_->setTexts(qor::QOR_Source, {path("server/s1.txt"), path("server/s1.txt")});
    description_->setTexts(qor::QOR_Destination, {u"relative/out"});
    description_->setIntegers(u"Expanded", {1, 1});
    EXPECT_FALSE(run());
    fs::current_path(cwd);
    EXPECT_NE(errorReport().find("Client download path 'relative/out' must be absolute"), std::string::npos)
        << errorReport();
    EXPECT_FALSE(fs::exists(dir_ / "relative"));
}

// ---- temporary files, dispatch and failures -----------------------------------------------------------

TEST_F(ClientSteps, TemporaryFilesAreMadeAndWrittenBack) {
    const std::u16string rootName = u16("pelox-client-steps-root-" + std::to_string(pelox::testsupport::processId()));
    pelox::host::CClientTempFiles::InitializeQorDirectory(rootName.c_str());
    std::u16string root;
    pelox::host::CClientTempFiles::GetTemporaryFilePath(root);

    description_->setTexts(qor::QOR_ClientTempFiles, {u"First", u"Second"});
    EXPECT_TRUE(run()) << errorReport();
    auto back = item(qor::QOR_TransferComponentFileName);
    ASSERT_TRUE(back);
    std::u16string first, second;
    ASSERT_TRUE(back->getText(u"First", first));
    ASSERT_TRUE(back->getText(u"Second", second));
    const std::string sep = u8(pelox::host::PATHSEP);
    const std::string directory = u8(root) + sep + "ann" + sep + u8(kJobId) + sep;
    for (const auto& name : {u8(first), u8(second)}) {
        EXPECT_EQ(name.rfind(directory, 0), 0u) << name;
        EXPECT_EQ(name.substr(name.size() - 4), ".tmp");
        EXPECT_TRUE(fs::is_regular_file(name)) << name;
    }
    EXPECT_NE(first, second);
    EXPECT_EQ(runner_.puts, 1);

    // An empty list and a description without any step key send nothing.
    for (bool emptyList : {true, false}) {
        description_ = CPropertyCollection::newInstance();
        description_->setText(qor::QOR_ClientRunDirectory, path("run"));
        if (emptyList) description_->setTexts(qor::QOR_ClientTempFiles, {});
        CClientComponentDispatcher dispatcher;
        EXPECT_EQ(run(dispatcher), emptyList);
        EXPECT_EQ(runner_.puts, 0);
        EXPECT_TRUE(dispatcher.Buffer().empty());
    }
    fs::remove_all(u8(root));
}

TEST_F(ClientSteps, FailuresAreReportedAsJobData) {
    struct Case {
        const char* name;
        std::function<void(FakeRunner&)> prepare;
        std::string error;
    } cases[] = {
        {"no description", [](FakeRunner& r) { r.items.erase(qor::QOR_TransferComponentFileName); },
         "Client is unable to find Component Information run id: " + u8(kJobId)},
        {"not XML", [](FakeRunner& r) { r.items[qor::QOR_TransferComponentFileName] = Bytes{'<', 'x'}; },
         "Unable to create component from XML definition: "},
        {"no client run directory",
         [](FakeRunner& r) {
             auto d = CPropertyCollection::newInstance();
             d->setFlag(qor::QOR_UploadToServer, true);
             r.items[qor::QOR_TransferComponentFileName] = toXml(*d);
         },
         "Client incompatible with server: Could not find ClientRunDirectory parameter. Please upgrade your client "
         "to the latest version or contact Vantrel Support (your server administrator) for assistance.\n"
         "CClientComponentDispatcher::CreateClientRunDirectory"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        runner_.items.clear();
        runner_.items[qor::QOR_TransferComponentFileName] = toXml(*description_);
        c.prepare(runner_);
        CClientComponentDispatcher dispatcher;
        EXPECT_FALSE(dispatcher.RunClientComponent(runner_, files_, kUser));
        EXPECT_NE(errorReport().find(c.error), std::string::npos) << errorReport();
    }
}

TEST_F(ClientSteps, DeferringDispatcherCapturesInstructions) {
    description_->setText(qor::QOR_ClientInstructions, u"Load plate 7, then continue");
    CDeferringComponentDispatcher dispatcher;
    EXPECT_TRUE(run(dispatcher));
    EXPECT_EQ(u8(dispatcher.Instructions()), "Load plate 7, then continue");
    EXPECT_EQ(runner_.puts, 0);
}

// ---- programs -----------------------------------------------------------------------------------------

TEST_F(ClientSteps, ProgramGetsStdinOnceAndReportsOutputAndExitStatus) {
    description_->setFlag(qor::QOR_ClientRunProgram, true);
    // Reads two lines only after several poll rounds: input sent again per
    // round would fill the second line instead of the end of input.
#ifdef _WIN32
    // cmd.exe: a read at the end of input leaves its variable as it was
    // (here "EOF"); "call" expands the variables after they are read. Its
    // echo ends lines with "\r\n".
    description_->setText(qor::QOR_CommandLine,
                          u"set b=EOF& ping -n 2 127.0.0.1 >nul& set /p a=& set /p b=& call echo [%a%][%b%]& echo done& "
                          u"echo warn 1>&2& exit 3");
    const std::string expectedOut = "[h\xC3\xA9llo][EOF]\r\ndone\r\n";
#else
    description_->setText(qor::QOR_CommandLine,
                          u"sleep 0.3; read a; read b; echo \"[$a][$b]\"; echo done; echo warn >&2; exit 3");
    const std::string expectedOut = "[h\xC3\xA9llo][]\ndone\n";
#endif
    description_->setFlag(qor::QOR_UseCmd, true);
    description_->setFlag(qor::QOR_WaitForExit, true);
    description_->setText(qor::QOR_Stdin, u"h\u00E9llo\n");
    description_->setText(qor::QOR_StdoutProperty, u"Out");
    description_->setText(qor::QOR_PropertyForExitStatus, u"Code");
    EXPECT_TRUE(run()) << errorReport();
    auto back = item(qor::QOR_TransferComponentFileName);
    ASSERT_TRUE(back);
    std::u16string out;
    std::vector<int32_t> status;
    EXPECT_TRUE(back->getText(qor::QOR_Stdout, out));
    EXPECT_EQ(u8(out), expectedOut);
    EXPECT_TRUE(back->getIntegers(qor::QOR_ExitStatus, status));
    EXPECT_EQ(status, std::vector<int32_t>{3});
    EXPECT_FALSE(back->has(qor::QOR_Stderr));  // not asked for

    // Not waiting: the description goes back as it was, without an exit status.
    description_ = CPropertyCollection::newInstance();
    description_->setText(qor::QOR_ClientRunDirectory, path("run"));
    description_->setFlag(qor::QOR_ClientRunProgram, true);
#ifdef _WIN32
    description_->setText(qor::QOR_CommandLine, u"cmd.exe /c exit 0");
#else
    description_->setText(qor::QOR_CommandLine, u"true");
#endif
    description_->setText(qor::QOR_PropertyForExitStatus, u"Code");
    EXPECT_TRUE(run()) << errorReport();
    EXPECT_EQ(runner_.puts, 1);
    back = item(qor::QOR_TransferComponentFileName);
    ASSERT_TRUE(back);
    EXPECT_FALSE(back->has(qor::QOR_ExitStatus));
}

TEST_F(ClientSteps, ProgramThatCannotStartIsAnErrorOfTheStep) {
    description_->setFlag(qor::QOR_ClientRunProgram, true);
    description_->setText(qor::QOR_CommandLine, u16(u8(path("no-such-program")) + " --flag"));
    description_->setFlag(qor::QOR_WaitForExit, true);
    description_->setText(qor::QOR_PropertyForExitStatus, u"Code");
    EXPECT_FALSE(run());
    const std::string report = errorReport();
    EXPECT_NE(report.find("Could not start the program '" + u8(path("no-such-program")) + " --flag'"),
              std::string::npos)
        << report;
    EXPECT_NE(report.find("CClientComponentDispatcher::RunProgram"), std::string::npos) << report;
    auto back = item(qor::QOR_TransferComponentFileName);
    ASSERT_TRUE(back);
    EXPECT_FALSE(back->has(qor::QOR_ExitStatus));  // no made-up exit status
}

}  // namespace
