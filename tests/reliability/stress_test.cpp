// Eight threads calling every export, mixed, for a few seconds against the
// emulator, over three sessions and two shared jobs (plus jobs they create,
// launch and release): every call gives its ordinary answer, nothing
// deadlocks, no handle or job record is lost or left behind. Its real
// judge is the ThreadSanitizer build (scripts/test --tsan), which also
// checks the lock order.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <random>
#include <set>
#include <thread>

#include "registry/access.h"
#include "reliability/export_table.h"

using namespace pelox::reliability;

namespace {

// How a successful call changes the number of job records the library knows.
int jobDelta(const std::string& name) {
    // Preparations: continueJob and getClientInstructions launch a job;
    // releaseJob releases the one its preparation created; reconnectToJob
    // makes the library know again the one its preparation made it forget.
    static const std::set<std::string> adding = {"pelox_createJob", "pelox_launchJob", "pelox_launchProtocol",
                                                 "pelox_continueJob", "pelox_getClientInstructions",
                                                 "pelox_reconnectToJob"};
    return adding.count(name) ? 1 : 0;
}

}  // namespace

TEST(Stress, EightThreadsMixEveryExportFamily) {
    constexpr int kThreads = 8;
    const auto duration = std::chrono::seconds(3);
    Fixture f({"--hw-address", "foreign"}, /*sessions=*/3, /*jobs=*/2);
    const auto& rows = exportRows();

    const uint32_t strings = pelox::registry::strings().count();
    const uint32_t arrays = pelox::registry::stringArrays().count();
    const uint32_t infos = pelox::registry::protocolInfos().count();
    const uint32_t results = pelox::registry::resultInfos().count();
    const uint32_t jobs = pelox::registry::jobs().size();

    std::vector<std::unique_ptr<Handles>> slots;
    for (int t = 0; t < kThreads; ++t) slots.push_back(std::make_unique<Handles>(f, t));

    std::atomic<long> calls{0}, addedJobs{0};
    std::mutex failuresMutex;
    std::vector<std::string> failures;
    std::atomic<int> finished{0};
    const auto end = std::chrono::steady_clock::now() + duration;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            Handles& h = *slots[t];
            std::mt19937 pick(static_cast<unsigned>(t) * 7919u + 1u);
            while (std::chrono::steady_clock::now() < end) {
                const Row& r = rows[pick() % rows.size()];
                if (r.prepare) r.prepare(f, h);
                const int32_t rc = r.call(f, h, Args{});
                calls.fetch_add(1);
                // Another thread's records may push this one out of the store.
                const bool pushedOut = std::string(r.name) == "pelox_getPeloxErrors" && rc == PELOX_E_NO_ERROR_RECORD;
                if (rc == r.expected) {
                    addedJobs.fetch_add(jobDelta(r.name));
                } else if (!pushedOut) {
                    const std::string text = std::string(r.name) + " on thread " + std::to_string(t) + ": " +
                                             std::to_string(rc) + " " + errorText(rc);
                    std::lock_guard<std::mutex> lock(failuresMutex);
                    failures.push_back(text);
                }
            }
            finished.fetch_add(1);
        });
    }
    // A deadlock would hang the joins: give up loudly instead.
    for (int waited = 0; finished.load() < kThreads; ++waited) {
        if (waited > 900) {
            std::fprintf(stderr, "Stress: %d of %d threads still running 90 s after the end: deadlock\n",
                         kThreads - finished.load(), kThreads);
            std::abort();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    for (auto& th : threads) th.join();

    for (const auto& text : failures) ADD_FAILURE() << text;
    EXPECT_GT(calls.load(), kThreads * 10L);
    // Every slot's objects are still there and answer.
    for (const auto& h : slots) {
        int32_t n = -1;
        EXPECT_EQ(peloxImp_getObjectSize(PELOX_OBJECT_STRING, h->str, &n), 0);
        EXPECT_EQ(peloxImp_getObjectSize(PELOX_OBJECT_STRING_ARRAY, h->arr3, &n), 0);
        EXPECT_EQ(peloxImp_getObjectSize(PELOX_OBJECT_PROTOCOL_INFO, h->info, &n), 0);
        EXPECT_TRUE(n == 3 || n == 4) << n;  // A, B, Label, and Extra when added; never twice
        EXPECT_EQ(peloxImp_getObjectSize(PELOX_OBJECT_RESULT_INFO, h->result, &n), 0);
    }
    slots.clear();
    // Nothing lost, nothing left behind.
    EXPECT_EQ(pelox::registry::strings().count(), strings);
    EXPECT_EQ(pelox::registry::stringArrays().count(), arrays);
    EXPECT_EQ(pelox::registry::protocolInfos().count(), infos);
    // Removing a result info only empties it: the slots' ones stay.
    EXPECT_EQ(pelox::registry::resultInfos().count(), results + kThreads);
    EXPECT_EQ(pelox::registry::jobs().size(), jobs + static_cast<uint32_t>(addedJobs.load()));
    std::cout << calls.load() << " calls by " << kThreads << " threads in " << duration.count() << " s\n";
}
