// The jobs exports end to end against the emulator, through the public
// header only: the road of one job, relaunching, the state mapping, client
// steps handled by the library or deferred to the host, reconnecting and the
// control codes.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

#include "catalogue/e2e_helpers.h"

using namespace pelox::e2e;
using pelox::testsupport::Emulator;

namespace {

// A protocol of our own in the emulator's catalogue (read on demand).
// A command line that makes an empty file at path (Windows: through
// cmd.exe, as there is no touch).
std::string touchCommand(const std::filesystem::path& path) {
#ifdef _WIN32
    return "cmd.exe /c type nul > " + path.string();
#else
    return "touch " + path.string();
#endif
}

// The text a program writes with echo (Windows: cmd.exe ends the line with
// "\r\n").
std::u16string echoed(const std::u16string& text) {
#ifdef _WIN32
    return text + u"\r\n";
#else
    return text + u"\n";
#endif
}

void addProtocol(const Emulator& emu, const std::string& name, const std::string& script) {
    const auto dir = emu.root() / "catalogue" / "Tests";
    std::filesystem::create_directories(dir);
    std::ofstream(dir / (name + ".xml")) << "<component type=\"protocol\" name=\"" << name
                                         << "\"><properties/><parameters/><script>" << script
                                         << "</script></component>";
}

struct Job {
    int32_t rc = 0;
    std::u16string id;
};

// Reads a protocol's parameters, applies the edits and launches it.
Job launch(const std::u16string& sid, const std::u16string& protocol, int32_t flags,
           const std::vector<std::pair<std::u16string, std::u16string>>& edits = {},
           const pelox_char* intoJob = nullptr) {
    Info info;
    EXPECT_EQ(pelox_getProtocolParameters(sid.c_str(), protocol.c_str(), info, 0), 0);
    for (const auto& [name, value] : edits) {
        int32_t index = -1;
        for (int32_t i = 0; i < info.size(); ++i) {
            Array names;
            protocolInfo_getParameterProperty(info, static_cast<uint32_t>(i), PELOX_PROP_NAME, names);
            if (names.texts() == Texts{name}) index = i;
        }
        EXPECT_GE(index, 0);
        EXPECT_LE(protocolInfo_setParameterValue(info, static_cast<uint32_t>(index), value.c_str()), 0);
    }
    String out;
    Job job;
    job.rc = pelox_launchJob(sid.c_str(), protocol.c_str(), info, flags, out, intoJob);
    job.id = out.text();
    return job;
}

// Polls until stop(state) holds or 20 s pass; the last state.
int32_t pollUntil(const std::u16string& sid, const std::u16string& job, const std::function<bool(int32_t)>& stop,
                  Texts* messages = nullptr) {
    int32_t state = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    do {
        Array msgs;
        const int32_t rc = pelox_getJobStatus(sid.c_str(), job.c_str(), &state, msgs);
        EXPECT_EQ(rc, 0) << errorText(rc);
        if (rc != 0) return state;
        if (messages && !msgs.texts().empty()) *messages = msgs.texts();
        if (stop(state)) return state;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } while (std::chrono::steady_clock::now() < deadline);
    return state;
}
bool settled(int32_t s) { return s != PELOX_JOB_RUNNING && s != PELOX_JOB_STATE_4 && s != PELOX_JOB_UNKNOWN; }

Texts errorsOf(const std::u16string& sid, const std::u16string& job) {
    Array errors, components;
    EXPECT_EQ(pelox_getJobErrors(sid.c_str(), job.c_str(), errors, components), 0);
    return errors.texts();
}

}  // namespace

TEST(Jobs, TheRoadOfOneJobPlainBlockingAndCreatedThenLaunched) {
    Emulator emu;
    const auto sid = login(emu);
    const std::u16string addNumbers = u"Examples/Add Numbers";
    for (const char* road : {"plain", "blocking", "created"}) {
        SCOPED_TRACE(road);
        Job job;
        if (std::string(road) == "created") {
            String created;
            // A job the server makes without naming it cannot be addressed.
            emu.addFault("op=CreateJob&kind=no-job-id&count=1");
            EXPECT_GT(pelox_createJob(sid.c_str(), created, 0), 0);
            ASSERT_EQ(pelox_createJob(sid.c_str(), created, 0), 0);
            // Launched into a job of ours, it keeps our ID even when the
            // reply names none.
            emu.addFault("op=LaunchJob&kind=no-job-id&count=1");
            job = launch(sid, addNumbers, 0, {{u"A", u"40"}}, created.text().c_str());
            EXPECT_EQ(job.id, created.text());
        } else {
            job = launch(sid, addNumbers, std::string(road) == "blocking" ? PELOX_JOB_BLOCKING : 0, {{u"A", u"40"}});
        }
        ASSERT_EQ(job.rc, 0) << errorText(job.rc);
        ASSERT_FALSE(job.id.empty());
        EXPECT_EQ(pollUntil(sid, job.id, settled), PELOX_JOB_FINISHED);
        Result results;
        ASSERT_EQ(pelox_getJobResults(sid.c_str(), job.id.c_str(), results), 0);
        EXPECT_EQ(results.values(u"Sum"), Texts{u"43"});
        EXPECT_EQ(results.values(u"Greeting"), Texts{u"Hello tester"});
        EXPECT_TRUE(errorsOf(sid, job.id).empty());
        EXPECT_EQ(pelox_releaseJob(sid.c_str(), job.id.c_str()), 0);
        int32_t state = 0;
        Array msgs;
        EXPECT_EQ(pelox_getJobStatus(sid.c_str(), job.id.c_str(), &state, msgs), PELOX_E_NO_JOB);
        EXPECT_EQ(state, PELOX_JOB_UNKNOWN);
    }
    // Created jobs were launched into without clearing them first.
    EXPECT_EQ(emu.count("ClearJob"), 0u);
}

TEST(Jobs, RelaunchClearsFirstAndAJobTheServerCannotClearIsRefused) {
    Emulator emu;
    const auto sid = login(emu);
    const Job first = launch(sid, u"Examples/Add Numbers", 0);
    ASSERT_EQ(first.rc, 0) << errorText(first.rc);
    EXPECT_EQ(pollUntil(sid, first.id, settled), PELOX_JOB_FINISHED);
    const Job again = launch(sid, u"Examples/Add Numbers", 0, {{u"B", u"100"}}, first.id.c_str());
    ASSERT_EQ(again.rc, 0) << errorText(again.rc);
    EXPECT_EQ(again.id, first.id);
    EXPECT_EQ(emu.count("ClearJob"), 1u);
    EXPECT_EQ(pollUntil(sid, first.id, settled), PELOX_JOB_FINISHED);
    Result results;
    ASSERT_EQ(pelox_getJobResults(sid.c_str(), first.id.c_str(), results), 0);
    EXPECT_EQ(results.values(u"Sum"), Texts{u"102"});

    // The server forgets the job behind the library's back: ClearJob answers
    // no success, the launch is refused and nothing is launched.
    const std::string jobId = ascii(first.id);
    emu.soap("/qorvane/runner", "<qor:ReleaseJob><sessionID>" + ascii(sid) + "</sessionID><jobID>" + jobId +
                                    "</jobID></qor:ReleaseJob>");
    emu.resetCounts();
    EXPECT_EQ(launch(sid, u"Examples/Add Numbers", 0, {}, first.id.c_str()).rc, PELOX_E_LAUNCH);
    EXPECT_EQ(emu.count("LaunchJob"), 0u);
    // Unknown job identifiers are refused, unless the launch is blocking.
    EXPECT_EQ(launch(sid, u"Examples/Add Numbers", 0, {}, u"J-none").rc, PELOX_E_NO_JOB);
    EXPECT_EQ(launch(sid, u"Examples/Add Numbers", PELOX_JOB_BLOCKING, {}, u"J-none").rc, 0);
}

TEST(Jobs, ServerState12IsReported1508OnlyWithOption4) {
    Emulator emu;
    addProtocol(emu, "State Twelve", "<step kind=\"state\" value=\"12\" ms=\"60000\"/>");
    const auto sid = login(emu);
    for (int32_t flags : {0, PELOX_JOB_REPORT_1508}) {
        const Job job = launch(sid, u"Tests/State Twelve", flags);
        ASSERT_EQ(job.rc, 0) << errorText(job.rc);
        const int32_t expected = flags ? PELOX_JOB_STATE_12 : PELOX_JOB_RUNNING;
        const int32_t seen = pollUntil(sid, job.id, [&](int32_t s) { return s == expected; });
        EXPECT_EQ(seen, expected);
        // A running job's errors are not to be read yet.
        Array errors, components;
        EXPECT_EQ(pelox_getJobErrors(sid.c_str(), job.id.c_str(), errors, components), PELOX_E_JOB_STATE);
        EXPECT_EQ(pelox_stopJob(sid.c_str(), job.id.c_str()), 0);
        EXPECT_EQ(pollUntil(sid, job.id, settled), PELOX_JOB_STATE_6);
    }
}

TEST(Jobs, ClientStepsOfEveryKindCarriedOutByTheLibrary) {
    Emulator emu;
    const auto sid = login(emu);
    // A blocking launch comes back as soon as the job waits for its first
    // step; the first poll carries that step out like any other.
    for (const int32_t blocking : {0, PELOX_JOB_BLOCKING}) {
        SCOPED_TRACE(blocking ? "blocking" : "plain");
        const Job job = launch(sid, u"Examples/Client Steps/Round Trip", PELOX_JOB_HANDLE_CLIENT_STEPS | blocking,
                               {{u"Text", u"round trip"}});
        ASSERT_EQ(job.rc, 0) << errorText(job.rc);
        // The library resumes the job after each step inside the poll; the
        // instructions step is not the host's business without option 2.
        EXPECT_EQ(pollUntil(sid, job.id, [](int32_t s) { return s == PELOX_JOB_FINISHED || s == PELOX_JOB_STATE_5; }),
                  PELOX_JOB_FINISHED);
        const Texts errors = errorsOf(sid, job.id);
        EXPECT_TRUE(errors.empty()) << ascii(errors.front());
        Result results;
        ASSERT_EQ(pelox_getJobResults(sid.c_str(), job.id.c_str(), results), 0);
        ASSERT_EQ(results.values(u"TempIn").size(), 1u);
        EXPECT_EQ(results.values(u"Echo"), Texts{echoed(u"round trip")});
        EXPECT_EQ(results.values(u"EchoStatus"), Texts{u"0"});
        EXPECT_EQ(results.values(u"Done"), Texts{u"true"});
        // The file went to the client (a temporary file) and came back.
        const auto returned = emu.root() / "jobs" / "tester" / ascii(job.id) / "returned.txt";
        std::ifstream in(returned);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_EQ(text, "round trip");
    }

    // Patterns name files that may not exist: one that matches nothing
    // sends nothing and is no missing file, even where a missing file is an
    // error.
    const std::filesystem::path client = emu.root() / "client-out";
    std::filesystem::create_directories(client);
    std::ofstream(client / "result.txt") << "r";
    addProtocol(emu, "Optional Logs",
                "<step id=\"up\" kind=\"uploadToServer\" source=\"" + (client / "*.txt").string() + "," +
                    (client / "*.log").string() + "\" verify=\"result.txt\"/><step kind=\"setResult\" name=\"R\" "
                                                 "value=\"1\"/>");
    const Job logs = launch(sid, u"Tests/Optional Logs", PELOX_JOB_HANDLE_CLIENT_STEPS);
    ASSERT_EQ(logs.rc, 0) << errorText(logs.rc);
    EXPECT_EQ(pollUntil(sid, logs.id, settled), PELOX_JOB_FINISHED);
    EXPECT_EQ(errorsOf(sid, logs.id), Texts{});
}

TEST(Jobs, InstructionsDeferredToTheHostKeepTheJobWaitingUntilContinued) {
    Emulator emu;
    addProtocol(emu, "Tell", "<step kind=\"instructions\" text=\"Load the tray.\"/><step kind=\"setResult\" name=\"R\" value=\"1\"/>");
    const auto sid = login(emu);
    // Option 2 alone implies option 1.
    const Job job = launch(sid, u"Tests/Tell", PELOX_JOB_DEFER_TO_HOST);
    ASSERT_EQ(job.rc, 0) << errorText(job.rc);
    EXPECT_EQ(pollUntil(sid, job.id, [](int32_t s) { return s == PELOX_JOB_WAITING_FOR_CLIENT || settled(s); }),
              PELOX_JOB_WAITING_FOR_CLIENT);
    String text;
    ASSERT_EQ(pelox_getClientInstructions(text, job.id.c_str()), 0);
    EXPECT_EQ(text.text(), u"Load the tray.");
    ASSERT_EQ(pelox_getClientInstructions(text, job.id.c_str()), 0);
    EXPECT_EQ(text.text(), u"");  // handed over once
    EXPECT_EQ(pelox_continueJob(sid.c_str(), job.id.c_str()), 0);
    EXPECT_EQ(pollUntil(sid, job.id, settled), PELOX_JOB_FINISHED);
    EXPECT_EQ(pelox_getClientInstructions(text, job.id.c_str()), PELOX_E_NOT_WAITING_FOR_CLIENT);
    // Continuing a job that does not wait sends nothing.
    emu.resetCounts();
    EXPECT_EQ(pelox_continueJob(sid.c_str(), job.id.c_str()), 0);
    EXPECT_EQ(emu.count("SetJobStatus"), 0u);
}

TEST(Jobs, APreviewedStepIsShownFirstThenRunByTheNextPollUnlessContinuedOrStopped) {
    Emulator emu;
    const std::filesystem::path marker = emu.root() / "ran";
    addProtocol(emu, "Touch",
                "<step id=\"run\" kind=\"runProgram\" commandLine=\"" + touchCommand(marker) +
                    "\" waitForExit=\"true\"/><step kind=\"setResult\" name=\"R\" value=\"1\"/>");
    const auto sid = login(emu);
    const auto waitingOrSettled = [](int32_t s) { return s == PELOX_JOB_WAITING_FOR_CLIENT || settled(s); };
    // "unreadable": the description cannot be read when it is shown nor
    // at the next poll; nothing was shown that could run, so nothing runs
    // (a third read would succeed) and the step fails as unreadable.
    for (const std::string how : {"poll", "continue", "stop", "unreadable"}) {
        SCOPED_TRACE(how);
        std::filesystem::remove(marker);
        if (how == "unreadable") emu.addFault("op=GetJobData&kind=soap-fault&count=2");
        const Job job = launch(sid, u"Tests/Touch", PELOX_JOB_HANDLE_CLIENT_STEPS | PELOX_JOB_PREVIEW_CLIENT_STEPS);
        ASSERT_EQ(job.rc, 0) << errorText(job.rc);
        ASSERT_EQ(pollUntil(sid, job.id, waitingOrSettled), PELOX_JOB_WAITING_FOR_CLIENT);
        String text;
        ASSERT_EQ(pelox_getClientInstructions(text, job.id.c_str()), 0);
        const std::string shown = how == "unreadable" ? "Client step: the description of this step could not be read: "
                                                      : "Client step: run a program\n  command line: " +
                                                            touchCommand(marker);
        EXPECT_EQ(ascii(text.text()).rfind(shown, 0), 0u) << ascii(text.text());
        EXPECT_FALSE(std::filesystem::exists(marker));  // shown, not yet run
        if (how == "continue") {
            EXPECT_EQ(pelox_continueJob(sid.c_str(), job.id.c_str()), 0);
        } else if (how == "stop") {
            EXPECT_EQ(pelox_stopJob(sid.c_str(), job.id.c_str()), 0);
        }
        const int32_t last = pollUntil(sid, job.id, settled);
        EXPECT_EQ(last == PELOX_JOB_FINISHED, how != "stop") << last;
        EXPECT_EQ(std::filesystem::exists(marker), how == "poll");
        if (how == "unreadable") {
            const Texts errors = errorsOf(sid, job.id);
            ASSERT_EQ(errors.size(), 1u);
            EXPECT_NE(ascii(errors[0]).find("Client is unable to find Component Information"), std::string::npos)
                << ascii(errors[0]);
        }
    }
}

TEST(Jobs, AStepOtherThanTheOneShownIsShownInsteadOfCarriedOut) {
    Emulator emu;
    const std::filesystem::path first = emu.root() / "first", second = emu.root() / "second";
    addProtocol(emu, "Two Touches",
                "<step id=\"a\" kind=\"runProgram\" commandLine=\"" + touchCommand(first) +
                    "\" waitForExit=\"true\"/><step id=\"b\" kind=\"runProgram\" commandLine=\"" +
                    touchCommand(second) + "\" waitForExit=\"true\"/>");
    const auto sid = login(emu);
    const Job job = launch(sid, u"Tests/Two Touches", PELOX_JOB_HANDLE_CLIENT_STEPS | PELOX_JOB_PREVIEW_CLIENT_STEPS);
    ASSERT_EQ(job.rc, 0) << errorText(job.rc);
    ASSERT_EQ(pollUntil(sid, job.id, [](int32_t s) { return s == PELOX_JOB_WAITING_FOR_CLIENT || settled(s); }),
              PELOX_JOB_WAITING_FOR_CLIENT);
    String text;
    ASSERT_EQ(pelox_getClientInstructions(text, job.id.c_str()), 0);
    EXPECT_NE(ascii(text.text()).find(touchCommand(first)), std::string::npos) << ascii(text.text());

    // Another client resumes the job past the first step; it now waits at
    // the second.
    const std::string runner = "/qorvane/runner", ids = "<sessionID>" + ascii(sid) + "</sessionID><jobID>" +
                                                        ascii(job.id) + "</jobID>";
    ASSERT_EQ(emu.soap(runner, "<qor:SetJobStatus>" + ids + "<status>2</status></qor:SetJobStatus>").status, 200);
    for (int i = 0; i < 200; ++i) {
        const std::string body = emu.soap(runner, "<qor:GetJobStatus>" + ids + "</qor:GetJobStatus>").body;
        if (body.find(">3</status>") != std::string::npos) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    // The next poll shows the second step instead of running anything.
    int32_t state = 0;
    Array messages;
    ASSERT_EQ(pelox_getJobStatus(sid.c_str(), job.id.c_str(), &state, messages), 0);
    EXPECT_EQ(state, PELOX_JOB_WAITING_FOR_CLIENT);
    ASSERT_EQ(pelox_getClientInstructions(text, job.id.c_str()), 0);
    EXPECT_NE(ascii(text.text()).find(touchCommand(second)), std::string::npos) << ascii(text.text());
    EXPECT_FALSE(std::filesystem::exists(first));
    EXPECT_FALSE(std::filesystem::exists(second));
    EXPECT_EQ(pollUntil(sid, job.id, settled), PELOX_JOB_FINISHED);
    EXPECT_FALSE(std::filesystem::exists(first));
    EXPECT_TRUE(std::filesystem::exists(second));
}

TEST(Jobs, WithoutOption1TheWaitingJobIsResumedInsideThePoll) {
    Emulator emu;
    addProtocol(emu, "Tell", "<step kind=\"instructions\" text=\"x\"/>");
    const auto sid = login(emu);
    const Job job = launch(sid, u"Tests/Tell", 0);
    ASSERT_EQ(job.rc, 0) << errorText(job.rc);
    EXPECT_EQ(pollUntil(sid, job.id, [](int32_t s) { return s == PELOX_JOB_WAITING_FOR_CLIENT || settled(s); }),
              PELOX_JOB_FINISHED);
    EXPECT_GE(emu.count("SetJobStatus"), 1u);
    EXPECT_EQ(emu.count("GetJobData"), 0u);
}

TEST(Jobs, AProgramThatCannotStartIsAnErrorOfItsStep) {
    Emulator emu;
    addProtocol(emu, "Bad Program",
                "<step id=\"run\" kind=\"runProgram\" commandLine=\"/nonexistent/pelox-program --x\" "
                "waitForExit=\"true\" exitStatusProperty=\"S\"/>");
    const auto sid = login(emu);
    const Job job = launch(sid, u"Tests/Bad Program", PELOX_JOB_HANDLE_CLIENT_STEPS);
    ASSERT_EQ(job.rc, 0) << errorText(job.rc);
    EXPECT_EQ(pollUntil(sid, job.id, settled), PELOX_JOB_FINISHED);  // finished with errors
    Array errorArray, components;
    ASSERT_EQ(pelox_getJobErrors(sid.c_str(), job.id.c_str(), errorArray, components), 0);
    const Texts errors = errorArray.texts();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(ascii(errors[0]).find("/nonexistent/pelox-program"), std::string::npos) << ascii(errors[0]);
    // An unknown second array: the first one was emptied on its look-up, so
    // a host that ignores the code does not read these errors again.
    EXPECT_EQ(pelox_getJobErrors(sid.c_str(), job.id.c_str(), errorArray, 0), PELOX_E_NO_STRING_ARRAY);
    EXPECT_EQ(errorArray.texts(), Texts{});
    EXPECT_EQ(components.texts().size(), 1u);
    Result results;
    ASSERT_EQ(pelox_getJobResults(sid.c_str(), job.id.c_str(), results), 0);
    EXPECT_EQ(results.values(u"S"), Texts{u"<missing>"});  // no made-up exit status
}

TEST(Jobs, ReconnectByExactIdAndTheControlCodes) {
    Emulator emu;
    addProtocol(emu, "Long", "<step kind=\"wait\" ms=\"60000\"/>");
    const auto sid = login(emu);
    // A job started elsewhere: launched straight at the server.
    const auto reply = emu.soap("/qorvane/runner", "<qor:LaunchJob><sessionID>" + ascii(sid) +
                                                       "</sessionID><jobIDHint></jobIDHint><protocolName>Tests/Long"
                                                       "</protocolName></qor:LaunchJob>");
    const std::u16string id = u16(pelox::testsupport::xmlValue(reply.body, "jobID"));
    ASSERT_FALSE(id.empty()) << reply.body;
    int32_t state = 0;
    Array msgs;
    EXPECT_EQ(pelox_getJobStatus(sid.c_str(), id.c_str(), &state, msgs), PELOX_E_NO_JOB);
    EXPECT_EQ(pelox_stopJob(sid.c_str(), id.c_str()), PELOX_E_NO_JOB);
    EXPECT_EQ(pelox_continueJob(sid.c_str(), id.c_str()), PELOX_E_NO_JOB);
    EXPECT_EQ(pelox_stopJob(nullptr, id.c_str()), PELOX_E_NULL_ARGUMENT);

    std::u16string lower = id;
    for (auto& c : lower) c = (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c - u'A' + u'a') : c;
    EXPECT_EQ(pelox_reconnectToJob(sid.c_str(), lower.c_str(), 0), PELOX_E_NO_JOB);
    EXPECT_EQ(pelox_reconnectToJob(u"S-unknown", id.c_str(), 0), PELOX_E_NO_SESSION);
    ASSERT_EQ(pelox_reconnectToJob(sid.c_str(), id.c_str(), 0), 0);
    // (A job the server has not started yet is queued: 1503.)
    EXPECT_EQ(pollUntil(sid, id, [](int32_t s) { return s == PELOX_JOB_RUNNING || settled(s); }), PELOX_JOB_RUNNING);
    // Known already: only the options change, nothing is sent.
    emu.resetCounts();
    EXPECT_EQ(pelox_reconnectToJob(sid.c_str(), id.c_str(), PELOX_JOB_REPORT_1508), 0);
    EXPECT_EQ(emu.count("GetAllJobs"), 0u);

    // Stopping leaves the record; the next poll reports the stop.
    ASSERT_EQ(pelox_stopJob(sid.c_str(), id.c_str()), 0);
    EXPECT_EQ(pollUntil(sid, id, settled), PELOX_JOB_STATE_6);
    // A release the server refuses keeps the record.
    emu.addFault("op=ReleaseJob&kind=soap-fault&count=1");
    EXPECT_GT(pelox_releaseJob(sid.c_str(), id.c_str()), 0);
    ASSERT_EQ(pelox_releaseJob(sid.c_str(), id.c_str()), 0);
    EXPECT_EQ(pelox_stopJob(sid.c_str(), id.c_str()), PELOX_E_NO_JOB);
}
