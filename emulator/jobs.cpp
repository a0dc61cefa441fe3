#include "jobs.h"

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <sstream>
#include <system_error>
#include <thread>

namespace fs = std::filesystem;

namespace emu {

bool isSettled(int s) {
    return s == state::Finished || s == state::FinishedWithErrors || s == state::WaitingForClient ||
           s == state::Failed || s == state::Stopped || s == state::ClientTimedOut || s == state::ClientStepFailed ||
           s == state::StoppedWhileWaiting || s == state::Paused || s == state::Created;
}

static bool isFinal(int s) {
    return s == state::Finished || s == state::FinishedWithErrors || s == state::Failed || s == state::Stopped ||
           s == state::ClientTimedOut || s == state::ClientStepFailed || s == state::StoppedWhileWaiting;
}

JobEngine::JobEngine(const Catalogue& catalogue, const Jail& root) : catalogue_(catalogue), root_(root) {}

JobEngine::~JobEngine() { shutdown(); }

void JobEngine::shutdown() {
    std::unique_lock lock(mutex_);
    shuttingDown_ = true;
    for (auto& [id, j] : jobs_) {
        j->stop = true;
        j->cv.notify_all();
    }
    idle_.wait(lock, [&] { return workers_ == 0; });
}

void JobEngine::waitForWorker(std::unique_lock<std::mutex>& lock, const std::shared_ptr<Job>& j) {
    j->cv.wait(lock, [&] { return !j->workerActive; });
}

std::shared_ptr<Job> JobEngine::create(const std::string& user, const std::string& endpointPath) {
    std::lock_guard lock(mutex_);
    if (shuttingDown_) fail("the server is shutting down", 503);
    auto j = std::make_shared<Job>();
    char buf[32];
    std::snprintf(buf, sizeof buf, "J%06lu", ++counter_);
    j->id = std::string(buf) + "-" + randomHex(8);
    j->user = user;
    j->endpointPath = endpointPath;
    j->rel = fs::path("jobs") / user / j->id;
    root_.makeFolders(j->rel);
    j->dir = root_.path() / j->rel;
    jobs_[j->id] = j;
    return j;
}

std::shared_ptr<Job> JobEngine::find(const std::string& user, const std::string& id, const std::string& endpointPath) {
    std::lock_guard lock(mutex_);
    auto it = jobs_.find(id);
    if (it == jobs_.end() || it->second->user != user) fail("unknown job: " + id, 404);
    if (!endpointPath.empty() && it->second->endpointPath != endpointPath)
        fail("job " + id + " is hosted at " + it->second->endpointPath + ", not at " + endpointPath, 404);
    return it->second;
}

std::vector<std::shared_ptr<Job>> JobEngine::jobsOf(const std::string& user) {
    std::lock_guard lock(mutex_);
    std::vector<std::shared_ptr<Job>> out;
    for (auto& [id, j] : jobs_)
        if (j->user == user) out.push_back(j);
    return out;
}

std::shared_ptr<Job> JobEngine::launch(const std::string& user, const std::string& endpointPath,
                                       const std::string& hint, const std::string& protocolName,
                                       const NamedValues& params) {
    Component c = catalogue_.load(protocolName);
    if (c.type != "protocol") fail(c.fullName + " is not a protocol");
    std::shared_ptr<Job> j = hint.empty() ? create(user, endpointPath) : find(user, hint, endpointPath);
    std::lock_guard lock(mutex_);
    // Checked under the same lock that starts the worker, so two launches
    // into one job cannot both start.
    if (shuttingDown_) fail("the server is shutting down", 503);
    if (j->state != state::Created || j->workerActive)
        fail("job " + j->id + " has already been launched; clear it first", 409);
    j->protocol = c.fullName;
    j->params = params;
    // Declared parameters that the launch leaves out keep their defaults.
    for (const auto& p : c.parameters) {
        bool given = std::any_of(params.begin(), params.end(), [&](const auto& nv) { return nv.first == p.name; });
        if (!given) j->params.emplace_back(p.name, p.values);
    }
    j->state = state::Queued;
    j->stop = j->resume = false;
    j->started = std::chrono::steady_clock::now();
    unsigned gen = ++j->generation;
    j->workerActive = true;
    ++workers_;
    try {
        startThread([this, j, c = std::move(c), gen]() mutable { run(j, std::move(c), gen); });
    } catch (const std::system_error& e) {
        // No thread to be had: the job stays as it was, the caller gets a fault.
        j->workerActive = false;
        --workers_;
        j->state = state::Created;
        j->protocol.clear();
        j->params.clear();
        if (hint.empty()) jobs_.erase(j->id);
        std::cerr << "pelox-emulator: cannot start a thread for job " << j->id << ": " << e.what() << "\n";
        fail(std::string("The job cannot be started now (no thread: ") + e.what() + ")", 503);
    }
    return j;
}

int JobEngine::status(const Job& j) {
    std::lock_guard lock(mutex_);
    return j.state;
}

bool JobEngine::waitSettled(const std::shared_ptr<Job>& j, int ms) {
    std::unique_lock lock(mutex_);
    return j->cv.wait_for(lock, std::chrono::milliseconds(std::max(ms, 0)), [&] { return isSettled(j->state); });
}

void JobEngine::setStatus(const std::shared_ptr<Job>& j, int status) {
    std::lock_guard lock(mutex_);
    if (status == state::Running) {
        if (j->state == state::WaitingForClient || j->state == state::Paused) {
            // Running from now on, so that a poll right after the resume
            // never sees the finished client step again.
            j->state = state::Running;
            j->resume = true;
            j->cv.notify_all();
        }
        return;
    }
    if (status == state::Stopped) {
        j->stop = true;
        j->cv.notify_all();
        return;
    }
    fail("SetJobStatus accepts the states 2 (continue) and 6 (stop), not " + std::to_string(status));
}

void JobEngine::stop(const std::shared_ptr<Job>& j) {
    std::unique_lock lock(mutex_);
    j->stop = true;
    j->cv.notify_all();
    if (!j->workerActive && !isFinal(j->state) && j->state != state::Created) j->state = state::Stopped;
    waitForWorker(lock, j);
}

void JobEngine::release(const std::shared_ptr<Job>& j) {
    stop(j);
    std::lock_guard lock(mutex_);
    jobs_.erase(j->id);
}

bool JobEngine::clear(const std::shared_ptr<Job>& j) {
    stop(j);
    std::lock_guard lock(mutex_);
    ++j->generation;
    j->state = state::Created;
    j->results.clear();
    j->errors.clear();
    j->data.clear();
    j->componentIDs.clear();
    j->outsTrue.clear();
    j->outsFalse.clear();
    j->statusFlags.clear();
    j->message.clear();
    j->stop = j->resume = false;
    return true;
}

NamedValues JobEngine::results(const Job& j) {
    std::lock_guard lock(mutex_);
    NamedValues out = j.results;
    // Exported global properties that name a parameter come back with the
    // parameter's values (the launch's WebExports pair lists them).
    for (const auto& [name, values] : j.params) {
        if (name != "WebExports" || values.empty()) continue;
        for (auto& piece : split(values.front(), ',')) {
            std::string exported = trim(piece);
            if (exported.empty()) continue;
            bool known = std::any_of(out.begin(), out.end(), [&](const auto& r) { return r.first == exported; });
            if (known) continue;
            for (const auto& [pn, pv] : j.params)
                if (pn == exported) out.emplace_back(pn, pv);
        }
    }
    return out;
}

std::vector<std::pair<std::string, std::string>> JobEngine::errors(const Job& j) {
    std::lock_guard lock(mutex_);
    return j.errors;
}

JobEngine::Stats JobEngine::statistics(const Job& j) {
    std::lock_guard lock(mutex_);
    Stats s;
    s.time = int(std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - j.started)
                     .count());
    s.state = j.state;
    s.outsTrue = j.outsTrue;
    s.outsFalse = j.outsFalse;
    s.flags = j.statusFlags;
    s.ids = j.componentIDs;
    if (!j.message.empty()) {
        s.outsTrue.insert(s.outsTrue.begin(), -9999);
        s.outsFalse.insert(s.outsFalse.begin(), -9999);
        s.flags.insert(s.flags.begin(), 0);
        s.ids.insert(s.ids.begin(), j.message);
    }
    return s;
}

Bytes JobEngine::getData(const Job& j, const std::string& name) {
    std::lock_guard lock(mutex_);
    auto it = j.data.find(name);
    if (it == j.data.end()) fail("job " + j.id + " has no data item '" + name + "'", 404);
    return it->second;
}

void JobEngine::putData(const Job& j, const std::string& name, Bytes bytes) {
    std::lock_guard lock(mutex_);
    if (bytes.size() > settings_.maxDataBytes) fail("job data item is too large", 413);
    const_cast<Job&>(j).data[name] = std::move(bytes);
}

size_t JobEngine::runningCount() {
    std::lock_guard lock(mutex_);
    size_t n = 0;
    for (auto& [id, j] : jobs_)
        if (!isSettled(j->state)) ++n;
    return n;
}

size_t JobEngine::jobCount() {
    std::lock_guard lock(mutex_);
    return jobs_.size();
}

size_t JobEngine::workerCount() {
    std::lock_guard lock(mutex_);
    return workers_;
}

static const Values* paramValues(const Job& j, std::string_view name) {
    for (const auto& [n, v] : j.params)
        if (n == name) return &v;
    return nullptr;
}

static void setResult(Job& j, const std::string& name, Values values) {
    for (auto& [n, v] : j.results) {
        if (n == name) {
            v = std::move(values);
            return;
        }
    }
    j.results.emplace_back(name, std::move(values));
}

std::string JobEngine::substitute(const Job& j, const std::string& text) {
    std::string out;
    size_t i = 0;
    while (i < text.size()) {
        if (text.compare(i, 2, "${") == 0) {
            size_t end = text.find('}', i + 2);
            if (end != std::string::npos) {
                std::string name = text.substr(i + 2, end - i - 2);
                if (name == "JobID") {
                    out += j.id;
                } else if (name == "JobDirectory") {
                    out += j.dir.generic_string();
                } else if (name == "User") {
                    out += j.user;
                } else if (const Values* v = paramValues(j, name)) {
                    out += v->empty() ? std::string() : v->front();
                } else {
                    // Results of earlier steps (e.g. temporary file names).
                    for (const auto& [n, v] : j.results)
                        if (n == name && !v.empty()) out += v.front();
                }
                i = end + 1;
                continue;
            }
        }
        out += text[i++];
    }
    return out;
}

// Splits a comma-separated attribute into trimmed, non-empty pieces.
static std::vector<std::string> listAttr(const std::string& text) {
    std::vector<std::string> out;
    for (auto& piece : split(text, ',')) {
        auto t = trim(piece);
        if (!t.empty()) out.push_back(t);
    }
    return out;
}


// ------------------------------------------------------------------ runs

struct JobEngine::Run {
    std::unique_lock<std::mutex>& lock;  // holds the engine's mutex, except while waiting
    std::shared_ptr<Job> job;
    unsigned gen;
    bool hadErrors = false;
    bool alive() const { return job->generation == gen; }
};

void JobEngine::run(std::shared_ptr<Job> j, Component c, unsigned gen) {
    std::unique_lock lock(mutex_);
    Run r{lock, j, gen};
    try {
        runScript(r, c);
    } catch (const std::exception& e) {
        // Whatever escaped the steps ends the job, never the server.
        if (r.alive()) {
            j->errors.emplace_back(std::string("The runner failed: ") + e.what(), "runner");
            finish(r, state::Failed);
        }
    }
    j->workerActive = false;
    --workers_;
    j->cv.notify_all();
    idle_.notify_all();
    // The lock's release is this thread's last use of the engine.
}

void JobEngine::finish(Run& r, int s) {
    if (!r.alive()) return;
    r.job->state = s;
    r.job->cv.notify_all();
}

bool JobEngine::sleepFor(Run& r, int ms) {
    Job& j = *r.job;
    j.cv.wait_for(r.lock, std::chrono::milliseconds(std::max(ms, 0)), [&] { return j.stop || !r.alive(); });
    return !j.stop && r.alive();
}

void JobEngine::runScript(Run& r, const Component& c) {
    Job& j = *r.job;
    if (settings_.queueMs > 0 && !sleepFor(r, settings_.queueMs)) return finish(r, state::Stopped);
    if (!r.alive()) return;
    j.state = state::Running;
    j.cv.notify_all();
    if (!checkParameters(r, c)) return finish(r, state::Failed);
    for (const Step& s : c.script) {
        if (j.stop) return finish(r, state::Stopped);
        if (!r.alive()) return;
        // Statistics: one entry per step run so far.
        j.componentIDs.push_back(s.id);
        j.outsTrue.push_back(0);
        j.outsFalse.push_back(0);
        j.statusFlags.push_back(1);
        StepEnd end;
        try {
            end = runStep(r, s);
        } catch (const std::exception& e) {
            if (!r.alive()) return;
            j.errors.emplace_back(std::string("Step ") + s.id + " failed: " + e.what(), s.id);
            j.outsFalse.back() = 1;
            return finish(r, state::Failed);
        }
        switch (end) {
            case StepEnd::Succeeded: j.outsTrue.back() = 1; break;
            case StepEnd::Failed:
                j.outsFalse.back() = 1;
                r.hadErrors = true;
                break;
            case StepEnd::JobEnded:
            case StepEnd::Abandoned: return;
        }
    }
    finish(r, r.hadErrors ? state::FinishedWithErrors : state::Finished);
}

bool JobEngine::checkParameters(Run& r, const Component& c) {
    Job& j = *r.job;
    std::map<std::string, std::vector<std::string>> given;
    for (const auto& [n, v] : j.params) given[n] = v;
    for (const auto& v : validate(c, given))
        if (v.isEnabled && !v.isValid) j.errors.emplace_back("Parameter " + v.name + ": " + v.invalidDetails, v.name);
    return j.errors.empty();
}

JobEngine::StepEnd JobEngine::runStep(Run& r, const Step& s) {
    static const std::map<std::string, StepFn> serverSteps = {
        {"setResult", &JobEngine::stepSetResult}, {"sum", &JobEngine::stepSum},
        {"wait", &JobEngine::stepWait},           {"message", &JobEngine::stepMessage},
        {"writeFile", &JobEngine::stepWriteFile}, {"error", &JobEngine::stepError},
        {"fail", &JobEngine::stepFail},           {"state", &JobEngine::stepState},
        {"pause", &JobEngine::stepPause}};
    static const std::map<std::string, DescribeFn> clientSteps = {
        {"clientTempFiles", &JobEngine::describeTempFiles}, {"downloadToClient", &JobEngine::describeDownload},
        {"uploadToServer", &JobEngine::describeUpload},     {"runProgram", &JobEngine::describeProgram},
        {"instructions", &JobEngine::describeInstructions}};
    if (auto it = serverSteps.find(s.kind); it != serverSteps.end()) return (this->*it->second)(r, s);
    auto it = clientSteps.find(s.kind);
    if (it == clientSteps.end()) throw Fault("unknown step kind '" + s.kind + "'");
    Job& j = *r.job;
    // What every client step description holds.
    PropertyCollection d;
    std::string clientTemp;
    if (const Values* v = paramValues(j, "ClientTempDirectory"); v && !v->empty()) clientTemp = v->front();
    std::string runDir = clientTemp.empty() ? "/tmp/qorvane-client/" + j.id : clientTemp + "/" + j.id;
    d.setText("ClientRunDirectory", substitute(j, s.attr("runDirectory", runDir)));
    d.setText("RunId", j.id);
    (this->*it->second)(r, s, d);
    return clientStep(r, s, std::move(d));
}

// ------------------------------------------------------------------ server steps

JobEngine::StepEnd JobEngine::stepSetResult(Run& r, const Step& s) {
    Job& j = *r.job;
    Values values;
    if (auto from = s.attr("fromParameter"); !from.empty()) {
        if (const Values* v = paramValues(j, from)) values = *v;
    } else if (s.attrs.count("values")) {
        for (auto& v : split(s.attr("values"), '|')) values.push_back(substitute(j, v));
    } else {
        values.push_back(substitute(j, s.attr("value", s.text)));
    }
    setResult(j, s.attr("name"), std::move(values));
    return StepEnd::Succeeded;
}

JobEngine::StepEnd JobEngine::stepSum(Run& r, const Step& s) {
    Job& j = *r.job;
    double total = 0;
    bool integral = true;
    for (const auto& name : listAttr(s.attr("of"))) {
        const Values* v = paramValues(j, name);
        std::string text = v && !v->empty() ? v->front() : "0";
        char* end = nullptr;
        double d = std::strtod(text.c_str(), &end);
        if (!end || *end != '\0') throw Fault("'" + text + "' is not a number (" + name + ")");
        if (text.find_first_of(".eE") != std::string::npos) integral = false;
        total += d;
    }
    std::ostringstream o;
    if (integral && total > -9.0e18 && total < 9.0e18)
        o << static_cast<long long>(total);
    else
        o << total;
    setResult(j, s.attr("name"), {o.str()});
    return StepEnd::Succeeded;
}

JobEngine::StepEnd JobEngine::stepWait(Run& r, const Step& s) {
    if (sleepFor(r, std::atoi(substitute(*r.job, s.attr("ms", "100")).c_str()))) return StepEnd::Succeeded;
    if (!r.alive()) return StepEnd::Abandoned;
    finish(r, state::Stopped);
    return StepEnd::JobEnded;
}

JobEngine::StepEnd JobEngine::stepMessage(Run& r, const Step& s) {
    r.job->message = substitute(*r.job, s.attr("text", s.text));
    return StepEnd::Succeeded;
}

JobEngine::StepEnd JobEngine::stepWriteFile(Run& r, const Step& s) {
    Job& j = *r.job;
    const Jail dir = root_.sub(j.rel);
    dir.write(dir.locate(substitute(j, s.attr("path"))), substitute(j, s.text), s.attr("append") == "true");
    return StepEnd::Succeeded;
}

JobEngine::StepEnd JobEngine::stepError(Run& r, const Step& s) {
    r.job->errors.emplace_back(substitute(*r.job, s.attr("message", s.text)), s.attr("component", s.id));
    return StepEnd::Failed;
}

JobEngine::StepEnd JobEngine::stepFail(Run& r, const Step& s) {
    r.job->errors.emplace_back(substitute(*r.job, s.attr("message", s.text)), s.attr("component", s.id));
    r.job->outsFalse.back() = 1;
    finish(r, state::Failed);
    return StepEnd::JobEnded;
}

JobEngine::StepEnd JobEngine::stepState(Run& r, const Step& s) {
    Job& j = *r.job;
    j.state = std::atoi(s.attr("value", "2").c_str());
    j.cv.notify_all();
    bool going = sleepFor(r, std::atoi(s.attr("ms", "200").c_str()));
    if (!r.alive()) return StepEnd::Abandoned;
    j.state = state::Running;
    if (going) return StepEnd::Succeeded;
    finish(r, state::Stopped);
    return StepEnd::JobEnded;
}

JobEngine::StepEnd JobEngine::stepPause(Run& r, const Step&) {
    Job& j = *r.job;
    j.state = state::Paused;
    j.resume = false;
    j.cv.notify_all();
    j.cv.wait(r.lock, [&] { return j.resume || j.stop || !r.alive(); });
    if (!r.alive()) return StepEnd::Abandoned;
    if (j.stop) {
        finish(r, state::Stopped);
        return StepEnd::JobEnded;
    }
    j.state = state::Running;
    return StepEnd::Succeeded;
}

// ------------------------------------------------------------------ client steps

void JobEngine::describeTempFiles(Run&, const Step& s, PropertyCollection& d) {
    d.setTexts("ClientTempFiles", listAttr(s.attr("properties")));
}

void JobEngine::describeDownload(Run& r, const Step& s, PropertyCollection& d) {
    Job& j = *r.job;
    const Jail dir = root_.sub(j.rel);
    d.setFlag("DownloadToClient", true);
    Values sources, destinations;
    // Absolute server paths of files inside the job directory.
    for (auto& src : listAttr(s.attr("source"))) sources.push_back((j.dir / dir.locate(substitute(j, src))).generic_string());
    for (auto& dst : listAttr(s.attr("destination"))) destinations.push_back(substitute(j, dst));
    d.setTexts("Source", sources);
    d.setTexts("Destination", destinations);
    std::vector<long long> expanded;
    for (auto& e : listAttr(s.attr("expanded", "-1"))) expanded.push_back(std::atoll(e.c_str()));
    d.setIntegers("Expanded", expanded);
}

void JobEngine::describeUpload(Run& r, const Step& s, PropertyCollection& d) {
    Job& j = *r.job;
    d.setFlag("UploadToServer", true);
    Values sources, destinations;
    for (auto& src : listAttr(s.attr("source"))) sources.push_back(substitute(j, src));
    for (auto& dst : listAttr(s.attr("destination", j.dir.generic_string()))) destinations.push_back(substitute(j, dst));
    d.setTexts("Source", sources);
    d.setTexts("Destination", destinations);
    d.setText("RunDirectory", j.dir.generic_string());
    if (s.attrs.count("ifFileMissing")) d.setText("IfFileMissing", s.attr("ifFileMissing"));
}

void JobEngine::describeProgram(Run& r, const Step& s, PropertyCollection& d) {
    Job& j = *r.job;
    d.setFlag("ClientRunProgram", true);
    d.setText("CommandLine", substitute(j, s.attr("commandLine", s.text)));
    d.setFlag("WaitForExit", s.attr("waitForExit") == "true");
    d.setFlag("UseCmd", s.attr("useCmd") == "true");
    if (s.attrs.count("console")) d.setText("Console", s.attr("console"));
    if (s.attrs.count("stdin")) d.setText("Stdin", substitute(j, s.attr("stdin")));
    if (s.attrs.count("environment")) d.setText("Environment", s.attr("environment"));
    d.setText("StdoutProperty", s.attr("stdoutProperty"));
    d.setText("StderrProperty", s.attr("stderrProperty"));
    d.setText("PropertyForExitStatus", s.attr("exitStatusProperty"));
}

void JobEngine::describeInstructions(Run& r, const Step& s, PropertyCollection& d) {
    d.setText("ClientInstructions", substitute(*r.job, s.attr("text", s.text)));
}

static const char kDescriptionItem[] = "TransferComponentFileName";
static const char kErrorItem[] = "TransferErrorsFileName";

JobEngine::StepEnd JobEngine::clientStep(Run& r, const Step& s, PropertyCollection d) {
    Job& j = *r.job;
    j.data[kDescriptionItem] = d.toXml();
    j.data.erase(kErrorItem);
    j.resume = false;
    j.state = state::WaitingForClient;
    j.cv.notify_all();
    auto woken = [&] { return j.resume || j.stop || !r.alive(); };
    if (settings_.clientTimeoutMs > 0) {
        if (!j.cv.wait_for(r.lock, std::chrono::milliseconds(settings_.clientTimeoutMs), woken)) {
            j.errors.emplace_back("The client did not carry out step " + s.id + " in time", s.id);
            j.outsFalse.back() = 1;
            finish(r, state::ClientTimedOut);
            return StepEnd::JobEnded;
        }
    } else {
        j.cv.wait(r.lock, woken);
    }
    if (!r.alive()) return StepEnd::Abandoned;
    if (j.stop) {
        finish(r, state::StoppedWhileWaiting);
        return StepEnd::JobEnded;
    }
    j.state = state::Running;
    j.cv.notify_all();
    if (readClientReply(r, s)) return StepEnd::Succeeded;
    if (s.attr("onClientError") != "fail") return StepEnd::Failed;
    j.outsFalse.back() = 1;
    finish(r, state::ClientStepFailed);
    return StepEnd::JobEnded;
}

bool JobEngine::readClientReply(Run& r, const Step& s) {
    Job& j = *r.job;
    bool ok = true;
    if (auto it = j.data.find(kErrorItem); it != j.data.end()) {
        try {
            auto report = PropertyCollection::fromXml(it->second);
            auto stack = report.text("ClientErrorStack").value_or("");
            j.errors.emplace_back(stack.empty() ? "The client reported an error" : stack, s.id);
        } catch (const std::exception& e) {
            j.errors.emplace_back(std::string("The client's error report is malformed: ") + e.what(), s.id);
        }
        ok = false;
    }
    PropertyCollection back;
    try {
        back = PropertyCollection::fromXml(j.data[kDescriptionItem]);
    } catch (const std::exception& e) {
        j.errors.emplace_back(std::string("The client's step description is malformed: ") + e.what(), s.id);
        ok = false;
    }
    auto record = [&](const std::string& resultName, const std::string& key) {
        if (resultName.empty()) return;
        if (const Property* p = back.find(key)) setResult(j, resultName, p->values);
    };
    if (s.kind == "clientTempFiles") {
        for (auto& name : listAttr(s.attr("properties"))) record(name, name);
    } else if (s.kind == "runProgram") {
        record(s.attr("stdoutProperty"), "Stdout");
        record(s.attr("stderrProperty"), "Stderr");
        record(s.attr("exitStatusProperty"), "ExitStatus");
    }
    for (auto& name : listAttr(s.attr("returns"))) record(name, name);
    const Jail dir = root_.sub(j.rel);
    for (auto& name : listAttr(s.attr("verify"))) {
        bool there = false;
        try {
            there = dir.isFile(dir.locate(name));
        } catch (const Fault&) {
        }
        if (!there) {
            j.errors.emplace_back("Expected file " + name + " was not uploaded", s.id);
            ok = false;
        }
    }
    return ok;
}

}  // namespace emu
