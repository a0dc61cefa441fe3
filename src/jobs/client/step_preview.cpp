// The preview of a client step: what a job's pending step would do on this
// machine, written for a person to read before it happens. A job launched
// with PELOX_JOB_PREVIEW_CLIENT_STEPS gets this text as its pending
// instructions one poll before the step is carried out.
#include <string>
#include <utility>
#include <vector>

#include "host/process.h"
#include "host/qor_keys.h"
#include "host/tarn_exception.h"
#include "host/tarn_util.h"
#include "jobs/client/dispatcher.h"

namespace pelox {

namespace {

// Every preview begins with this, so that a host can tell it from the
// instruction text a server writes for people.
constexpr const char16_t* kHeading = u"Client step: ";

std::u16string listed(const std::vector<std::u16string>& texts) { return tarn::util::joinStrings(texts, u", "); }

void line(std::u16string& out, std::u16string_view label, std::u16string_view value) {
    out += u"\n  ";
    out += label;
    out += value;
}

// The sources and destinations of a copy, pair by pair when they pair up,
// otherwise as two lists (the step expands them when it runs).
void copies(std::u16string& out, const host::CPropertyCollection& description) {
    std::vector<std::u16string> sources, destinations;
    description.getTexts(qor::QOR_Source, sources);
    description.getTexts(qor::QOR_Destination, destinations);
    if (sources.size() == destinations.size()) {
        for (size_t i = 0; i < sources.size(); ++i) line(out, sources[i] + u" -> ", destinations[i]);
        if (sources.empty()) line(out, u"", u"(no files named)");
        return;
    }
    line(out, u"from: ", listed(sources));
    line(out, u"to: ", listed(destinations));
}

}  // namespace

std::u16string CClientComponentDispatcher::DescribeStep(const host::CPropertyCollection& description,
                                                        const std::u16string& userName, const std::u16string& jobId,
                                                        bool deferToHost) {
    std::u16string out = kHeading;
    if (deferToHost && description.has(qor::QOR_ClientInstructions)) {
        std::u16string text;
        description.getText(qor::QOR_ClientInstructions, text);
        out += u"instructions for the host";
        line(out, u"", text);
        return out;  // handed over as text: nothing is created or run
    }
    if (description.has(qor::QOR_ClientTempFiles)) {
        std::vector<std::u16string> names;
        description.getTexts(qor::QOR_ClientTempFiles, names);
        out += u"create temporary files";
        line(out, u"for: ", listed(names));
        line(out, u"in folder: ", TemporaryDirectory(userName, jobId));
    } else if (description.has(qor::QOR_DownloadToClient)) {
        out += u"copy files to this machine";
        copies(out, description);
    } else if (description.has(qor::QOR_UploadToServer)) {
        out += u"copy files from this machine to the server";
        copies(out, description);
        std::u16string ifMissing;
        const bool missingIsError = !description.getText(u"IfFileMissing", ifMissing) ||
                                    tarn::util::equalsIgnoreCaseAscii(ifMissing, u"Throw Error");
        line(out, u"a missing file is ", missingIsError ? u"an error" : u"skipped");
    } else if (description.has(qor::QOR_ClientRunProgram)) {
        std::u16string commandLine, environment, input;
        bool useCmd = false, waitForExit = false;
        description.getText(qor::QOR_CommandLine, commandLine);
        description.getFlag(qor::QOR_UseCmd, useCmd);
        description.getFlag(qor::QOR_WaitForExit, waitForExit);
        description.getText(qor::QOR_Environment, environment);
        description.getText(qor::QOR_Stdin, input);
        std::u16string resolved = commandLine;
        try {
            InitializeCommandLine(resolved);
        } catch (...) {
            resolved = commandLine;  // the step itself reports a lookup that fails
        }
        out += u"run a program";
        line(out, u"command line: ", resolved);
        if (resolved != commandLine) line(out, u"as given: ", commandLine);
        if (useCmd) line(out, u"", std::u16string(u"through ") + host::kInterpreterDescription);
        line(out, u"", waitForExit ? u"waits for the program to end" : u"does not wait for the program");
        if (!input.empty()) line(out, u"standard input: ", tarn::util::ConvertUTF8toString(std::to_string(input.size())) + u" characters");
        if (!environment.empty()) line(out, u"environment: ", environment);
    } else {
        out += u"none (the description names no step; nothing is done)";
        return out;
    }
    std::u16string runDirectory;
    if (description.getText(qor::QOR_ClientRunDirectory, runDirectory)) line(out, u"folder made first: ", runDirectory);
    return out;
}

CClientComponentDispatcher::StepPreview CClientComponentDispatcher::PreviewClientComponent(
    RunnerData& runner, const std::u16string& userName, bool deferToHost) {
    StepPreview preview;
    try {
        host::Bytes bytes = FetchDescription(runner);
        const auto description = ReadDescription(bytes);
        preview.text = DescribeStep(*description, userName, runner.GetJobId(), deferToHost);
        preview.description = std::move(bytes);
        preview.readable = true;
        return preview;
    } catch (tarn::Exception& e) {
        preview.failure = e.joined(u"\n");
    } catch (...) {
        preview.failure = u"CClientComponentDispatcher::PreviewClientComponent Unknown Error detected";
    }
    // Nothing of an unreadable step can be shown, so nothing of it is ever
    // carried out either.
    std::u16string reason = preview.failure;
    for (size_t at = reason.find(u'\n'); at != std::u16string::npos; at = reason.find(u'\n', at + 3))
        reason.replace(at, 1, u"\n  ");
    preview.text = std::u16string(kHeading) + u"the description of this step could not be read: " + reason;
    preview.description.clear();
    preview.readable = false;
    return preview;
}

}  // namespace pelox
