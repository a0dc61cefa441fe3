#include "bench_util.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <stdexcept>
#include <vector>

#include "peloxImp.h"

namespace pelox::bench {

namespace fs = std::filesystem;

// ---------------------------------------------------------------- ratios

std::vector<Ratio>& ratios() {
    static std::vector<Ratio> list;
    return list;
}

std::vector<std::string>& notes() {
    static std::vector<std::string> list;
    return list;
}

bool addRatio(const std::string& label, const std::string& numerator, const std::string& denominator,
              const std::string& goal) {
    ratios().push_back({label, numerator, denominator, goal});
    return true;
}

void addNote(const std::string& text) {
    static std::mutex mutex;
    std::lock_guard<std::mutex> lock(mutex);
    notes().push_back(text);
}

// ---------------------------------------------------------------- memory

namespace {

long statusField(const char* field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    const std::string prefix = std::string(field) + ":";
    while (std::getline(in, line))
        if (line.compare(0, prefix.size(), prefix) == 0) return std::atol(line.c_str() + prefix.size());
    return 0;
}

}  // namespace

long residentKiB() { return statusField("VmRSS"); }
long peakKiB() { return statusField("VmHWM"); }

void resetPeak() {
    std::ofstream out("/proc/self/clear_refs");
    out << "5";
}

// ---------------------------------------------------------------- servers

std::u16string u16(const std::string& text) { return std::u16string(text.begin(), text.end()); }

std::string errorText(int32_t code) {
    std::string text = "code " + std::to_string(code);
    if (code <= 0) return text;
    const int32_t messages = peloxImp_createObject(PELOX_OBJECT_STRING_ARRAY);
    if (pelox_getPeloxErrors(code, messages) == 0) {
        int32_t count = 0;
        peloxImp_getObjectSize(PELOX_OBJECT_STRING_ARRAY, messages, &count);
        for (int32_t i = 0; i < count; ++i) {
            const std::u16string m = reinterpret_cast<const char16_t*>(stringArray_getTextAtIndex(messages, static_cast<uint32_t>(i)));
            text += i == 0 ? ": " : " | ";
            for (char16_t c : m) text += c < 0x80 ? static_cast<char>(c) : '?';
        }
    }
    peloxImp_removeObject(PELOX_OBJECT_STRING_ARRAY, messages);
    return text;
}

namespace {

std::u16string login(const std::string& locatorUrl) {
    const int32_t text = peloxImp_createObject(PELOX_OBJECT_STRING);
    const std::u16string locator = u16(locatorUrl);
    const int32_t rc = pelox_login(locator.c_str(), u"bench", u"secret", nullptr, text, u"bench");
    if (rc != 0) throw std::runtime_error("login failed: " + std::to_string(rc));
    std::u16string id = reinterpret_cast<const char16_t*>(string_getText(text));
    peloxImp_removeObject(PELOX_OBJECT_STRING, text);
    return id;
}

}  // namespace

// Function-local statics: destroyed at exit, which stops the emulator.
EmulatorSession& emulatorSession() {
    static EmulatorSession instance;
    static const bool ready = [] {
        instance.locator = u16(instance.emulator.locatorUrl());
        instance.session = login(instance.emulator.locatorUrl());
        instance.sessionUtf8.assign(instance.session.begin(), instance.session.end());
        return true;
    }();
    (void)ready;
    return instance;
}

CannedSession& cannedSession() {
    static CannedSession instance;
    static const bool ready = [] {
        instance.session = login(instance.server.locatorUrl());
        return true;
    }();
    (void)ready;
    return instance;
}

// ---------------------------------------------------------------- files

fs::path scratchDirectory() {
    // Kept for the whole process (never destroyed) and removed at exit.
    static const fs::path* dir = [] {
        std::string pattern = (fs::temp_directory_path() / "pelox-bench-XXXXXX").string();
        if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
        auto* path = new fs::path(pattern);
        std::atexit([] {
            std::error_code ec;
            fs::remove_all(*dir, ec);
        });
        return path;
    }();
    return *dir;
}

fs::path testFile(size_t size) {
    const fs::path path = scratchDirectory() / ("data-" + std::to_string(size) + ".txt");
    if (fs::exists(path) && fs::file_size(path) == size) return path;
    static const char* const kWords[] = {"alpha", "beta", "gamma", "delta", "sample", "well", "plate", "reading",
                                         "value", "result", "protocol", "mean", "Qorvane", "x", "y", "z"};
    std::mt19937 random(20250101);
    std::ofstream out(path, std::ios::binary);
    std::string block;
    size_t written = 0;
    while (written < size) {
        block.clear();
        while (block.size() < (1u << 20)) {
            block += kWords[random() % 16];
            block += ' ';
            block += std::to_string(random() % 1000000);
            block += (random() % 8 == 0) ? '\n' : '\t';
        }
        const size_t n = std::min(block.size(), size - written);
        out.write(block.data(), static_cast<std::streamsize>(n));
        written += n;
    }
    return path;
}

}  // namespace pelox::bench
