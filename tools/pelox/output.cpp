#include "output.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <utility>
#include <cstdio>

namespace pelox::cli {

namespace {

// Characters, not bytes: continuation bytes of UTF-8 do not count.
size_t displayWidth(const std::string& text) {
    size_t n = 0;
    for (unsigned char c : text)
        if ((c & 0xC0) != 0x80) ++n;
    return n;
}

std::string oneLine(std::string text) {
    for (char& c : text)
        if (c == '\n' || c == '\r' || c == '\t') c = ' ';
    return text;
}

}  // namespace

void Table::print(const std::string& indent) const {
    std::vector<size_t> widths(header_.size(), 0);
    auto measure = [&](const std::vector<std::string>& row) {
        for (size_t i = 0; i < row.size() && i < widths.size(); ++i)
            widths[i] = std::max(widths[i], displayWidth(oneLine(row[i])));
    };
    measure(header_);
    for (const auto& row : rows_) measure(row);
    auto printRow = [&](const std::vector<std::string>& row) {
        std::string out = indent;
        for (size_t i = 0; i < widths.size(); ++i) {
            const std::string cell = i < row.size() ? oneLine(row[i]) : std::string();
            out += cell;
            if (i + 1 < widths.size()) out += std::string(widths[i] - displayWidth(cell) + 2, ' ');
        }
        while (!out.empty() && out.back() == ' ') out.pop_back();
        std::printf("%s\n", out.c_str());
    };
    printRow(header_);
    for (const auto& row : rows_) printRow(row);
}

void Output::detectTerminal() { progressTerminal_ = ::isatty(STDERR_FILENO) == 1; }

void Output::line(const std::string& text) const {
    if (json) return;
    progress("");
    std::printf("%s\n", text.c_str());
    std::fflush(stdout);
}

void Output::note(const std::string& text) const {
    progress("");
    std::fprintf(stderr, "%s\n", text.c_str());
}

void Output::progress(const std::string& text) const {
    if (!progressTerminal_) return;
    if (text.empty()) {
        if (progressVisible_) std::fputs("\r\033[K", stderr);
        progressVisible_ = false;
        return;
    }
    std::fflush(stdout);
    std::fprintf(stderr, "\r\033[K%s", text.c_str());
    std::fflush(stderr);
    progressVisible_ = true;
}

void Output::document(const Json& doc) const {
    progress("");
    std::printf("%s\n", doc.dump(2).c_str());
    std::fflush(stdout);
}

void printCallFailed(const CallFailed& failure) {
    if (failure.code > 0)
        std::fprintf(stderr, "pelox: %s failed: error record %d\n", failure.function.c_str(), failure.code);
    else
        std::fprintf(stderr, "pelox: %s failed: %s (%d)\n", failure.function.c_str(), statusName(failure.code).c_str(),
                     failure.code);
    for (const std::string& message : failure.messages) std::fprintf(stderr, "  %s\n", message.c_str());
}

Json failureJson(const CallFailed& failure, const std::vector<std::string>& hints) {
    Json error;
    error["function"] = failure.function;
    error["code"] = failure.code;
    error["name"] = statusName(failure.code);
    error["messages"] = failure.messages;
    error["hints"] = hints;
    return Json{{"error", error}};
}

Json failureJson(const std::string& message, int exitStatus) {
    Json error;
    error["function"] = nullptr;
    error["code"] = nullptr;
    error["name"] = exitStatus == kExitUsage ? "usage" : exitStatus == kExitNegative ? "negative" : "local";
    error["messages"] = Json::array({message});
    error["hints"] = Json::array();
    return Json{{"error", error}};
}

namespace {

std::string lowered(std::string s) {
    for (char& ch : s) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    return s;
}

size_t editDistance(const std::string& a, const std::string& b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

}  // namespace

std::vector<std::string> nearestNames(const std::string& wanted, const std::vector<std::string>& candidates,
                                      size_t count) {
    const std::string key = lowered(wanted);
    std::vector<std::pair<size_t, std::string>> scored;
    for (const std::string& candidate : candidates) {
        const std::string folded = lowered(candidate);
        const size_t distance = editDistance(key, folded);
        // More than half the longer name changed: not a typo of it.
        if (distance * 2 > std::max(key.size(), folded.size()) && folded.find(key) == std::string::npos) continue;
        scored.emplace_back(distance, candidate);
    }
    std::stable_sort(scored.begin(), scored.end(), [](const auto& x, const auto& y) { return x.first < y.first; });
    std::vector<std::string> out;
    for (size_t i = 0; i < scored.size() && out.size() < count; ++i) out.push_back(scored[i].second);
    return out;
}

std::vector<std::string> splitAt(const std::string& text, char separator) {
    std::vector<std::string> pieces;
    for (size_t start = 0;;) {
        const size_t end = text.find(separator, start);
        pieces.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) return pieces;
        start = end + 1;
    }
}

std::string joined(const std::vector<std::string>& values, const char* separator) {
    std::string out;
    for (size_t i = 0; i < values.size(); ++i) {
        if (i) out += separator;
        out += values[i];
    }
    return out;
}

}  // namespace pelox::cli
