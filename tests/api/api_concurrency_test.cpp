// Many threads creating, filling, reading and removing objects of every
// type at once: every call answers, handles stay unique, nothing deadlocks.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <thread>
#include <vector>

#include "peloxImp.h"

TEST(Concurrency, EightThreadsOnAllObjectTypes) {
    constexpr int kThreads = 8;
    constexpr int kRounds = 300;
    std::vector<std::vector<int32_t>> handles(kThreads * 4);
    std::vector<int> failures(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            int& bad = failures[t];
            for (int i = 0; i < kRounds; ++i) {
                int32_t h[5] = {0};
                for (int type = 1; type <= 4; ++type) {
                    h[type] = peloxImp_createObject(type);
                    if (h[type] <= 0) ++bad;
                    handles[t * 4 + type - 1].push_back(h[type]);
                }
                // Fill.
                if (pelox_getPeloxInfo(PELOX_INFO_VERSION, h[1]) != 0) ++bad;
                if (resultInfo_getNames(h[4], h[2]) != 0) ++bad;
                if (pelox_getPeloxErrors(-1, h[2]) != PELOX_E_NO_ERROR_RECORD) ++bad;
                if (pelox_setPeloxOptions(PELOX_OPTION_RETRY_COUNT, u"12") != 0) ++bad;
                // Read.
                const pelox_char* text = string_getText(h[1]);
                if (!text || std::u16string(text) != u"8.5.0.0") ++bad;
                int32_t n = -1;
                for (int type = 1; type <= 4; ++type)
                    if (peloxImp_getObjectSize(type, h[type], &n) != 0) ++bad;
                if (stringArray_getStringAtIndex(h[2], 0, h[1]) != PELOX_E_INDEX) ++bad;
                if (resultInfo_getValues(h[4], u"name", h[2]) != PELOX_E_NO_RESULT_NAME) ++bad;
                if (peloxImp_checkVersion("8.5") != 0) ++bad;
                // Remove.
                for (int type = 1; type <= 4; ++type) peloxImp_removeObject(type, h[type]);
                if (string_getText(h[1]) != nullptr) ++bad;
            }
        });
    }
    for (auto& th : threads) th.join();
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(failures[t], 0) << "thread " << t;
    for (int type = 1; type <= 4; ++type) {
        std::set<int32_t> all;
        size_t total = 0;
        for (int t = 0; t < kThreads; ++t) {
            const auto& v = handles[t * 4 + type - 1];
            // Each thread sees its own handles of a type strictly increasing.
            EXPECT_TRUE(std::is_sorted(v.begin(), v.end())) << type;
            all.insert(v.begin(), v.end());
            total += v.size();
        }
        EXPECT_EQ(all.size(), total) << "duplicate handles of type " << type;
        EXPECT_EQ(all.count(0), 0u);
    }
    pelox_setPeloxOptions(PELOX_OPTION_RETRY_COUNT, u"10");
}
