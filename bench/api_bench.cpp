// Figures for the library's hot paths, through the public API only:
// handle churn and accessor reads in memory, and whole service calls against
// the local emulator over loopback (one fresh connection per call).
//
//   scripts/bench [--benchmark_filter=REGEX]
// (The driver is bench/main.cpp; the comparisons are in the other files.)
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include <memory>
#include <string>

#include "peloxImp.h"
#include "bench_util.h"

namespace {

// The network benchmarks share the emulator session of bench_util.h.
struct Server {
    std::u16string locator;
    std::u16string session;
    int32_t text = peloxImp_createObject(PELOX_OBJECT_STRING);

    Server() {
        pelox::bench::EmulatorSession& s = pelox::bench::emulatorSession();
        s.emulator.setProfile("preset=modern");
        locator = s.locator;
        session = s.session;
    }
};

Server& server() {
    static Server instance;
    return instance;
}

using pelox::bench::residentKiB;

void BM_CreateRemove(benchmark::State& state) {
    const int32_t type = static_cast<int32_t>(state.range(0));
    for (auto _ : state) {
        const int32_t h = peloxImp_createObject(type);
        peloxImp_removeObject(type, h);
    }
}
// A result info is only emptied by removal (its handle stays valid), so type
// 4 measures creation plus a registry that keeps growing.
BENCHMARK(BM_CreateRemove)->DenseRange(1, 4);

// Many live objects at once: memory per object and lookup cost at size.
void BM_ManyStrings(benchmark::State& state) {
    const long before = residentKiB();
    const int64_t n = state.range(0);
    std::unique_ptr<int32_t[]> handles(new int32_t[static_cast<size_t>(n)]);
    for (int64_t i = 0; i < n; ++i) handles[static_cast<size_t>(i)] = peloxImp_createObject(PELOX_OBJECT_STRING);
    int32_t size = 0;
    int64_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(peloxImp_getObjectSize(PELOX_OBJECT_STRING, handles[static_cast<size_t>(i)], &size));
        i = (i + 1) % n;
    }
    // Removed registry nodes are kept for reuse, so only the first run of a
    // size allocates; report the largest growth seen.
    static long largest[2] = {0, 0};
    long& seen = largest[n > 1000 ? 1 : 0];
    seen = std::max(seen, residentKiB() - before);
    state.counters["KiB_per_1000_objects"] = 1000.0 * static_cast<double>(seen) / static_cast<double>(n);
    for (int64_t k = 0; k < n; ++k) peloxImp_removeObject(PELOX_OBJECT_STRING, handles[static_cast<size_t>(k)]);
}
BENCHMARK(BM_ManyStrings)->Arg(1000)->Arg(100000);

void BM_Login(benchmark::State& state) {
    Server& s = server();
    for (auto _ : state)
        benchmark::DoNotOptimize(pelox_login(s.locator.c_str(), u"bench", u"secret", nullptr, s.text, u"bench"));
}
BENCHMARK(BM_Login)->Unit(benchmark::kMillisecond);

void BM_ListProtocols(benchmark::State& state) {
    Server& s = server();
    const int32_t names = peloxImp_createObject(PELOX_OBJECT_STRING_ARRAY);
    const int32_t folders = peloxImp_createObject(PELOX_OBJECT_STRING_ARRAY);
    for (auto _ : state)
        benchmark::DoNotOptimize(pelox_listProtocols(s.session.c_str(), u"Examples", names, folders));
    peloxImp_removeObject(PELOX_OBJECT_STRING_ARRAY, names);
    peloxImp_removeObject(PELOX_OBJECT_STRING_ARRAY, folders);
}
BENCHMARK(BM_ListProtocols)->Unit(benchmark::kMicrosecond);

void BM_GetProtocolParameters(benchmark::State& state) {
    Server& s = server();
    const int32_t info = peloxImp_createObject(PELOX_OBJECT_PROTOCOL_INFO);
    for (auto _ : state)
        benchmark::DoNotOptimize(
            pelox_getProtocolParameters(s.session.c_str(), u"Examples/Add Numbers", info, PELOX_PARAMS_ADVANCED));
    peloxImp_removeObject(PELOX_OBJECT_PROTOCOL_INFO, info);
}
BENCHMARK(BM_GetProtocolParameters)->Unit(benchmark::kMicrosecond);

// Edit a value and read a validated property: one ValidateParameters call.
void BM_EditAndValidate(benchmark::State& state) {
    Server& s = server();
    const int32_t info = peloxImp_createObject(PELOX_OBJECT_PROTOCOL_INFO);
    const int32_t values = peloxImp_createObject(PELOX_OBJECT_STRING_ARRAY);
    pelox_getProtocolParameters(s.session.c_str(), u"Examples/Add Numbers", info, 0);
    for (auto _ : state) {
        protocolInfo_setParameterValue(info, 0, u"7");
        benchmark::DoNotOptimize(protocolInfo_getParameterProperty(info, 0, PELOX_PROP_IS_VALID, values));
    }
    peloxImp_removeObject(PELOX_OBJECT_PROTOCOL_INFO, info);
    peloxImp_removeObject(PELOX_OBJECT_STRING_ARRAY, values);
}
BENCHMARK(BM_EditAndValidate)->Unit(benchmark::kMicrosecond);

}  // namespace

