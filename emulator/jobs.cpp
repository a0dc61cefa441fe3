#include "jobs.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

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

JobEngine::JobEngine(const Catalogue& catalogue, fs::path jobsDir, fs::path root)
    : catalogue_(catalogue), jobsDir_(std::move(jobsDir)), root_(std::move(root)) {}

JobEngine::~JobEngine() { shutdown(); }

void JobEngine::shutdown() {
    std::vector<std::shared_ptr<Job>> all;
    {
        std::lock_guard lock(mutex_);
        shuttingDown_ = true;
        for (auto& [id, j] : jobs_) {
            j->stop = true;
            j->cv.notify_all();
            all.push_back(j);
        }
    }
    for (auto& j : all) joinWorker(j);
}

void JobEngine::joinWorker(const std::shared_ptr<Job>& j) {
    std::thread t;
    {
        std::lock_guard lock(mutex_);
        t = std::move(j->worker);
    }
    if (t.joinable()) t.join();
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
    j->dir = jobsDir_ / user / j->id;
    std::error_code ec;
    fs::create_directories(j->dir, ec);
    if (ec) fail("job directory cannot be created: " + ec.message(), 500);
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
    if (j->state != state::Created || j->worker.joinable())
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
    j->running = true;
    j->worker = std::thread(&JobEngine::run, this, j, std::move(c), gen);
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
    {
        std::lock_guard lock(mutex_);
        j->stop = true;
        j->cv.notify_all();
        if (!j->worker.joinable() && !isFinal(j->state) && j->state != state::Created) j->state = state::Stopped;
    }
    joinWorker(j);
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

void JobEngine::run(std::shared_ptr<Job> j, Component c, unsigned gen) {
    try {
        runScript(j, std::move(c), gen);
    } catch (const std::exception& e) {
        // Whatever escaped the steps ends the job, never the server.
        std::lock_guard lock(mutex_);
        if (j->generation == gen) {
            j->errors.emplace_back(std::string("The runner failed: ") + e.what(), "runner");
            j->state = state::Failed;
            j->running = false;
            j->cv.notify_all();
        }
    }
}

void JobEngine::runScript(std::shared_ptr<Job> j, Component c, unsigned gen) {
    std::unique_lock lock(mutex_);
    auto alive = [&] { return j->generation == gen; };
    auto finish = [&](int s) {
        if (!alive()) return;
        j->state = s;
        j->running = false;
        j->cv.notify_all();
    };
    // Interruptible sleep; false when the job was stopped meanwhile.
    auto sleepFor = [&](int ms) {
        j->cv.wait_for(lock, std::chrono::milliseconds(std::max(ms, 0)), [&] { return j->stop || !alive(); });
        return !j->stop && alive();
    };
    if (settings_.queueMs > 0 && !sleepFor(settings_.queueMs)) return finish(state::Stopped);
    if (!alive()) return;
    j->state = state::Running;
    j->cv.notify_all();

    // Parameters are checked against the declared rules before the first step.
    std::map<std::string, std::vector<std::string>> given;
    for (const auto& [n, v] : j->params) given[n] = v;
    for (const auto& v : validate(c, given)) {
        if (v.isEnabled && !v.isValid) j->errors.emplace_back("Parameter " + v.name + ": " + v.invalidDetails, v.name);
    }
    if (!j->errors.empty()) return finish(state::Failed);

    bool hadErrors = false;
    for (const Step& s : c.script) {
        if (j->stop) return finish(state::Stopped);
        if (!alive()) return;
        j->componentIDs.push_back(s.id);
        j->outsTrue.push_back(0);
        j->outsFalse.push_back(0);
        j->statusFlags.push_back(1);
        bool ok = true;
        try {
            if (s.kind == "setResult") {
                Values values;
                if (auto from = s.attr("fromParameter"); !from.empty()) {
                    if (const Values* v = paramValues(*j, from)) values = *v;
                } else if (s.attrs.count("values")) {
                    for (auto& v : split(s.attr("values"), '|')) values.push_back(substitute(*j, v));
                } else {
                    values.push_back(substitute(*j, s.attr("value", s.text)));
                }
                setResult(*j, s.attr("name"), std::move(values));
            } else if (s.kind == "sum") {
                double total = 0;
                bool integral = true;
                for (const auto& name : listAttr(s.attr("of"))) {
                    const Values* v = paramValues(*j, name);
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
                setResult(*j, s.attr("name"), {o.str()});
            } else if (s.kind == "wait") {
                if (!sleepFor(std::atoi(substitute(*j, s.attr("ms", "100")).c_str()))) return finish(state::Stopped);
            } else if (s.kind == "message") {
                j->message = substitute(*j, s.attr("text", s.text));
            } else if (s.kind == "writeFile") {
                auto path = resolveInside(j->dir, j->dir, substitute(*j, s.attr("path")));
                writeFile(path, substitute(*j, s.text), s.attr("append") == "true");
            } else if (s.kind == "error") {
                j->errors.emplace_back(substitute(*j, s.attr("message", s.text)), s.attr("component", s.id));
                hadErrors = true;
                ok = false;
            } else if (s.kind == "fail") {
                j->errors.emplace_back(substitute(*j, s.attr("message", s.text)), s.attr("component", s.id));
                return finish(state::Failed);
            } else if (s.kind == "state") {
                j->state = std::atoi(s.attr("value", "2").c_str());
                j->cv.notify_all();
                bool going = sleepFor(std::atoi(s.attr("ms", "200").c_str()));
                if (!alive()) return;
                j->state = state::Running;
                if (!going) return finish(state::Stopped);
            } else if (s.kind == "pause") {
                j->state = state::Paused;
                j->resume = false;
                j->cv.notify_all();
                j->cv.wait(lock, [&] { return j->resume || j->stop || !alive(); });
                if (!alive()) return;
                if (j->stop) return finish(state::Stopped);
                j->state = state::Running;
            } else {
                PropertyCollection d;
                std::string clientTemp;
                if (const Values* v = paramValues(*j, "ClientTempDirectory"); v && !v->empty()) clientTemp = v->front();
                std::string runDir = clientTemp.empty() ? "/tmp/qorvane-client/" + j->id : clientTemp + "/" + j->id;
                d.setText("ClientRunDirectory", substitute(*j, s.attr("runDirectory", runDir)));
                d.setText("RunId", j->id);
                if (s.kind == "clientTempFiles") {
                    d.setTexts("ClientTempFiles", listAttr(s.attr("properties")));
                } else if (s.kind == "downloadToClient") {
                    d.setFlag("DownloadToClient", true);
                    Values sources, destinations;
                    for (auto& src : listAttr(s.attr("source"))) {
                        auto p = resolveInside(j->dir, j->dir, substitute(*j, src));
                        sources.push_back(p.generic_string());
                    }
                    for (auto& dst : listAttr(s.attr("destination"))) destinations.push_back(substitute(*j, dst));
                    d.setTexts("Source", sources);
                    d.setTexts("Destination", destinations);
                    std::vector<long long> expanded;
                    for (auto& e : listAttr(s.attr("expanded", "-1"))) expanded.push_back(std::atoll(e.c_str()));
                    d.setIntegers("Expanded", expanded);
                } else if (s.kind == "uploadToServer") {
                    d.setFlag("UploadToServer", true);
                    Values sources, destinations;
                    for (auto& src : listAttr(s.attr("source"))) sources.push_back(substitute(*j, src));
                    for (auto& dst : listAttr(s.attr("destination", j->dir.generic_string())))
                        destinations.push_back(substitute(*j, dst));
                    d.setTexts("Source", sources);
                    d.setTexts("Destination", destinations);
                    d.setText("RunDirectory", j->dir.generic_string());
                    if (s.attrs.count("ifFileMissing")) d.setText("IfFileMissing", s.attr("ifFileMissing"));
                } else if (s.kind == "runProgram") {
                    d.setFlag("ClientRunProgram", true);
                    d.setText("CommandLine", substitute(*j, s.attr("commandLine", s.text)));
                    d.setFlag("WaitForExit", s.attr("waitForExit") == "true");
                    d.setFlag("UseCmd", s.attr("useCmd") == "true");
                    if (s.attrs.count("console")) d.setText("Console", s.attr("console"));
                    if (s.attrs.count("stdin")) d.setText("Stdin", substitute(*j, s.attr("stdin")));
                    if (s.attrs.count("environment")) d.setText("Environment", s.attr("environment"));
                    d.setText("StdoutProperty", s.attr("stdoutProperty"));
                    d.setText("StderrProperty", s.attr("stderrProperty"));
                    d.setText("PropertyForExitStatus", s.attr("exitStatusProperty"));
                } else if (s.kind == "instructions") {
                    d.setText("ClientInstructions", substitute(*j, s.attr("text", s.text)));
                } else {
                    throw Fault("unknown step kind '" + s.kind + "'");
                }
                if (!clientStep(lock, j, s, std::move(d), gen, hadErrors)) return;
                if (isFinal(j->state)) {
                    j->running = false;
                    j->cv.notify_all();
                    return;
                }
            }
        } catch (const std::exception& e) {
            if (!alive()) return;
            j->errors.emplace_back(std::string("Step ") + s.id + " failed: " + e.what(), s.id);
            return finish(state::Failed);
        }
        if (!alive()) return;
        (ok ? j->outsTrue : j->outsFalse).back() = 1;
    }
    finish(hadErrors ? state::FinishedWithErrors : state::Finished);
}

// Publishes the step description, waits in state 3 for the client to resume
// the job, then reads back what the client wrote. Returns false when the job
// was cleared meanwhile (the worker must not touch it any more).
bool JobEngine::clientStep(std::unique_lock<std::mutex>& lock, const std::shared_ptr<Job>& j, const Step& s,
                           PropertyCollection d, unsigned gen, bool& hadErrors) {
    const std::string descKey = "TransferComponentFileName", errKey = "TransferErrorsFileName";
    j->data[descKey] = d.toXml();
    j->data.erase(errKey);
    j->resume = false;
    j->state = state::WaitingForClient;
    j->cv.notify_all();
    auto woken = [&] { return j->resume || j->stop || j->generation != gen; };
    if (settings_.clientTimeoutMs > 0) {
        if (!j->cv.wait_for(lock, std::chrono::milliseconds(settings_.clientTimeoutMs), woken)) {
            j->errors.emplace_back("The client did not carry out step " + s.id + " in time", s.id);
            j->state = state::ClientTimedOut;
            return true;
        }
    } else {
        j->cv.wait(lock, woken);
    }
    if (j->generation != gen) return false;
    if (j->stop) {
        j->state = state::StoppedWhileWaiting;
        return true;
    }
    j->state = state::Running;
    j->cv.notify_all();

    bool clientFailed = false;
    if (auto it = j->data.find(errKey); it != j->data.end()) {
        try {
            auto report = PropertyCollection::fromXml(it->second);
            auto stack = report.text("ClientErrorStack").value_or("");
            j->errors.emplace_back(stack.empty() ? "The client reported an error" : stack, s.id);
        } catch (const std::exception& e) {
            j->errors.emplace_back(std::string("The client's error report is malformed: ") + e.what(), s.id);
        }
        clientFailed = true;
    }
    PropertyCollection back;
    try {
        back = PropertyCollection::fromXml(j->data[descKey]);
    } catch (const std::exception& e) {
        j->errors.emplace_back(std::string("The client's step description is malformed: ") + e.what(), s.id);
        clientFailed = true;
    }
    auto record = [&](const std::string& resultName, const std::string& key) {
        if (resultName.empty()) return;
        if (const Property* p = back.find(key)) setResult(*j, resultName, p->values);
    };
    if (s.kind == "clientTempFiles") {
        for (auto& name : listAttr(s.attr("properties"))) record(name, name);
    } else if (s.kind == "runProgram") {
        record(s.attr("stdoutProperty"), "Stdout");
        record(s.attr("stderrProperty"), "Stderr");
        record(s.attr("exitStatusProperty"), "ExitStatus");
    }
    for (auto& name : listAttr(s.attr("returns"))) record(name, name);
    for (auto& name : listAttr(s.attr("verify"))) {
        std::error_code ec;
        if (!fs::is_regular_file(j->dir / name, ec)) {
            j->errors.emplace_back("Expected file " + name + " was not uploaded", s.id);
            clientFailed = true;
        }
    }
    if (clientFailed) {
        hadErrors = true;
        j->outsFalse.back() = 1;
        if (s.attr("onClientError") == "fail") j->state = state::ClientStepFailed;
    }
    return true;
}

}  // namespace emu
