// Shared pieces of the benchmarks: the ratio table printed after a run, the
// servers every network benchmark shares, memory figures and test files.
#pragma once

#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "canned_server.h"
#include "support/emulator_launcher.h"

namespace pelox::bench {

// Declares a ratio to print after the run: the per-iteration real time of the
// benchmark run named numerator over that of denominator (full run names,
// e.g. "BM_Accessor_GetSize/threads:2"). goal is printed beside it ("<= 2").
// Ratios whose runs did not both take place (filtered out) are left out.
bool addRatio(const std::string& label, const std::string& numerator, const std::string& denominator,
              const std::string& goal = "");

struct Ratio {
    std::string label, numerator, denominator, goal;
};
std::vector<Ratio>& ratios();
std::vector<std::string>& notes();

// Notes printed under the ratio table (figures that are not ratios).
void addNote(const std::string& text);

// Resident memory now and the peak since the last resetPeak(), in KiB.
long residentKiB();
long peakKiB();
// Resets the peak to the current resident size (/proc/self/clear_refs).
void resetPeak();

// The emulator and a session on it (user "bench"); started on first use.
// (A long request time-out: compressing a 256 MiB upload on a busy machine
// can take longer than the emulator's default 30 s.)
struct EmulatorSession {
    testsupport::Emulator emulator{{"--request-timeout-ms", "900000"}};
    std::u16string locator;
    std::u16string session;
    std::string sessionUtf8;
};
EmulatorSession& emulatorSession();

// The canned server and a session on it; started on first use.
struct CannedSession {
    CannedWorkflowServer server{8};
    std::u16string session;
};
CannedSession& cannedSession();

// A file of size bytes under the benchmark's scratch directory, made once:
// text-like data (words and numbers from a fixed pseudo-random sequence) that
// zlib level 5 compresses to about a third.
std::filesystem::path testFile(size_t size);
std::filesystem::path scratchDirectory();

std::u16string u16(const std::string& text);

// "code N" and, for an error record, its messages (for skipped runs).
std::string errorText(int32_t code);

}  // namespace pelox::bench
