// File transfer through pelox_uploadFile / pelox_downloadFile on each road the
// emulator can be told to offer, against the same work done without the
// library:
//   - zlib level 5 alone compressing (deflate) and inflating the same bytes
//     (goal for the zipped upload, all on the calling thread: wall time at
//     most 1.0x zlib's, the calling thread's CPU time at most 0.5x zlib's;
//     the upload compresses its chunks with libdeflate);
//   - curl moving the same file to and from the same emulator's HTTP
//     services (goal >= 0.9x curl's throughput, a time ratio <= 1.11).
// Sizes 1, 16 and 256 MiB (PELOX_BENCH_MAX_MIB lowers the largest). Each run
// records the growth of the process's peak resident memory over its resident
// size at the start ("peak_MiB"); the notes give the growth from 1 MiB to the
// largest size per road (goal <= 4 MiB for uploads on every road and for
// HTTP-service downloads).
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <libdeflate.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "bench_util.h"
#include "peloxImp.h"

extern char** environ;

namespace pelox::bench {
namespace {

namespace fs = std::filesystem;

constexpr size_t kMiB = size_t(1) << 20;

std::vector<size_t> sizesMiB() {
    size_t largest = 256;
    if (const char* cap = std::getenv("PELOX_BENCH_MAX_MIB")) largest = std::strtoul(cap, nullptr, 10);
    std::vector<size_t> sizes;
    for (size_t s : {1, 16, 256})
        if (s <= largest) sizes.push_back(s);
    return sizes;
}

struct Road {
    const char* name;
    const char* profile;
};
// What the emulator offers, and so which road the library takes.
const Road kRoads[] = {
    {"local", "preset=modern&hw-address=local&upload-url=on&download-url=on"},
    {"http-v8", "preset=modern&hw-address=foreign&upload-url=on&download-url=on"},
    {"http-v7", "preset=v7&hw-address=foreign&upload-url=on&download-url=on"},
    {"zipped", "preset=v7&hw-address=foreign&upload-url=off&download-url=off"},
};

// A fresh session on the emulator with the road's profile.
std::u16string sessionFor(const Road& road) {
    EmulatorSession& s = emulatorSession();
    s.emulator.setProfile(road.profile);
    const int32_t text = peloxImp_createObject(PELOX_OBJECT_STRING);
    const int32_t rc = pelox_login(s.locator.c_str(), u"bench", u"secret", nullptr, text, u"bench");
    std::u16string id = rc == 0 ? reinterpret_cast<const char16_t*>(string_getText(text)) : u"";
    peloxImp_removeObject(PELOX_OBJECT_STRING, text);
    return id;
}

// Peak growth per benchmark family and size, for the notes.
std::map<std::string, std::map<size_t, double>>& growth() {
    static std::map<std::string, std::map<size_t, double>> table;
    return table;
}

void recordPeak(benchmark::State& state, const std::string& family, size_t mib, long startKiB) {
    const double grown = static_cast<double>(peakKiB() - startKiB) / 1024.0;
    state.counters["peak_MiB"] = grown;
    auto& sizes = growth()[family];
    sizes[mib] = std::max(sizes[mib], grown);
    const std::vector<size_t> all = sizesMiB();
    if (mib == all.back() && all.size() > 1 && sizes.count(all.front()))
        addNote(family + ": peak resident growth " + std::to_string(sizes[all.front()]).substr(0, 6) + " MiB at " +
                std::to_string(all.front()) + " MiB, " + std::to_string(grown).substr(0, 6) + " MiB at " +
                std::to_string(mib) + " MiB (difference " + std::to_string(grown - sizes[all.front()]).substr(0, 6) +
                " MiB)");
}

// ---------------------------------------------------------------- library

void BM_Upload(benchmark::State& state, const Road* road, size_t mib) {
    const fs::path file = testFile(mib * kMiB);
    const std::u16string id = sessionFor(*road);
    if (id.empty()) {
        state.SkipWithError("login failed");
        return;
    }
    const std::u16string local = u16(file.string());
    const std::u16string remote = u16(std::string("bench-up-") + road->name + ".bin");
    long start = 0;
    for (auto _ : state) {
        state.PauseTiming();
        resetPeak();
        start = residentKiB();
        state.ResumeTiming();
        const int32_t rc = pelox_uploadFile(id.c_str(), local.c_str(), remote.c_str());
        if (rc != 0) {
            state.SkipWithError(("pelox_uploadFile: " + errorText(rc)).c_str());
            return;
        }
    }
    recordPeak(state, std::string("upload ") + road->name, mib, start);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * mib * kMiB));
}

void BM_Download(benchmark::State& state, const Road* road, size_t mib) {
    const fs::path file = testFile(mib * kMiB);
    const std::u16string id = sessionFor(*road);
    if (id.empty()) {
        state.SkipWithError("login failed");
        return;
    }
    // The server copy to fetch, placed directly into the emulator's root.
    const std::string name = std::string("bench-down-") + std::to_string(mib) + ".bin";
    fs::copy_file(file, emulatorSession().emulator.root() / name, fs::copy_options::overwrite_existing);
    const std::u16string remote = u16(name);
    const std::u16string local = u16((scratchDirectory() / ("back-" + name)).string());
    long start = 0;
    for (auto _ : state) {
        state.PauseTiming();
        resetPeak();
        start = residentKiB();
        state.ResumeTiming();
        const int32_t rc = pelox_downloadFile(id.c_str(), remote.c_str(), local.c_str());
        if (rc != 0) {
            state.SkipWithError(("pelox_downloadFile: " + errorText(rc)).c_str());
            return;
        }
    }
    recordPeak(state, std::string("download ") + road->name, mib, start);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * mib * kMiB));
    if (fs::file_size(fs::path(scratchDirectory() / ("back-" + name))) != mib * kMiB)
        state.SkipWithError("downloaded size differs");
}

// ---------------------------------------------------------------- zlib alone

// Level 5, zlib form, the file read in 100 KiB pieces (the zipped road's
// chunk), output discarded.
void BM_Zlib_Deflate(benchmark::State& state, size_t mib) {
    const fs::path file = testFile(mib * kMiB);
    std::vector<unsigned char> in(102400), out(256 * 1024);
    for (auto _ : state) {
        std::ifstream source(file, std::ios::binary);
        z_stream z{};
        deflateInit(&z, 5);
        for (;;) {
            source.read(reinterpret_cast<char*>(in.data()), static_cast<std::streamsize>(in.size()));
            const auto n = static_cast<uInt>(source.gcount());
            z.next_in = in.data();
            z.avail_in = n;
            const int flush = n == 0 ? Z_FINISH : Z_NO_FLUSH;
            do {
                z.next_out = out.data();
                z.avail_out = static_cast<uInt>(out.size());
                deflate(&z, flush);
            } while (z.avail_out == 0);
            if (n == 0) break;
        }
        deflateEnd(&z);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * mib * kMiB));
}

// libdeflate level 5 alone compressing each 100 KiB piece of the file in one
// shot, zlib form, output discarded: the floor of the zipped upload's CPU
// time (the upload compresses with it).
void BM_Libdeflate_Deflate(benchmark::State& state, size_t mib) {
    const fs::path file = testFile(mib * kMiB);
    std::vector<unsigned char> in(102400), out(256 * 1024);
    libdeflate_compressor* compressor = libdeflate_alloc_compressor(5);
    for (auto _ : state) {
        std::ifstream source(file, std::ios::binary);
        for (;;) {
            source.read(reinterpret_cast<char*>(in.data()), static_cast<std::streamsize>(in.size()));
            const auto n = static_cast<size_t>(source.gcount());
            if (n == 0) break;
            benchmark::DoNotOptimize(libdeflate_zlib_compress(compressor, in.data(), n, out.data(), out.size()));
        }
    }
    libdeflate_free_compressor(compressor);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * mib * kMiB));
}

// Inflating the file's zlib form from memory into a file, as a download
// does.
void BM_Zlib_Inflate(benchmark::State& state, size_t mib) {
    const fs::path file = testFile(mib * kMiB);
    std::vector<unsigned char> packed;
    {
        std::ifstream source(file, std::ios::binary);
        std::vector<unsigned char> data((std::istreambuf_iterator<char>(source)), std::istreambuf_iterator<char>());
        uLongf bound = compressBound(static_cast<uLong>(data.size()));
        packed.resize(bound);
        compress2(packed.data(), &bound, data.data(), static_cast<uLong>(data.size()), 5);
        packed.resize(bound);
    }
    std::vector<unsigned char> out(256 * 1024);
    const fs::path target = scratchDirectory() / "inflated.bin";
    for (auto _ : state) {
        std::ofstream sink(target, std::ios::binary | std::ios::trunc);
        z_stream z{};
        inflateInit(&z);
        z.next_in = packed.data();
        z.avail_in = static_cast<uInt>(packed.size());
        int rc = Z_OK;
        while (rc == Z_OK) {
            z.next_out = out.data();
            z.avail_out = static_cast<uInt>(out.size());
            rc = inflate(&z, Z_NO_FLUSH);
            sink.write(reinterpret_cast<const char*>(out.data()), static_cast<std::streamsize>(out.size() - z.avail_out));
        }
        inflateEnd(&z);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * mib * kMiB));
}

// ---------------------------------------------------------------- curl

int runCurl(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawnp(&pid, "curl", nullptr, nullptr, argv.data(), environ) != 0) return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The HTTP upload service as a version 8 server offers it (raw body, POST
// with Content-Length), the same request the library makes on that road.
void BM_Curl_Upload(benchmark::State& state, size_t mib) {
    const fs::path file = testFile(mib * kMiB);
    const std::u16string id = sessionFor(kRoads[1]);
    const std::string sid(id.begin(), id.end());
    const std::string url = emulatorSession().emulator.baseUrl() + "/qorvane/upload?filename=bench-curl-up.bin&SID=" + sid;
    for (auto _ : state) {
        if (runCurl({"curl", "-sS", "-f", "-o", "/dev/null", "-X", "POST", "-H", "Content-Type: application/octet-stream",
                     "-T", file.string(), url}) != 0) {
            state.SkipWithError("curl upload failed");
            return;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * mib * kMiB));
}

// The HTTP download service as the library asks for it (compress=1, gzip
// accepted), into a file.
void BM_Curl_Download(benchmark::State& state, size_t mib) {
    const fs::path file = testFile(mib * kMiB);
    const std::u16string id = sessionFor(kRoads[1]);
    const std::string sid(id.begin(), id.end());
    const std::string name = "bench-down-" + std::to_string(mib) + ".bin";
    fs::copy_file(file, emulatorSession().emulator.root() / name, fs::copy_options::overwrite_existing);
    const std::string url =
        emulatorSession().emulator.baseUrl() + "/qorvane/download?filename=" + name + "&SID=" + sid + "&compress=1";
    const std::string target = (scratchDirectory() / ("curl-" + name)).string();
    for (auto _ : state) {
        if (runCurl({"curl", "-sS", "-f", "--compressed", "-o", target, url}) != 0) {
            state.SkipWithError("curl download failed");
            return;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * mib * kMiB));
    if (fs::file_size(target) != mib * kMiB) state.SkipWithError("curl downloaded size differs");
}

int iterationsFor(size_t mib) { return mib <= 1 ? 10 : mib <= 16 ? 3 : 1; }

std::string sizeName(size_t mib) { return std::to_string(mib) + "MiB"; }

const bool kRegistered = [] {
    for (size_t mib : sizesMiB()) {
        const std::string s = sizeName(mib);
        benchmark::RegisterBenchmark(("BM_Zlib_Deflate/" + s).c_str(), BM_Zlib_Deflate, mib)
            ->Iterations(iterationsFor(mib))->Unit(benchmark::kMillisecond)->UseRealTime();
        benchmark::RegisterBenchmark(("BM_Libdeflate_Deflate/" + s).c_str(), BM_Libdeflate_Deflate, mib)
            ->Iterations(iterationsFor(mib))->Unit(benchmark::kMillisecond)->UseRealTime();
        benchmark::RegisterBenchmark(("BM_Zlib_Inflate/" + s).c_str(), BM_Zlib_Inflate, mib)
            ->Iterations(iterationsFor(mib))->Unit(benchmark::kMillisecond)->UseRealTime();
        for (const Road& road : kRoads) {
            benchmark::RegisterBenchmark(("BM_Upload/" + std::string(road.name) + "/" + s).c_str(), BM_Upload, &road, mib)
                ->Iterations(iterationsFor(mib))->Unit(benchmark::kMillisecond)->UseRealTime();
            if (std::string(road.name) != "http-v7")  // downloads are the same on both HTTP profiles
                benchmark::RegisterBenchmark(("BM_Download/" + std::string(road.name) + "/" + s).c_str(), BM_Download,
                                             &road, mib)
                    ->Iterations(iterationsFor(mib))->Unit(benchmark::kMillisecond)->UseRealTime();
        }
        benchmark::RegisterBenchmark(("BM_Curl_Upload/" + s).c_str(), BM_Curl_Upload, mib)
            ->Iterations(iterationsFor(mib))->Unit(benchmark::kMillisecond)->UseRealTime();
        benchmark::RegisterBenchmark(("BM_Curl_Download/" + s).c_str(), BM_Curl_Download, mib)
            ->Iterations(iterationsFor(mib))->Unit(benchmark::kMillisecond)->UseRealTime();

        addRatio("zipped upload vs zlib deflate alone, " + s, "BM_Upload/zipped/" + s, "BM_Zlib_Deflate/" + s,
                 "<= 1.0 (cpu <= 0.5)");
        addRatio("libdeflate level 5 alone vs zlib deflate alone, " + s, "BM_Libdeflate_Deflate/" + s,
                 "BM_Zlib_Deflate/" + s);
        addRatio("zipped upload vs libdeflate alone, " + s, "BM_Upload/zipped/" + s, "BM_Libdeflate_Deflate/" + s);
        addRatio("zipped download vs zlib inflate alone, " + s, "BM_Download/zipped/" + s, "BM_Zlib_Inflate/" + s);
        addRatio("HTTP upload (v8, raw) vs curl, " + s, "BM_Upload/http-v8/" + s, "BM_Curl_Upload/" + s, "<= 1.11");
        addRatio("HTTP download vs curl, " + s, "BM_Download/http-v8/" + s, "BM_Curl_Download/" + s, "<= 1.11");
        addRatio("HTTP upload (v7, compressed) vs zlib deflate alone, " + s, "BM_Upload/http-v7/" + s,
                 "BM_Zlib_Deflate/" + s);
    }
    return true;
}();

}  // namespace
}  // namespace pelox::bench
