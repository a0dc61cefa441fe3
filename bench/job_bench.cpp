// The whole road of one job, Examples/Add Numbers on the emulator: read the
// protocol's parameters, launch, poll pelox_getJobStatus until the job has
// ended, read the results, release. Counters: the requests the server
// received per job (from the emulator's counts) and the polls among them.
// Polling does not pause, so the wall time is the least the road takes; with
// threads, each thread runs its own jobs on the shared session.
#include <string>
#include <vector>

#include "bench_util.h"
#include "peloxImp.h"

namespace pelox::bench {
namespace {

unsigned long totalRequests() {
    // "Op: N" lines.
    const std::string counts = emulatorSession().emulator.control("counts");
    unsigned long total = 0;
    for (size_t pos = 0; pos < counts.size();) {
        size_t end = counts.find('\n', pos);
        if (end == std::string::npos) end = counts.size();
        const std::string line = counts.substr(pos, end - pos);
        const size_t colon = line.rfind(": ");
        if (colon != std::string::npos) total += std::stoul(line.substr(colon + 2));
        pos = end + 1;
    }
    return total;
}

bool runJob(const std::u16string& sid, unsigned long& polls) {
    const int32_t info = peloxImp_createObject(PELOX_OBJECT_PROTOCOL_INFO);
    const int32_t jobId = peloxImp_createObject(PELOX_OBJECT_STRING);
    const int32_t messages = peloxImp_createObject(PELOX_OBJECT_STRING_ARRAY);
    const int32_t results = peloxImp_createObject(PELOX_OBJECT_RESULT_INFO);
    bool ok = pelox_getProtocolParameters(sid.c_str(), u"Examples/Add Numbers", info, 0) == 0 &&
              pelox_launchProtocol(sid.c_str(), u"Examples/Add Numbers", info, 0, jobId) == 0;
    std::u16string job;
    if (ok) job = reinterpret_cast<const char16_t*>(string_getText(jobId));
    int32_t state = PELOX_JOB_RUNNING;
    while (ok && (state == PELOX_JOB_RUNNING || state == PELOX_JOB_STATE_4 || state == PELOX_JOB_UNKNOWN)) {
        ok = pelox_getJobStatus(sid.c_str(), job.c_str(), &state, messages) == 0;
        ++polls;
    }
    ok = ok && state == PELOX_JOB_FINISHED && pelox_getJobResults(sid.c_str(), job.c_str(), results) == 0 &&
         pelox_releaseJob(sid.c_str(), job.c_str()) == 0;
    peloxImp_removeObject(PELOX_OBJECT_PROTOCOL_INFO, info);
    peloxImp_removeObject(PELOX_OBJECT_STRING, jobId);
    peloxImp_removeObject(PELOX_OBJECT_STRING_ARRAY, messages);
    peloxImp_removeObject(PELOX_OBJECT_RESULT_INFO, results);
    return ok;
}

void BM_JobRoad(benchmark::State& state) {
    EmulatorSession& s = emulatorSession();
    static std::u16string sid;
    if (state.thread_index() == 0) {
        s.emulator.setProfile("preset=modern&hw-address=foreign");
        const int32_t text = peloxImp_createObject(PELOX_OBJECT_STRING);
        sid = pelox_login(s.locator.c_str(), u"bench", u"secret", nullptr, text, u"bench") == 0
                  ? reinterpret_cast<const char16_t*>(string_getText(text))
                  : u"";
        peloxImp_removeObject(PELOX_OBJECT_STRING, text);
        s.emulator.resetCounts();
    }
    // (Google Benchmark starts the timing of all threads together, after
    // this set-up.)
    unsigned long polls = 0;
    for (auto _ : state) {
        if (!runJob(sid, polls)) {
            state.SkipWithError("job road failed");
            break;
        }
    }
    if (state.thread_index() == 0) {
        const double jobs = static_cast<double>(state.iterations()) * state.threads();
        state.counters["requests_per_job"] = static_cast<double>(totalRequests()) / jobs;
    }
    state.counters["polls_per_job"] = benchmark::Counter(static_cast<double>(polls) / static_cast<double>(state.iterations()),
                                                         benchmark::Counter::kAvgThreads);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_JobRoad)->Threads(1)->Threads(2)->Threads(8)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace
}  // namespace pelox::bench
