// run: validate, launch, poll (with client steps), results, errors, release;
// and the job commands for jobs started elsewhere.
#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <thread>

#include <unistd.h>

#include "context.h"
#include "parameters.h"

namespace pelox::cli {

namespace {

using Clock = std::chrono::steady_clock;

std::string seconds(double s) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1fs", s);
    return text;
}

double since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

struct JobError {
    std::string component, message;
};

std::vector<JobError> jobErrors(Context& c, const std::u16string& job) {
    check("pelox_getJobErrors",
          pelox_getJobErrors(c.session().c_str(), job.c_str(), c.objects.array(0), c.objects.array(1)));
    const std::vector<std::string> messages = items(c.objects.array(0)), components = items(c.objects.array(1));
    std::vector<JobError> out;
    for (size_t i = 0; i < messages.size(); ++i) out.push_back({i < components.size() ? components[i] : "", messages[i]});
    return out;
}

NamedValues jobResults(Context& c, const std::u16string& job) {
    const int32_t info = c.objects.resultInfo();
    check("pelox_getJobResults", pelox_getJobResults(c.session().c_str(), job.c_str(), info));
    return namedValues(info, c.objects);
}

Json resultsJson(const NamedValues& results) {
    Json doc = Json::object();
    for (const auto& [name, values] : results) doc[name] = values;
    return doc;
}

Json errorsJson(const std::vector<JobError>& errors) {
    Json list = Json::array();
    for (const JobError& e : errors) list.push_back({{"component", e.component}, {"message", e.message}});
    return list;
}

void printResults(const Output& out, const NamedValues& results) {
    if (results.empty()) {
        out.line("Results: none");
        return;
    }
    out.line("Results");
    if (out.json) return;
    Table table({"NAME", "VALUES"});
    for (const auto& [name, values] : results) table.add({name, joined(values)});
    table.print("  ");
}

void printErrors(const Output& out, const std::vector<JobError>& errors) {
    if (errors.empty()) {
        out.line("Errors: none");
        return;
    }
    out.line("Errors");
    if (out.json) return;
    Table table({"COMPONENT", "MESSAGE"});
    for (const JobError& e : errors) table.add({e.component, e.message});
    table.print("  ");
}

// How a job in the given state ended ("" while it is not over); a finished
// job's errors tell a success from a finish with errors.
std::string finalOutcome(Context& c, const std::u16string& job, int32_t state) {
    if (!jobStateIsFinal(state)) return {};
    return jobOutcome(state, state == PELOX_JOB_FINISHED && !jobErrors(c, job).empty());
}

// One poll: the state and the status message.
struct Poll {
    int32_t state = PELOX_JOB_UNKNOWN;
    std::string message;
};

Poll poll(Context& c, const std::u16string& job) {
    Poll p;
    const int32_t messages = c.objects.array(2);
    check("pelox_getJobStatus", pelox_getJobStatus(c.session().c_str(), job.c_str(), &p.state, messages));
    p.message = joined(items(messages), " ");
    return p;
}

// The instruction text of a job that waits for the client ("" when none).
std::string instructions(Context& c, const std::u16string& job) {
    const int32_t s = c.objects.string(2);
    const int32_t rc = pelox_getClientInstructions(s, job.c_str());
    if (rc == PELOX_E_NOT_WAITING_FOR_CLIENT) return {};
    check("pelox_getClientInstructions", rc);
    return text(s);
}

// The library shows each client step before it carries it out
// (PELOX_JOB_PREVIEW_CLIENT_STEPS): the job's instruction text is then a
// description of the step, which always begins with this.
bool isStepPreview(const std::string& text) { return text.rfind("Client step: ", 0) == 0; }

// The words the library's step description uses on its first line, and the
// kind each names in JSON documents.
struct StepKind {
    const char* words;
    const char* kind;
};
constexpr StepKind kStepKinds[] = {
    {"create temporary files", "temporary_files"},
    {"copy files to this machine", "copy_to_client"},
    {"copy files from this machine to the server", "copy_to_server"},
    {"run a program", "run_program"},
    {"instructions for the host", "instructions"},
    {"none", "none"},
    {"its description could not be read", "unreadable"},
};

// A command line split into the program and its arguments, as the library
// splits it when it starts a program without the shell: blanks separate,
// double quotes group, and inside quotes a backslash escapes a quote or a
// backslash.
std::vector<std::string> splitCommandLine(const std::string& text) {
    std::vector<std::string> out;
    std::string current;
    bool inArgument = false, quoted = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char ch = text[i];
        if (quoted) {
            if (ch == '\\' && i + 1 < text.size() && (text[i + 1] == '"' || text[i + 1] == '\\'))
                current += text[++i];
            else if (ch == '"')
                quoted = false;
            else
                current += ch;
        } else if (ch == ' ' || ch == '\t') {
            if (inArgument) out.push_back(current);
            current.clear();
            inArgument = false;
        } else if (ch == '"') {
            quoted = inArgument = true;
        } else {
            current += ch;
            inArgument = true;
        }
    }
    if (inArgument) out.push_back(current);
    return out;
}

std::vector<std::string> splitList(const std::string& text) {
    std::vector<std::string> out;
    for (size_t start = 0; !text.empty() && start <= text.size();) {
        const size_t comma = text.find(", ", start);
        out.push_back(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (comma == std::string::npos) break;
        start = comma + 2;
    }
    return out;
}

// A client step as the library describes it (its text), and in a structured
// form read from that text: the kind, what runs, what is copied where.
Json stepJson(const std::string& text) {
    Json step{{"text", text},
              {"kind", nullptr},
              {"program", nullptr},
              {"arguments", Json::array()},
              {"commandLine", nullptr},
              {"shell", false},
              {"waits", nullptr},
              {"sources", Json::array()},
              {"destinations", Json::array()},
              {"missingFileIsError", nullptr},
              {"temporaryFiles", Json::array()},
              {"folder", nullptr},
              {"runDirectory", nullptr},
              {"instructions", nullptr}};
    const std::vector<std::string> lines = splitAt(text, '\n');
    const std::string heading = lines[0].rfind("Client step: ", 0) == 0 ? lines[0].substr(13) : lines[0];
    for (const StepKind& k : kStepKinds)
        if (heading.rfind(k.words, 0) == 0) step["kind"] = k.kind;
    const std::string kind = step["kind"].is_null() ? std::string() : step["kind"].get<std::string>();
    std::vector<std::string> rest;
    for (size_t i = 1; i < lines.size(); ++i)
        rest.push_back(lines[i].rfind("  ", 0) == 0 ? lines[i].substr(2) : lines[i]);
    if (kind == "instructions") {
        std::string said;
        for (size_t i = 0; i < rest.size(); ++i) said += (i ? "\n" : "") + rest[i];
        step["instructions"] = said;
        return step;
    }
    auto after = [](const std::string& line, const char* label) -> std::optional<std::string> {
        const size_t n = std::strlen(label);
        if (line.compare(0, n, label) == 0) return line.substr(n);
        return std::nullopt;
    };
    for (const std::string& line : rest) {
        if (auto v = after(line, "folder made first: ")) {
            step["runDirectory"] = *v;
        } else if (kind == "temporary_files") {
            if (auto names = after(line, "for: ")) step["temporaryFiles"] = splitList(*names);
            if (auto folder = after(line, "in folder: ")) step["folder"] = *folder;
        } else if (kind == "copy_to_client" || kind == "copy_to_server") {
            if (auto from = after(line, "from: ")) {
                step["sources"] = splitList(*from);
            } else if (auto to = after(line, "to: ")) {
                step["destinations"] = splitList(*to);
            } else if (auto missing = after(line, "a missing file is ")) {
                step["missingFileIsError"] = *missing == "an error";
            } else if (const size_t arrow = line.find(" -> "); arrow != std::string::npos) {
                step["sources"].push_back(line.substr(0, arrow));
                step["destinations"].push_back(line.substr(arrow + 4));
            }
        } else if (kind == "run_program") {
            if (auto commandLine = after(line, "command line: ")) step["commandLine"] = *commandLine;
            if (line == "through the shell (/bin/sh -c)") step["shell"] = true;
            if (line == "waits for the program to end") step["waits"] = true;
            if (line == "does not wait for the program") step["waits"] = false;
        }
    }
    if (kind == "run_program" && step["commandLine"].is_string()) {
        const std::string commandLine = step["commandLine"];
        std::vector<std::string> words =
            step["shell"].get<bool>() ? std::vector<std::string>{"/bin/sh", "-c", commandLine} : splitCommandLine(commandLine);
        if (!words.empty()) {
            step["program"] = words[0];
            step["arguments"] = std::vector<std::string>(words.begin() + 1, words.end());
        }
    }
    return step;
}

// Prints a client step before the next poll carries it out: on standard
// output for people, on standard error next to a JSON document (the document
// lists the steps as well), so that the step is seen before it happens in
// both modes.
void showStep(Context& c, const std::string& prefix, const std::string& step) {
    std::string text = prefix + step;
    for (size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at + 1))
        text.insert(at + 1, std::string(prefix.size(), ' '));
    if (c.out.json)
        c.out.note(text);
    else
        c.out.line(text);
}

// Polls a job and, while the poll shows a client step, prints the step and
// polls again, which carries it out. Returns the last poll and any
// instruction text for the host; steps collects the steps shown.
Poll pollThroughSteps(Context& c, const std::u16string& job, std::string& said, Json& steps,
                      const std::string& prefix) {
    Poll p = poll(c, job);
    said.clear();
    while (p.state == PELOX_JOB_WAITING_FOR_CLIENT) {
        said = instructions(c, job);
        if (!isStepPreview(said)) break;
        showStep(c, prefix, said);
        steps.push_back(stepJson(said));
        said.clear();
        p = poll(c, job);
    }
    return p;
}

// Asks on standard error whether to carry out the step just shown; the
// answer is a line from standard input. Only y or yes (any case) agrees: an
// empty line, anything else or the end of input declines.
bool confirmStep(Context& c) {
    c.out.progress("");
    std::fputs("Carry out this step? [y/N] ", stderr);
    std::fflush(stderr);
    std::string answer;
    const bool read = static_cast<bool>(std::getline(std::cin, answer));
    // Answers from a file or a pipe are not echoed: show them, so that the
    // log reads as the dialogue did.
    if (!::isatty(STDIN_FILENO)) std::fprintf(stderr, "%s\n", read ? answer.c_str() : "(end of input)");
    if (!read) return false;
    answer.erase(0, answer.find_first_not_of(" \t\r"));
    answer.erase(answer.find_last_not_of(" \t\r") + 1);
    for (char& ch : answer) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    return answer == "y" || answer == "yes";
}

// Stops a job and takes back its client-step options, so that no poll
// while it winds down carries out a step (one that waits is resumed past).
void stopWithoutSteps(Context& c, const std::u16string& job) {
    check("pelox_stopJob", pelox_stopJob(c.session().c_str(), job.c_str()));
    check("pelox_reconnectToJob", pelox_reconnectToJob(c.session().c_str(), job.c_str(), 0));
}

// Sleeps up to ms, waking early when interrupted; tick runs every 100 ms
// (the live progress line keeps its clock going between polls).
template <class Tick>
void pause(int ms, Tick tick) {
    for (int slept = 0; slept < ms && !interrupted(); slept += 20) {
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min(20, ms - slept)));
        if (slept % 100 == 80) tick();
    }
}

}  // namespace

int32_t clientStepFlags(const Args& args) {
    return args.has("no-client-steps")
               ? 0
               : PELOX_JOB_HANDLE_CLIENT_STEPS | PELOX_JOB_DEFER_TO_HOST | PELOX_JOB_PREVIEW_CLIENT_STEPS;
}

int cmdRun(Context& c) {
    const std::string protocol = c.args.positional[0];
    const bool clientSteps = !c.args.has("no-client-steps");
    const bool defer = c.args.has("defer");
    const bool confirm = c.args.has("confirm") && clientSteps;
    const bool keep = c.args.has("keep") || defer;
    const bool blocking = c.args.has("blocking");
    double timeout = 0;
    if (c.args.has("timeout")) {
        char* end = nullptr;
        const std::string value = c.args.value("timeout");
        timeout = std::strtod(value.c_str(), &end);
        if (end == value.c_str() || *end || !(timeout > 0) || !std::isfinite(timeout))
            throw Failure(kExitUsage, "--timeout needs a number of seconds, not '" + value + "'");
    }
    const Assignments assignments = parseAssignments(c.args.values("param"));

    // The parameters, with the values given, validated by the server.
    ProtocolParameters params(c, protocol);
    params.apply(assignments);
    const std::vector<ParameterRow> rows = params.rows();
    Json parameters = Json::object();
    std::vector<std::string> invalid;
    for (const ParameterRow& row : rows) {
        if (row.enabled) parameters[row.name] = row.values;
        if (row.enabled && !row.valid) invalid.push_back(row.name + ": " + row.invalidDetails);
    }
    if (!invalid.empty()) {
        std::fprintf(stderr, "pelox: the parameters of %s are not valid:\n", protocol.c_str());
        for (const std::string& line : invalid) std::fprintf(stderr, "  %s\n", line.c_str());
        if (c.out.json) {
            Json error{{"function", nullptr}, {"code", nullptr}, {"name", "invalid parameters"}, {"messages", invalid}, {"hints", Json::array()}};
            c.document(Json{{"error", error}});
        }
        return kExitNegative;
    }

    if (!c.out.json) {
        params.printHeader();
        c.out.line("Parameters");
        for (const ParameterRow& row : rows) {
            if (!row.enabled) continue;
            const bool set = std::any_of(assignments.begin(), assignments.end(), [&](const auto& a) {
                return a.first.size() == row.name.size() &&
                       std::equal(a.first.begin(), a.first.end(), row.name.begin(),
                                  [](char x, char y) { return std::tolower(x) == std::tolower(y); });
            });
            c.out.line("  " + row.name + " = " + joined(row.values) + (set ? "   (set with -p)" : ""));
        }
        c.out.line(clientSteps ? "Client steps: carried out on this machine as the server describes them "
                                 "(pelox run --help)"
                               : "Client steps: not carried out (--no-client-steps)");
    }

    const int32_t flags = clientStepFlags(c.args) | (blocking ? PELOX_JOB_BLOCKING : 0);
    const std::u16string& session = c.session();
    const std::u16string name = toU16(protocol);
    const int32_t jobString = c.objects.string(1);
    const Clock::time_point start = Clock::now();
    check("pelox_launchProtocol", pelox_launchProtocol(session.c_str(), name.c_str(), params.handle(), flags, jobString));
    const std::u16string job = reinterpret_cast<const char16_t*>(string_getText(jobString));
    const std::string jobText = toUtf8(job);
    c.out.line("Job " + jobText + " launched" + (blocking ? " (blocking)" : ""));

    Json events = Json::array();
    Json instructionTexts = Json::array();
    Json steps = Json::array();
    int32_t lastState = -1;
    std::string lastMessage;
    bool deferred = false, stopped = false, declined = false, timedOut = false, wasInterrupted = false;
    Poll last;
    int interval = 100;
    allowGracefulInterrupt(true);
    try {
        for (;;) {
            last = poll(c, job);
            const double t = since(start);
            if (last.state != lastState || last.message != lastMessage) {
                c.out.line("  " + seconds(t) + "  " + jobStateWords(last.state) +
                           (last.message.empty() ? "" : ": " + last.message));
                events.push_back({{"seconds", std::round(t * 1000) / 1000},
                                  {"state", last.state},
                                  {"stateName", jobStateName(last.state)},
                                  {"message", last.message}});
                lastState = last.state;
                lastMessage = last.message;
                interval = 100;
            }
            auto showProgress = [&] {
                c.out.progress(jobText + "  " + jobStateWords(last.state) + "  " + seconds(since(start)) +
                               (last.message.empty() ? "" : "  " + last.message));
            };
            if (!jobStateIsFinal(last.state)) showProgress();
            if (last.state == PELOX_JOB_WAITING_FOR_CLIENT) {
                const std::string said = instructions(c, job);
                if (isStepPreview(said)) {
                    // Shown now; the next poll carries it out, unless it is
                    // declined and the job stopped.
                    showStep(c, "  " + seconds(since(start)) + "  ", said);
                    steps.push_back(stepJson(said));
                    if (confirm && !stopped && !confirmStep(c)) {
                        declined = true;
                        c.out.note("pelox: step declined: stopping job " + jobText);
                        stopWithoutSteps(c, job);
                        stopped = true;
                    }
                    continue;
                }
                if (!said.empty()) {
                    c.out.line("  " + seconds(since(start)) + "  instructions: " + said);
                    instructionTexts.push_back(said);
                }
                if (defer) {
                    deferred = true;
                    break;
                }
                check("pelox_continueJob", pelox_continueJob(session.c_str(), job.c_str()));
                continue;
            }
            if (jobStateIsFinal(last.state)) break;
            if ((interrupted() || (timeout > 0 && since(start) > timeout)) && !stopped) {
                wasInterrupted = interrupted();
                timedOut = !wasInterrupted;
                c.out.note(std::string("pelox: ") + (wasInterrupted ? "interrupted" : "time-out") + ": stopping job " +
                           jobText);
                stopWithoutSteps(c, job);
                stopped = true;
                continue;
            }
            pause(interval, showProgress);
            interval = std::min(500, interval * 3 / 2);
        }
    } catch (...) {
        allowGracefulInterrupt(false);
        c.out.progress("");
        throw;
    }
    allowGracefulInterrupt(false);
    c.out.progress("");
    const double elapsed = since(start);

    NamedValues results;
    std::vector<JobError> errors;
    if (!deferred) {
        results = jobResults(c, job);
        errors = jobErrors(c, job);
    }
    bool released = false;
    if (!keep) {
        check("pelox_releaseJob", pelox_releaseJob(session.c_str(), job.c_str()));
        released = true;
    }
    // A job that finished while a step reported an error did not do what was
    // asked of it: that is its own outcome, not a success.
    const std::string outcome = deferred ? std::string() : jobOutcome(last.state, !errors.empty());
    const bool succeeded = outcome == "succeeded";

    if (c.out.json) {
        c.document(Json{{"protocol", protocol},
                        {"job", jobText},
                        {"parameterValues", parameters},
                        {"clientSteps", clientSteps},
                        {"blocking", blocking},
                        {"state", last.state},
                        {"stateName", jobStateName(last.state)},
                        {"outcome", outcome.empty() ? Json(nullptr) : Json(outcome)},
                        {"succeeded", succeeded},
                        {"elapsedSeconds", std::round(elapsed * 1000) / 1000},
                        {"events", events},
                        {"steps", steps},
                        {"instructions", instructionTexts},
                        {"results", resultsJson(results)},
                        {"errors", errorsJson(errors)},
                        {"deferred", deferred},
                        {"declined", declined},
                        {"interrupted", wasInterrupted},
                        {"timedOut", timedOut},
                        {"released", released}});
    } else if (deferred) {
        c.out.line("Job " + jobText + " waits for the client. Act on the instructions, then: pelox job continue " +
                   jobText);
        if (c.server->embedded() && !c.args.has("keep-server"))
            c.out.note("pelox: the embedded emulator stops now, and the job with it; --keep-server keeps it");
    } else {
        c.out.line("Job " + jobText + " " +
                   (outcome == "finished_with_errors" ? std::string("finished with errors") : jobStateWords(last.state)) +
                   " after " + seconds(elapsed));
        printResults(c.out, results);
        printErrors(c.out, errors);
        c.out.line(released ? "Job released" : "Job kept: pelox job release " + jobText);
    }
    if (wasInterrupted) return kExitInterrupted;
    if (deferred) return kExitOk;
    return outcomeExitStatus(outcome);
}

int cmdJob(Context& c, const std::string& action) {
    const std::string jobText = c.args.positional[0];
    const std::u16string job = toU16(jobText);
    const std::u16string& session = c.session();
    const bool steps = action == "status" || action == "continue";
    // A job started by another process (or another pelox) is unknown to this
    // library until it is found among the user's jobs on the server. results
    // polls once to learn the state: with steps shown, never carried out, so
    // that the poll leaves a waiting job waiting.
    const int32_t flags = steps                 ? clientStepFlags(c.args)
                          : action == "results" ? PELOX_JOB_HANDLE_CLIENT_STEPS | PELOX_JOB_DEFER_TO_HOST |
                                                      PELOX_JOB_PREVIEW_CLIENT_STEPS
                                                : 0;
    check("pelox_reconnectToJob", pelox_reconnectToJob(session.c_str(), job.c_str(), flags));
    Json doc{{"job", jobText}, {"action", action}};

    if (action == "status" || action == "continue") {
        std::string said;
        Json steps = Json::array();
        Poll p = pollThroughSteps(c, job, said, steps, "");
        bool resumed = false;
        if (action == "continue" && p.state == PELOX_JOB_WAITING_FOR_CLIENT) {
            check("pelox_continueJob", pelox_continueJob(session.c_str(), job.c_str()));
            resumed = true;
            p = poll(c, job);
        }
        const std::string outcome = finalOutcome(c, job, p.state);
        if (c.out.json) {
            doc["state"] = p.state;
            doc["stateName"] = jobStateName(p.state);
            doc["outcome"] = outcome.empty() ? Json(nullptr) : Json(outcome);
            doc["succeeded"] = outcome == "succeeded";
            doc["message"] = p.message;
            doc["instructions"] = said.empty() ? Json::array() : Json::array({said});
            doc["steps"] = steps;
            if (action == "continue") doc["resumed"] = resumed;
            c.document(doc);
            return outcomeExitStatus(outcome);
        }
        if (!said.empty()) c.out.line("Instructions: " + said);
        if (action == "continue")
            c.out.line(resumed ? "Job " + jobText + " resumed" : "Job " + jobText + " was not waiting for the client");
        c.out.line("Job " + jobText + ": " +
                   (outcome == "finished_with_errors" ? std::string("finished with errors") : jobStateWords(p.state)) +
                   " (" + std::to_string(p.state) + ")" + (p.message.empty() ? "" : ": " + p.message));
        return outcomeExitStatus(outcome);
    }
    if (action == "errors") {
        const std::vector<JobError> errors = jobErrors(c, job);
        if (c.out.json) {
            doc["errors"] = errorsJson(errors);
            c.document(doc);
        } else {
            printErrors(c.out, errors);
        }
        return kExitOk;
    }
    if (action == "results") {
        // One poll tells whether the job is over and how it ended. It carries
        // out no client step: the job was reconnected only to show steps.
        const Poll p = poll(c, job);
        const std::string outcome = finalOutcome(c, job, p.state);
        const NamedValues results = jobResults(c, job);
        if (c.out.json) {
            doc["state"] = p.state;
            doc["stateName"] = jobStateName(p.state);
            doc["outcome"] = outcome.empty() ? Json(nullptr) : Json(outcome);
            doc["succeeded"] = outcome == "succeeded";
            doc["results"] = resultsJson(results);
            c.document(doc);
        } else {
            printResults(c.out, results);
            if (outcome == "finished_with_errors") c.out.line("The job finished with errors: pelox job errors " + jobText);
            else if (!outcome.empty() && outcome != "succeeded") c.out.line("The job " + outcome);
        }
        return outcomeExitStatus(outcome);
    }
    std::string said;
    if (action == "stop") {
        check("pelox_stopJob", pelox_stopJob(session.c_str(), job.c_str()));
        said = "Stop requested for job " + jobText;
    } else if (action == "release") {
        check("pelox_releaseJob", pelox_releaseJob(session.c_str(), job.c_str()));
        said = "Released job " + jobText;
    } else {
        said = "Job " + jobText + " is known to the server";
    }
    if (c.out.json)
        c.document(doc);
    else
        c.out.line(said);
    return kExitOk;
}

}  // namespace pelox::cli
