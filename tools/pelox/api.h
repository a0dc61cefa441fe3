// pelox's view of the library: text conversion, the objects behind handles,
// status codes with their names, and failed calls as exceptions. Only the
// public header is used.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "common/text.h"
#include "peloxImp.h"

namespace pelox::cli {

// UTF-8 (program arguments, files, the terminal) to the library's UTF-16 and
// back. Malformed input becomes U+FFFD.
using tools::toU16;
using tools::toUtf8;

// The name of a status code: "PELOX_OK", "PELOX_E_CONNECTION", ..., "error
// record" for a positive code, "PELOX_NOTICE_..." for notices, "status N"
// for codes the header does not name.
std::string statusName(int32_t code);
// A short description of a negative code ("" when there is none).
std::string statusText(int32_t code);

// A call of the library that failed: the function, its status code and
// every message of the error record (for a positive code), or the code's
// description (for a negative one).
struct CallFailed : std::runtime_error {
    CallFailed(std::string function, int32_t code, std::vector<std::string> messages);
    std::string function;
    int32_t code;
    std::vector<std::string> messages;
};

// A failure of pelox itself (bad arguments, a local file, the emulator), with
// the exit status to end with.
struct Failure : std::runtime_error {
    Failure(int exitStatus, const std::string& message) : std::runtime_error(message), exitStatus(exitStatus) {}
    int exitStatus;
};

// Exit statuses.
constexpr int kExitOk = 0;
constexpr int kExitCallFailed = 1;  // a library call failed (error record or PELOX_E_ code)
constexpr int kExitUsage = 2;       // wrong arguments, missing input
constexpr int kExitNegative = 3;    // the command ran, the answer is no (job failed, file missing, invalid parameters)
constexpr int kExitLocal = 4;       // a local problem: the emulator, a local file
constexpr int kExitJobErrors = 5;   // the job finished, but reported errors on its way
constexpr int kExitInterrupted = 130;

// Checks a status code: 0 and notices (<= -1000) pass, anything else throws
// CallFailed, with the error record's messages read (and so forgotten).
int32_t check(const char* function, int32_t code);

// The objects one command works with. Each is created on first use and
// removed at destruction.
class Objects {
public:
    Objects() = default;
    ~Objects();
    Objects(const Objects&) = delete;
    Objects& operator=(const Objects&) = delete;

    int32_t string(int slot = 0);
    int32_t array(int slot = 0);
    int32_t protocolInfo();
    int32_t resultInfo();

private:
    int32_t make(int32_t type, std::vector<int32_t>& list, int slot);
    std::vector<int32_t> strings_, arrays_, protocols_, results_;
};

// Readers of library objects (copies, in UTF-8).
std::string text(int32_t string);
std::vector<std::string> items(int32_t array);
// Names and values of a result info, in order.
using NamedValues = std::vector<std::pair<std::string, std::vector<std::string>>>;
NamedValues namedValues(int32_t resultInfo, Objects& objects);

// Job state names: the one of JSON documents ("finished", "waiting_for_client",
// "queued", ...; the Python package's names in lower case) and words for
// people ("waiting for the client").
std::string jobStateName(int32_t state);
std::string jobStateWords(int32_t state);
// Finished, failed, stopped or ended: no more polling.
bool jobStateIsFinal(int32_t state);
// How a job in a final state ended, for scripts: "succeeded" (finished, no
// error reported), "finished_with_errors" (finished, but a step reported an
// error), "failed", "stopped" or "ended"; "" while the job is not over.
std::string jobOutcome(int32_t state, bool reportedErrors);
// The exit status of an outcome: 0 succeeded (or not over), 5 finished with
// errors, 3 failed, stopped or ended.
int outcomeExitStatus(const std::string& outcome);

}  // namespace pelox::cli
