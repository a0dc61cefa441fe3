// The runner: launching, the job states, results, errors, statistics,
// stopping, blocking launches, created jobs, clearing, and client steps
// carried out by a hand-written client through the job data.
#include "emu_test.h"
#include "props.h"
#include "util.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

using namespace emutest;

namespace {

class EmulatorJobs : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        emu_ = new Emulator();
        sid_ = emu_->login("runner-user");
    }
    static void TearDownTestSuite() {
        delete emu_;
        emu_ = nullptr;
    }
    static HttpResponse runner(const std::string& name, const std::string& members) {
        return emu_->soap("/qorvane/runner", op(name, sidEl(sid_) + members));
    }
    static std::string launch(const std::string& protocol, const Pairs& params, const std::string& hint = "") {
        auto r = runner("LaunchJob", el("jobIDHint", hint) + el("protocolName", protocol) + pairArray("parameters", params));
        EXPECT_EQ(r.status, 200) << r.body;
        return xmlValue(r.body, "jobID");
    }
    static int status(const std::string& job) {
        return std::stoi(xmlValue(runner("GetJobStatus", el("jobID", job)).body, "status"));
    }
    // Polls until the job's state is one of wanted (at most 10 s).
    static int waitFor(const std::string& job, std::initializer_list<int> wanted) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        int s = -1;
        while (std::chrono::steady_clock::now() < deadline) {
            s = status(job);
            for (int w : wanted)
                if (s == w) return s;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return s;
    }
    static std::map<std::string, std::vector<std::string>> results(const std::string& job) {
        auto body = runner("GetJobResults", el("jobID", job)).body;
        std::map<std::string, std::vector<std::string>> out;
        size_t pos = 0;
        while ((pos = body.find("<name>", pos)) != std::string::npos) {
            auto rest = body.substr(pos);
            out[xmlValue(rest, "name")] = xmlItems(rest, "values");
            pos += 6;
        }
        return out;
    }
    static emu::PropertyCollection description(const std::string& job) {
        auto r = runner("GetJobData", el("jobID", job) + el("messageFormat", "TransferComponentFileName"));
        EXPECT_EQ(r.status, 200) << r.body;
        auto bytes = emu::base64Decode(xmlValue(r.body, "messageXML"));
        return emu::PropertyCollection::fromXml(bytes.value_or(""));
    }
    static void putData(const std::string& job, const std::string& name, const std::string& xml) {
        auto r = runner("PutJobData", el("jobID", job) + el("messageFormat", name) +
                                          el("messageXML", emu::base64Encode(xml)));
        ASSERT_EQ(r.status, 200) << r.body;
    }
    static void resume(const std::string& job) {
        ASSERT_EQ(runner("SetJobStatus", el("jobID", job) + el("status", "2")).status, 200);
    }
    static Emulator* emu_;
    static std::string sid_;
};
Emulator* EmulatorJobs::emu_ = nullptr;
std::string EmulatorJobs::sid_;

}  // namespace

TEST_F(EmulatorJobs, FinishedJobHasResultsFilesAndStatistics) {
    std::string job = launch("Examples/Add Numbers", {{"A", {"40"}}, {"WebExports", {"Sum,Label,Nothing"}}});  // B keeps its default 3
    ASSERT_EQ(waitFor(job, {0}), 0);
    auto res = results(job);
    EXPECT_EQ(res["Sum"], std::vector<std::string>{"43"});
    EXPECT_EQ(res["Greeting"], std::vector<std::string>{"Hello runner-user"});
    EXPECT_EQ(res["Label"], std::vector<std::string>{"Report"});  // an exported parameter
    EXPECT_FALSE(res.count("Nothing"));
    auto report = emu_->root() / "jobs" / "runner-user" / job / "report.txt";
    EXPECT_EQ(emu::readFile(report, 1000), "Report: 40 + 3");
    auto r2 = runner("GetJobResults2", el("jobID", job) + el("flags", "0"));
    EXPECT_NE(r2.body.find("<name>Sum</name>"), std::string::npos);
    auto stats = runner("GetJobStatistics", el("jobID", job) + el("hint", "")).body;
    EXPECT_EQ(xmlItems(stats, "componentIDs"), (std::vector<std::string>{"add", "greet", "report", "files"}));
    EXPECT_EQ(xmlItems(stats, "numOutsTrue"), (std::vector<std::string>{"1", "1", "1", "1"}));
    EXPECT_EQ(xmlValue(stats, "statusState"), "0");
    EXPECT_TRUE(xmlItems(runner("GetJobErrors", el("jobID", job)).body, "errors").empty());
}

TEST_F(EmulatorJobs, FailingJobsReportErrorsWithComponents) {
    std::string job = launch("Utilities/Always Fails", {});
    ASSERT_EQ(waitFor(job, {5}), 5);
    auto errs = runner("GetJobErrors", el("jobID", job)).body;
    EXPECT_EQ(xmlItems(errs, "errors"), (std::vector<std::string>{"First problem noticed", "Giving up"}));
    EXPECT_EQ(xmlItems(errs, "componentIDs"), (std::vector<std::string>{"checker", "runner"}));
    EXPECT_FALSE(results(job).count("Unreached"));

    // Invalid parameters fail the job before its first step.
    std::string bad = launch("Examples/Add Numbers", {{"A", {"forty"}}});
    ASSERT_EQ(waitFor(bad, {5}), 5);
    EXPECT_EQ(xmlItems(runner("GetJobErrors", el("jobID", bad)).body, "errors"),
              std::vector<std::string>{"Parameter A: 'forty' is not an integer"});
    EXPECT_TRUE(isFault(runner("LaunchJob", el("protocolName", "Utilities/Components/Text Splitter"))));
    EXPECT_TRUE(isFault(runner("LaunchJob", el("protocolName", "No/Such"))));
    EXPECT_TRUE(isFault(runner("GetJobStatus", el("jobID", "J999999-00000000"))));
}

TEST_F(EmulatorJobs, MessagesUseTheMinus9999ConventionAndStopEndsTheJob) {
    std::string job = launch("Utilities/Slow Job", {{"Milliseconds", {"5000"}}});
    ASSERT_EQ(waitFor(job, {2}), 2);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    auto stats = runner("GetJobStatistics", el("jobID", job) + el("hint", "")).body;
    EXPECT_EQ(xmlItems(stats, "numOutsTrue").at(0), "-9999");
    EXPECT_EQ(xmlItems(stats, "numOutsFalse").at(0), "-9999");
    EXPECT_EQ(xmlItems(stats, "componentIDs").at(0), "Waiting 5000 ms");
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(runner("StopJob", el("jobID", job)).status, 200);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
    EXPECT_EQ(status(job), 6);
    EXPECT_EQ(runner("ReleaseJob", el("jobID", job)).status, 200);
    EXPECT_TRUE(isFault(runner("GetJobStatus", el("jobID", job))));
}

TEST_F(EmulatorJobs, BlockingLaunchWaitsTimesOutAndReleases) {
    auto done = runner("LaunchBlockingJob", el("protocolName", "Examples/Add Numbers") + pairArray("parameters", {}) +
                                                el("msTimeout", "5000") + el("flags", "1"));
    ASSERT_EQ(done.status, 200) << done.body;
    EXPECT_EQ(xmlValue(done.body, "status"), "0");
    EXPECT_EQ(xmlValue(done.body, "responseFlags"), "2");  // released upon completion
    EXPECT_NE(done.body.find("<name>Sum</name>"), std::string::npos);
    EXPECT_TRUE(isFault(runner("GetJobStatus", el("jobID", xmlValue(done.body, "jobID")))));

    auto slow = runner("LaunchBlockingJob", el("protocolName", "Utilities/Slow Job") +
                                                pairArray("parameters", {{"Milliseconds", {"3000"}}}) +
                                                el("msTimeout", "100") + el("flags", "2"));
    EXPECT_EQ(xmlValue(slow.body, "responseFlags"), "1");  // timed out, still running
    std::string job = xmlValue(slow.body, "jobID");
    EXPECT_EQ(status(job), 2);
    runner("StopJob", el("jobID", job));

    auto stopped = runner("LaunchBlockingJob", el("protocolName", "Utilities/Slow Job") +
                                                   pairArray("parameters", {{"Milliseconds", {"3000"}}}) +
                                                   el("msTimeout", "100") + el("flags", "0"));
    EXPECT_EQ(xmlValue(stopped.body, "status"), "6");  // not continued after the time-out
}

TEST_F(EmulatorJobs, CreatedJobIsLaunchedIntoAndClearedForARerun) {
    std::string job = xmlValue(runner("CreateJob", "").body, "jobID");
    ASSERT_FALSE(job.empty());
    EXPECT_EQ(status(job), 13);
    EXPECT_EQ(launch("Examples/Add Numbers", {{"A", {"1"}}, {"B", {"1"}}}, job), job);
    ASSERT_EQ(waitFor(job, {0}), 0);
    EXPECT_EQ(results(job)["Sum"], std::vector<std::string>{"2"});
    // A job that ran must be cleared before it is launched again.
    EXPECT_TRUE(isFault(runner("LaunchJob", el("jobIDHint", job) + el("protocolName", "Examples/Add Numbers"))));
    emu::PropertyCollection settings;
    settings.setText("ComponentCheckpoint", "ComponentCheckpoint");
    settings.setInteger("Dir_RunInfo", 0);
    auto cleared = runner("ClearJob", el("jobID", job) +
                                          el("zippedSettings", emu::base64Encode(emu::compress(settings.toXml(), true))));
    EXPECT_EQ(xmlValue(cleared.body, "success"), "1");
    EXPECT_TRUE(results(job).empty());
    EXPECT_EQ(launch("Examples/Add Numbers", {{"A", {"5"}}, {"B", {"5"}}}, job), job);
    ASSERT_EQ(waitFor(job, {0}), 0);
    EXPECT_EQ(results(job)["Sum"], std::vector<std::string>{"10"});
    // Unknown jobs and undecodable settings are answered with success 0.
    EXPECT_EQ(xmlValue(runner("ClearJob", el("jobID", "nope")).body, "success"), "0");
    EXPECT_EQ(xmlValue(runner("ClearJob", el("jobID", job) + el("zippedSettings", emu::base64Encode("xx"))).body,
                       "success"),
              "0");
    // Jobs are listed for reconnection with the endpoint that hosts them.
    auto all = emu_->soap("/qorvane/locator", op("GetAllJobs", sidEl(sid_) + el("clientType", "x") + el("flags", "4")));
    EXPECT_NE(all.body.find("<jobID>" + job + "</jobID><jobHostEndPoint>" + emu_->baseUrl() + "/qorvane/runner<"),
              std::string::npos);
}

TEST_F(EmulatorJobs, ClientStepsRoundTripThroughJobData) {
    std::string job = launch("Examples/Client Steps/Round Trip",
                             {{"Text", {"payload"}}, {"NoUI", {"false"}}, {"ClientTempDirectory", {"/tmp/client"}}});
    auto jobDir = std::filesystem::canonical(emu_->root()) / "jobs" / "runner-user" / job;

    // 1. Temporary file names.
    ASSERT_EQ(waitFor(job, {3}), 3);
    auto d = description(job);
    EXPECT_EQ(d.text("ClientRunDirectory"), "/tmp/client/" + job);
    EXPECT_EQ(d.find("ClientTempFiles")->values, std::vector<std::string>{"TempIn"});
    d.setText("TempIn", "/tmp/client/t1.tmp");
    putData(job, "TransferComponentFileName", d.toXml());
    resume(job);

    // 2. Download to the client: the source is the server file, the
    //    destination the temporary name the client chose.
    ASSERT_EQ(waitFor(job, {3}), 3);
    d = description(job);
    ASSERT_TRUE(d.has("DownloadToClient"));
    EXPECT_EQ(d.find("Source")->values, std::vector<std::string>{(jobDir / "outgoing.txt").string()});
    EXPECT_EQ(d.find("Destination")->values, std::vector<std::string>{"/tmp/client/t1.tmp"});
    EXPECT_EQ(d.find("Expanded")->values, std::vector<std::string>{"-1"});
    resume(job);

    // 3. Upload to the server: the client sends the file, then resumes.
    ASSERT_EQ(waitFor(job, {3}), 3);
    d = description(job);
    ASSERT_TRUE(d.has("UploadToServer"));
    EXPECT_EQ(d.text("RunDirectory"), jobDir.string());
    EXPECT_EQ(d.text("RunId"), job);
    auto up = emu_->soap("/qorvane/file", op("UploadFile", sidEl(sid_) + el("destinationPath", (jobDir / "returned.txt").string()) +
                                                               el("data", emu::base64Encode("payload")) +
                                                               el("append", "false")));
    ASSERT_EQ(up.status, 200) << up.body;
    resume(job);

    // 4. A program run: the client writes its output back.
    ASSERT_EQ(waitFor(job, {3}), 3);
    d = description(job);
    EXPECT_EQ(d.text("CommandLine"), "echo payload");
    EXPECT_EQ(d.text("WaitForExit"), "true");
    EXPECT_EQ(d.text("StdoutProperty"), "Echo");
    d.setText("Stdout", "payload\n");
    d.setInteger("ExitStatus", 0);
    putData(job, "TransferComponentFileName", d.toXml());
    resume(job);

    // 5. Instructions for the host.
    ASSERT_EQ(waitFor(job, {3}), 3);
    EXPECT_EQ(description(job).text("ClientInstructions"), "Check the file returned.txt of job " + job + ".");
    resume(job);

    ASSERT_EQ(waitFor(job, {0, 1}), 0) << xmlItems(runner("GetJobErrors", el("jobID", job)).body, "errors").size();
    auto res = results(job);
    EXPECT_EQ(res["TempIn"], std::vector<std::string>{"/tmp/client/t1.tmp"});
    EXPECT_EQ(res["Echo"], std::vector<std::string>{"payload\n"});
    EXPECT_EQ(res["EchoStatus"], std::vector<std::string>{"0"});
    EXPECT_EQ(res["Done"], std::vector<std::string>{"true"});
}

TEST_F(EmulatorJobs, ClientErrorReportsAreRecordedAndMissingUploadsNoticed) {
    std::string job = launch("Examples/Client Steps/Round Trip", {{"ClientTempDirectory", {"/tmp/c"}}});
    ASSERT_EQ(waitFor(job, {3}), 3);
    resume(job);  // temp files: the client wrote nothing back
    ASSERT_EQ(waitFor(job, {3}), 3);
    emu::PropertyCollection report;
    report.setText("ClientErrorStack", "Unable to copy file 'a' to destination 'b'\nCClientComponentDispatcher");
    putData(job, "TransferErrorsFileName", report.toXml());
    resume(job);
    ASSERT_EQ(waitFor(job, {3}), 3);
    resume(job);  // upload step: nothing uploaded
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(waitFor(job, {3}), 3);
        resume(job);
    }
    ASSERT_EQ(waitFor(job, {1}), 1);  // finished, with errors
    auto errs = runner("GetJobErrors", el("jobID", job)).body;
    EXPECT_EQ(xmlItems(errs, "errors"),
              (std::vector<std::string>{"Unable to copy file 'a' to destination 'b'\nCClientComponentDispatcher",
                                        "Expected file returned.txt was not uploaded"}));
    EXPECT_EQ(xmlItems(errs, "componentIDs"), (std::vector<std::string>{"download", "upload"}));
    // A client step that failed counts 0/1, as an error step does.
    auto stats = runner("GetJobStatistics", el("jobID", job) + el("hint", "")).body;
    auto ids = xmlItems(stats, "componentIDs"), outsTrue = xmlItems(stats, "numOutsTrue"),
         outsFalse = xmlItems(stats, "numOutsFalse");
    ASSERT_EQ(ids.size(), outsTrue.size());
    ASSERT_EQ(ids.size(), outsFalse.size());
    for (size_t i = 0; i < ids.size(); ++i) {
        bool failed = ids[i] == "download" || ids[i] == "upload";
        EXPECT_EQ(outsTrue[i] + "/" + outsFalse[i], failed ? "0/1" : "1/0") << ids[i];
    }
    EXPECT_TRUE(isFault(runner("GetJobData", el("jobID", job) + el("messageFormat", "NoSuchItem"))));
    EXPECT_TRUE(isFault(runner("SetJobStatus", el("jobID", job) + el("status", "42"))));
}

TEST_F(EmulatorJobs, StoppingAJobThatWaitsForItsClient) {
    std::string job = launch("Examples/Client Steps/Round Trip", {});
    ASSERT_EQ(waitFor(job, {3}), 3);
    EXPECT_EQ(runner("StopJob", el("jobID", job)).status, 200);
    EXPECT_EQ(status(job), 9);
}

TEST(EmulatorJobStates, QueuedJobsAndClientsThatNeverAnswer) {
    Emulator e({"--queue-ms", "300"});
    std::string sid = e.login();
    auto call = [&](const std::string& name, const std::string& members) {
        return e.soap("/qorvane/runner", op(name, sidEl(sid) + members));
    };
    auto statusOf = [&](const std::string& job) {
        return xmlValue(call("GetJobStatus", el("jobID", job)).body, "status");
    };
    auto waitFor = [&](const std::string& job, const std::string& wanted) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (statusOf(job) != wanted && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return statusOf(job);
    };
    std::string queued = xmlValue(call("LaunchJob", el("protocolName", "Examples/Add Numbers")).body, "jobID");
    EXPECT_EQ(statusOf(queued), "4");
    EXPECT_EQ(waitFor(queued, "0"), "0");

    EXPECT_NE(e.control("job-settings?queue-ms=0&client-timeout-ms=150").find("client-timeout-ms: 150"), std::string::npos);
    std::string waiting = xmlValue(call("LaunchJob", el("protocolName", "Examples/Client Steps/Round Trip")).body, "jobID");
    EXPECT_EQ(waitFor(waiting, "7"), "7");
    EXPECT_EQ(xmlItems(call("GetJobErrors", el("jobID", waiting)).body, "errors"),
              std::vector<std::string>{"The client did not carry out step temp in time"});
}
