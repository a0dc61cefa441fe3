// The runner: jobs of the emulator, each executing its protocol's script in a
// thread of its own that ends with the run. Server job states and the step
// kinds are listed in docs/server-contract.md.
#pragma once

#include "catalogue.h"
#include "jail.h"
#include "props.h"
#include "util.h"

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace emu {

namespace state {
inline constexpr int Finished = 0;
inline constexpr int FinishedWithErrors = 1;
inline constexpr int Running = 2;
inline constexpr int WaitingForClient = 3;
inline constexpr int Queued = 4;
inline constexpr int Failed = 5;
inline constexpr int Stopped = 6;
inline constexpr int ClientTimedOut = 7;
inline constexpr int ClientStepFailed = 8;
inline constexpr int StoppedWhileWaiting = 9;
inline constexpr int Paused = 11;
inline constexpr int Created = 13;
}  // namespace state

using Values = std::vector<std::string>;
using NamedValues = std::vector<std::pair<std::string, Values>>;

struct Job {
    std::string id, user, endpointPath, protocol;
    std::filesystem::path dir;  // absolute
    std::filesystem::path rel;  // the same, relative to the server root
    int state = state::Created;
    NamedValues params, results;
    std::vector<std::pair<std::string, std::string>> errors;  // message, component ID
    std::map<std::string, Bytes> data;
    std::vector<std::string> componentIDs;
    std::vector<int> outsTrue, outsFalse, statusFlags;
    std::string message;
    std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
    bool stop = false, resume = false;
    // A runner thread works on the job. The thread is detached and ends with
    // the run, so a finished job costs no thread; stop, release and clear
    // wait for this to turn false.
    bool workerActive = false;
    unsigned generation = 0;  // bumped by ClearJob so an old worker never touches the new run
    std::condition_variable cv;
};

struct JobSettings {
    int queueMs = 0;
    int clientTimeoutMs = 0;  // 0: wait for the client without limit
    size_t maxDataBytes = 64u << 20;
};

class JobEngine {
public:
    // Job directories are jobs/<user>/<jobID> inside root.
    JobEngine(const Catalogue& catalogue, const Jail& root);
    ~JobEngine();
    void setSettings(const JobSettings& s) {
        std::lock_guard lock(mutex_);
        settings_ = s;
    }
    JobSettings settings() {
        std::lock_guard lock(mutex_);
        return settings_;
    }

    std::shared_ptr<Job> create(const std::string& user, const std::string& endpointPath);
    // Launches protocolName into job (created here when hint is empty).
    // Fault 503 when no thread can be started for it.
    std::shared_ptr<Job> launch(const std::string& user, const std::string& endpointPath, const std::string& hint,
                                const std::string& protocolName, const NamedValues& params);
    std::shared_ptr<Job> find(const std::string& user, const std::string& id, const std::string& endpointPath);
    std::vector<std::shared_ptr<Job>> jobsOf(const std::string& user);

    int status(const Job& j);
    // Waits until the job ends or needs the client, at most ms milliseconds.
    // Returns false on time-out.
    bool waitSettled(const std::shared_ptr<Job>& j, int ms);
    void setStatus(const std::shared_ptr<Job>& j, int status);
    void stop(const std::shared_ptr<Job>& j);
    void release(const std::shared_ptr<Job>& j);
    bool clear(const std::shared_ptr<Job>& j);

    // Copies of the job's public data, taken under the lock.
    NamedValues results(const Job& j);
    std::vector<std::pair<std::string, std::string>> errors(const Job& j);
    struct Stats {
        int time = 0, state = 0;
        std::vector<int> outsTrue, outsFalse, flags;
        std::vector<std::string> ids;
    };
    Stats statistics(const Job& j);
    Bytes getData(const Job& j, const std::string& name);
    void putData(const Job& j, const std::string& name, Bytes bytes);
    size_t runningCount();
    size_t jobCount();
    size_t workerCount();  // runner threads alive
    void shutdown();

private:
    struct Run;  // one run of a script: the job, its generation, the engine lock
    // How a step ended: it succeeded or failed (the script goes on), or the
    // job ended (its final state is set), or the job was cleared meanwhile
    // (the run must not touch it any more).
    enum class StepEnd { Succeeded, Failed, JobEnded, Abandoned };
    using StepFn = StepEnd (JobEngine::*)(Run&, const Step&);
    using DescribeFn = void (JobEngine::*)(Run&, const Step&, PropertyCollection&);

    // The thread of a run: runs the script, then marks the worker gone.
    void run(std::shared_ptr<Job> j, Component c, unsigned generation);
    // Queues, checks the parameters, runs the steps in order, sets the final state.
    void runScript(Run& r, const Component& c);
    // Records the launch's invalid parameters as errors; false when there are any.
    bool checkParameters(Run& r, const Component& c);
    // Runs one step of any kind.
    StepEnd runStep(Run& r, const Step& s);

    // --- server steps, one per kind
    StepEnd stepSetResult(Run& r, const Step& s);  // sets a result from value, values or fromParameter
    StepEnd stepSum(Run& r, const Step& s);        // result = numeric sum of the named parameters' first values
    StepEnd stepWait(Run& r, const Step& s);       // waits ms; a stop meanwhile ends the job (6)
    StepEnd stepMessage(Run& r, const Step& s);    // sets (or clears) the status message
    StepEnd stepWriteFile(Run& r, const Step& s);  // writes the text to a file inside the job directory
    StepEnd stepError(Run& r, const Step& s);      // records an error; the step fails, the job goes on
    StepEnd stepFail(Run& r, const Step& s);       // records an error; the job ends failed (5)
    StepEnd stepState(Run& r, const Step& s);      // shows the given state for ms, then runs on
    StepEnd stepPause(Run& r, const Step& s);      // state 11 until SetJobStatus 2; a stop ends the job

    // --- client steps: each fills its part of the description
    void describeTempFiles(Run& r, const Step& s, PropertyCollection& d);     // ClientTempFiles
    void describeDownload(Run& r, const Step& s, PropertyCollection& d);      // DownloadToClient
    void describeUpload(Run& r, const Step& s, PropertyCollection& d);        // UploadToServer
    void describeProgram(Run& r, const Step& s, PropertyCollection& d);       // ClientRunProgram
    void describeInstructions(Run& r, const Step& s, PropertyCollection& d);  // ClientInstructions
    // Publishes the description, waits in state 3 for the client, reads its reply.
    StepEnd clientStep(Run& r, const Step& s, PropertyCollection d);
    // Reads the client's error report and description back into errors and
    // results, checks the files to verify; false when the client failed.
    bool readClientReply(Run& r, const Step& s);

    // Sets a final state (unless the job was cleared meanwhile).
    void finish(Run& r, int state);
    // Sleeps ms, woken by a stop or a clear; false when either happened.
    bool sleepFor(Run& r, int ms);
    std::string substitute(const Job& j, const std::string& text);
    // Waits until the job's worker thread is gone; lock holds mutex_.
    void waitForWorker(std::unique_lock<std::mutex>& lock, const std::shared_ptr<Job>& j);

    const Catalogue& catalogue_;
    const Jail& root_;
    JobSettings settings_;
    std::mutex mutex_;
    std::condition_variable idle_;  // signalled when a worker ends
    std::map<std::string, std::shared_ptr<Job>> jobs_;
    unsigned long counter_ = 0;
    size_t workers_ = 0;
    bool shuttingDown_ = false;
};

bool isSettled(int state);

}  // namespace emu
