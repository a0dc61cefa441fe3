// Output for people (aligned tables, plain lines, a live progress line on a
// terminal) and for scripts (one JSON document per command, keys in a fixed
// order).
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "api.h"

namespace pelox::cli {

using Json = nlohmann::ordered_json;

// A table with a header row, printed with columns aligned (widths counted in
// characters, not bytes). Cells are single lines: line breaks and tabs print
// as spaces.
class Table {
public:
    explicit Table(std::vector<std::string> header) : header_(std::move(header)) {}
    void add(std::vector<std::string> row) { rows_.push_back(std::move(row)); }
    bool empty() const { return rows_.empty(); }
    void print(const std::string& indent = "") const;

private:
    std::vector<std::string> header_;
    std::vector<std::vector<std::string>> rows_;
};

// Where the command writes. In JSON mode standard output holds only the
// command's document; notes and progress go to standard error.
class Output {
public:
    bool json = false;

    // A line for people on standard output (nothing in JSON mode). A live
    // progress line, when shown, is cleared first.
    void line(const std::string& text) const;
    // A note for people on standard error (in both modes).
    void note(const std::string& text) const;
    // The live progress line on standard error; shown only when standard
    // error is a terminal. An empty text clears it.
    void progress(const std::string& text) const;
    bool progressShown() const { return progressTerminal_; }
    // The command's JSON document on standard output.
    void document(const Json& doc) const;

    // Set up once: whether standard error is a terminal.
    void detectTerminal();

private:
    bool progressTerminal_ = false;
    mutable bool progressVisible_ = false;
};

// Prints a failed call on standard error: the function, the code's name and
// number, and every message.
void printCallFailed(const CallFailed& failure);
// The JSON form of a failure; hints say what to do about it.
Json failureJson(const CallFailed& failure, const std::vector<std::string>& hints = {});
Json failureJson(const std::string& message, int exitStatus);

// The candidates closest to a mistyped name, nearest first (edit distance,
// letter case ignored; a candidate that differs only in case comes first):
// at most count of them, and none that shares too little with the name.
std::vector<std::string> nearestNames(const std::string& wanted, const std::vector<std::string>& candidates,
                                      size_t count = 3);

// A list of texts as one cell: "a, b, c".
std::string joined(const std::vector<std::string>& values, const char* separator = ", ");

// The pieces of text between separators, empty ones included ("a//b" gives
// "a", "", "b"; "" gives one empty piece).
std::vector<std::string> splitAt(const std::string& text, char separator);

}  // namespace pelox::cli
