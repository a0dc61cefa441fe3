// The 50 exports as a table for the reliability tests: each row makes one
// ordinary call of its export with valid arguments against a running
// emulator, and can swap one argument for a null pointer, an unknown handle
// or a hostile text. The fault matrix, the allocation-failure sweep, the
// ThreadSanitizer stress run and the hostile-input sweep all drive this one
// table, so a new export is covered by all four once it has a row.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "peloxImp.h"
#include "support/emulator_launcher.h"

namespace pelox::reliability {

namespace fs = std::filesystem;

// A handle value never issued by the library.
inline constexpr int32_t kUnknownHandle = 0x7ffffff0;
// "Any outcome": a null pointer that the export accepts.
inline constexpr int32_t kAnyOutcome = INT32_MIN;

std::u16string u16(const std::string& utf8);
std::string utf8(const std::u16string& text);
// A path from UTF-8 text on every platform (a narrow string alone would be
// read in the ANSI code page on Windows).
std::filesystem::path pathFromUtf8(const std::string& text);

// What the one argument under test is replaced by.
struct Args {
    enum class Kind { None, Null, UnknownHandle, Text } kind = Kind::None;
    int index = -1;                        // pointer index (Null, Text) or handle index (UnknownHandle)
    const std::u16string* text = nullptr;  // for Kind::Text

    // A text argument at pointer index i.
    const pelox_char* t(int i, const std::u16string& v) const {
        if (i != index) return v.c_str();
        if (kind == Kind::Null) return nullptr;
        if (kind == Kind::Text) return text->c_str();
        return v.c_str();
    }
    // Any other pointer argument at pointer index i (only ever made null).
    template <class T>
    T* p(int i, T* v) const {
        return kind == Kind::Null && i == index ? nullptr : v;
    }
    // A handle argument at handle index i.
    int32_t h(int i, int32_t v) const { return kind == Kind::UnknownHandle && i == index ? kUnknownHandle : v; }
};

// The emulator, the sessions and finished jobs that calls work on, and a
// local directory. Made once per test.
struct Fixture {
    // extraArgs go to the emulator; `sessions` logins, `jobs` finished
    // "Examples/Add Numbers" jobs (each under session i % sessions).
    explicit Fixture(std::vector<std::string> extraArgs = {}, int sessions = 1, int jobs = 1);
    ~Fixture();

    std::unique_ptr<testsupport::Emulator> emu;
    std::u16string url;                 // the locator URL
    std::vector<std::u16string> sids;   // logged-in sessions
    std::vector<std::u16string> jobs;   // finished jobs known to the library
    fs::path local;                     // local directory, removed at the end
    fs::path component;                 // a component file to import
    std::atomic<unsigned> serial{0};    // for unique names
};

// The objects and names one caller works with (one per thread).
struct Handles {
    Handles(Fixture& f, int slot);
    ~Handles();
    Handles(const Handles&) = delete;
    Handles& operator=(const Handles&) = delete;

    int slot;
    std::u16string sid, job;  // this slot's session and job
    int32_t str = 0, arr = 0, arr2 = 0, arr3 = 0, info = 0, result = 0;
    int32_t waitInfo = 0;  // the parameters of "Tests/Wait", a job that waits for the host
    fs::path source;  // a local file to upload
    fs::path target;  // a local file downloads and exports overwrite
    std::u16string remote;   // a server file (relative to the root) to download
    // Made by a row's preparation, used by its call.
    std::u16string scratch, scratch2;
    int32_t scratchHandle = 0;
    unsigned turn = 0;
};

struct Pointer {
    bool text;      // a text (Args::t) or another pointer (Args::p)
    int32_t whenNull = PELOX_E_NULL_ARGUMENT;  // outcome with this pointer null (kAnyOutcome: accepted)
    char role = 0;  // 's' a session identifier, 'j' a job identifier
    int32_t whenUnknown = kAnyOutcome;  // outcome with an unknown session or job identifier
};

struct Row {
    const char* name;
    bool service;      // talks to the server
    int32_t expected;  // outcome of the ordinary call
    std::function<void(Fixture&, Handles&)> prepare;  // run before each call (may be empty)
    std::function<int32_t(Fixture&, Handles&, const Args&)> call;
    std::vector<Pointer> pointers;      // by pointer index
    std::vector<int32_t> whenUnknown;   // by handle index: outcome with that handle unknown
};

// All 50 exports. Calls of exports that return no status code map their
// result to one: 0 for a valid result, the "unknown handle" code otherwise.
const std::vector<Row>& exportRows();

// The row of an export.
const Row& row(const char* name);

// The messages of an error record (read once), joined with " | ".
std::string errorText(int32_t id);

// Runs f on another thread and waits at most `seconds` for it: a lock left
// held by this thread makes f wait (locks are recursive, so a call on the
// same thread would not notice). Fails the test on time-out.
int32_t onOtherThread(const std::function<int32_t()>& f, int seconds = 20);

std::string slurp(const fs::path& p);
void spit(const fs::path& p, const std::string& bytes);
// Directory entries, sorted.
std::vector<std::string> entries(const fs::path& dir);

}  // namespace pelox::reliability
