// The runner: jobs of the emulator, each executing its protocol's script in a
// background thread. Server job states are listed in docs/server-contract.md.
#pragma once

#include "catalogue.h"
#include "props.h"
#include "util.h"

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
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
    std::filesystem::path dir;
    int state = state::Created;
    NamedValues params, results;
    std::vector<std::pair<std::string, std::string>> errors;  // message, component ID
    std::map<std::string, Bytes> data;
    std::vector<std::string> componentIDs;
    std::vector<int> outsTrue, outsFalse, statusFlags;
    std::string message;
    std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
    bool stop = false, resume = false, running = false;
    unsigned generation = 0;  // bumped by ClearJob so an old worker never touches the new run
    std::thread worker;
    std::condition_variable cv;
};

struct JobSettings {
    int queueMs = 0;
    int clientTimeoutMs = 0;  // 0: wait for the client without limit
    size_t maxDataBytes = 64u << 20;
};

class JobEngine {
public:
    JobEngine(const Catalogue& catalogue, std::filesystem::path jobsDir, std::filesystem::path root);
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
    void shutdown();

private:
    void run(std::shared_ptr<Job> j, Component c, unsigned generation);
    void runScript(std::shared_ptr<Job> j, Component c, unsigned generation);
    bool clientStep(std::unique_lock<std::mutex>& lock, const std::shared_ptr<Job>& j, const Step& s,
                    PropertyCollection d, unsigned generation, bool& hadErrors);
    std::string substitute(const Job& j, const std::string& text);
    void joinWorker(const std::shared_ptr<Job>& j);

    const Catalogue& catalogue_;
    std::filesystem::path jobsDir_, root_;
    JobSettings settings_;
    std::mutex mutex_;
    std::map<std::string, std::shared_ptr<Job>> jobs_;
    unsigned long counter_ = 0;
    bool shuttingDown_ = false;
};

bool isSettled(int state);

}  // namespace emu
