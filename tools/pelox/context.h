// What a command gets: its arguments, the output, the library objects and
// the server.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "api.h"
#include "output.h"
#include "server.h"

namespace pelox::cli {

// Parsed arguments: positional ones in order, options by long name (every
// value of a repeated option).
struct Args {
    std::vector<std::string> positional;
    std::map<std::string, std::vector<std::string>> options;

    bool has(const std::string& name) const { return options.count(name) != 0; }
    std::string value(const std::string& name, const std::string& fallback = {}) const {
        auto it = options.find(name);
        return it == options.end() || it->second.empty() ? fallback : it->second.back();
    }
    std::vector<std::string> values(const std::string& name) const {
        auto it = options.find(name);
        return it == options.end() ? std::vector<std::string>() : it->second;
    }
};

struct Context {
    Output out;
    Objects objects;
    Server* server = nullptr;
    Args args;

    const std::u16string& session() { return server->session(objects); }
    // Adds what every document may carry (a kept emulator) and prints it.
    void document(Json doc) const;
};

// When a catalogue call failed for a protocol or folder name: a one-line
// message if the name is not in the catalogue (letter case counts), with the
// nearest names there; nothing when the name is there (the failure had
// another cause).
std::optional<std::string> notInCatalogue(Context& c, const std::string& name, bool isFolder);

// Client-step flags for run and the job commands.
int32_t clientStepFlags(const Args& args);

// The commands; each returns the exit status.
int cmdInfo(Context& c);
int cmdConfig(Context& c);
int cmdStatus(Context& c);
int cmdLs(Context& c);
int cmdJobdir(Context& c);
int cmdProps(Context& c);
int cmdParams(Context& c);
int cmdRun(Context& c);
int cmdJob(Context& c, const std::string& action);
int cmdPut(Context& c);
int cmdGet(Context& c);
int cmdExists(Context& c);
int cmdComponent(Context& c, const std::string& action);

// Set by SIGINT/SIGTERM while a command may stop gracefully (run's polling).
bool interrupted();
void allowGracefulInterrupt(bool allow);

}  // namespace pelox::cli
