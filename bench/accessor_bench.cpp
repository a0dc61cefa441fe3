// Handle and accessor exports against the least any handle table must do: a
// hash lookup under a mutex. Goal: at most twice the bare lookup, for 1, 2
// and 8 threads.
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "bench_util.h"
#include "peloxImp.h"

namespace pelox::bench {
namespace {

constexpr int kObjects = 1000;

// The bare lookup: a table of texts by handle behind one mutex.
struct BareTable {
    std::mutex mutex;
    std::unordered_map<int32_t, std::u16string> texts;
    BareTable() {
        for (int32_t i = 1; i <= kObjects; ++i) texts.emplace(i, u"some text of a string object");
    }
};
BareTable& bare() {
    static BareTable table;
    return table;
}

// Live library objects shared by all threads.
struct Objects {
    std::vector<int32_t> strings, arrays;
    int32_t result = 0;
    Objects() {
        for (int i = 0; i < kObjects; ++i) {
            strings.push_back(peloxImp_createObject(PELOX_OBJECT_STRING));
            arrays.push_back(peloxImp_createObject(PELOX_OBJECT_STRING_ARRAY));
        }
    }
};
Objects& objects() {
    static Objects o;
    return o;
}

void BM_Bare_Lookup(benchmark::State& state) {
    BareTable& t = bare();
    int32_t h = 1 + static_cast<int32_t>(state.thread_index()) * 97 % kObjects;
    for (auto _ : state) {
        std::lock_guard<std::mutex> lock(t.mutex);
        auto it = t.texts.find(h);
        benchmark::DoNotOptimize(it == t.texts.end() ? 0 : it->second.size());
        h = h % kObjects + 1;
    }
}
BENCHMARK(BM_Bare_Lookup)->Threads(1)->Threads(2)->Threads(8)->UseRealTime();

void BM_Bare_InsertErase(benchmark::State& state) {
    BareTable& t = bare();
    int32_t next = kObjects + 1 + static_cast<int32_t>(state.thread_index()) * 1000000;
    for (auto _ : state) {
        int32_t h;
        {
            std::lock_guard<std::mutex> lock(t.mutex);
            h = next++;
            t.texts.emplace(h, std::u16string());
        }
        std::lock_guard<std::mutex> lock(t.mutex);
        t.texts.erase(h);
    }
}
BENCHMARK(BM_Bare_InsertErase)->Threads(1)->Threads(2)->Threads(8)->UseRealTime();

void BM_Export_GetObjectSize(benchmark::State& state) {
    Objects& o = objects();
    size_t i = static_cast<size_t>(state.thread_index()) * 97 % kObjects;
    int32_t size = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(peloxImp_getObjectSize(PELOX_OBJECT_STRING, o.strings[i], &size));
        i = (i + 1) % kObjects;
    }
}
BENCHMARK(BM_Export_GetObjectSize)->Threads(1)->Threads(2)->Threads(8)->UseRealTime();

void BM_Export_StringGetText(benchmark::State& state) {
    Objects& o = objects();
    size_t i = static_cast<size_t>(state.thread_index()) * 97 % kObjects;
    for (auto _ : state) {
        benchmark::DoNotOptimize(string_getText(o.strings[i]));
        i = (i + 1) % kObjects;
    }
}
BENCHMARK(BM_Export_StringGetText)->Threads(1)->Threads(2)->Threads(8)->UseRealTime();

void BM_Export_StringArrayGetText(benchmark::State& state) {
    Objects& o = objects();
    size_t i = static_cast<size_t>(state.thread_index()) * 97 % kObjects;
    for (auto _ : state) {
        benchmark::DoNotOptimize(stringArray_getTextAtIndex(o.arrays[i], 0));
        i = (i + 1) % kObjects;
    }
}
BENCHMARK(BM_Export_StringArrayGetText)->Threads(1)->Threads(2)->Threads(8)->UseRealTime();

void BM_Export_CreateRemove(benchmark::State& state) {
    for (auto _ : state) {
        const int32_t h = peloxImp_createObject(PELOX_OBJECT_STRING);
        peloxImp_removeObject(PELOX_OBJECT_STRING, h);
    }
}
BENCHMARK(BM_Export_CreateRemove)->Threads(1)->Threads(2)->Threads(8)->UseRealTime();

const bool kRatios = [] {
    for (int n : {1, 2, 8}) {
        const std::string t = "/real_time/threads:" + std::to_string(n);
        const std::string bare = "BM_Bare_Lookup" + t;
        addRatio("peloxImp_getObjectSize vs bare lookup, threads " + std::to_string(n), "BM_Export_GetObjectSize" + t,
                 bare, "<= 2");
        addRatio("string_getText vs bare lookup, threads " + std::to_string(n), "BM_Export_StringGetText" + t, bare,
                 "<= 2");
        addRatio("stringArray_getTextAtIndex vs bare lookup, threads " + std::to_string(n),
                 "BM_Export_StringArrayGetText" + t, bare, "<= 2");
        addRatio("createObject+removeObject vs bare insert+erase, threads " + std::to_string(n),
                 "BM_Export_CreateRemove" + t, "BM_Bare_InsertErase" + t, "<= 2");
    }
    return true;
}();

}  // namespace
}  // namespace pelox::bench
