#include "api.h"

#include <cstdio>

namespace pelox::cli {

namespace {

struct CodeInfo {
    int32_t code;
    const char* name;
    const char* text;
};

#define PELOX_CODE(name, text) {name, #name, text}
constexpr CodeInfo kCodes[] = {
    PELOX_CODE(PELOX_OK, "success"),
    PELOX_CODE(PELOX_E_NO_STRING, "a string handle is not registered"),
    PELOX_CODE(PELOX_E_NO_STRING_ARRAY, "a string-array handle is not registered"),
    PELOX_CODE(PELOX_E_INDEX, "an element index is not below the element count"),
    PELOX_CODE(PELOX_E_NO_PROTOCOL_INFO, "a protocol-info handle is not registered"),
    PELOX_CODE(PELOX_E_NO_PARAMETER, "no parameter with that index or name"),
    PELOX_CODE(PELOX_E_NO_PROPERTY, "the property number is not a known parameter property"),
    PELOX_CODE(PELOX_E_NO_RESULT_INFO, "a result-info handle is not registered"),
    PELOX_CODE(PELOX_E_NO_RESULT_NAME, "no result-info entry has the given name"),
    PELOX_CODE(PELOX_E_NULL_ARGUMENT, "a required argument is missing or empty"),
    PELOX_CODE(PELOX_E_NO_ERROR_RECORD, "no error record with that identifier is held"),
    PELOX_CODE(PELOX_E_NO_SESSION, "the session is not known (log in first)"),
    PELOX_CODE(PELOX_E_NO_JOB, "the job is not known to the server or the library"),
    PELOX_CODE(PELOX_E_NOT_WAITING_FOR_CLIENT, "the job is not waiting for the client"),
    PELOX_CODE(PELOX_E_LAUNCH, "the server did not clear the job before a relaunch"),
    PELOX_CODE(PELOX_E_JOB_STATE, "the job's state does not allow reading its errors"),
    PELOX_CODE(PELOX_E_UNEXPECTED, "an unexpected internal failure"),
    PELOX_CODE(PELOX_E_COMPONENT_FILE, "a component file could not be read, or no component data came back"),
    PELOX_CODE(PELOX_E_UNKNOWN_OPTION, "option number outside 100 to 107"),
    PELOX_CODE(PELOX_E_UNKNOWN_TYPE, "unknown object type, or an incomplete parameter list at launch"),
    PELOX_CODE(PELOX_E_RELATIVE_PATH, "a local file path is relative; it must be absolute"),
    PELOX_CODE(PELOX_E_LOOKUP_MODE, "the mode flags ask for neither lookup by index nor by name"),
    PELOX_CODE(PELOX_E_SERVER_VERSION, "the server is too old or does not accept this client"),
    PELOX_CODE(PELOX_E_UNSUPPORTED, "version not served, or attribute selector outside 1 to 4"),
    PELOX_CODE(PELOX_E_UNKNOWN_INFO, "information selector other than 103, 104 and 200"),
    PELOX_CODE(PELOX_E_CONNECTION, "the server could not be reached after all retries"),
    PELOX_CODE(PELOX_E_SERVICE_CALL, "a service call failed for another transport reason"),
    PELOX_CODE(PELOX_E_REGISTRANT, "the component's registrant contains \"/\""),
    PELOX_CODE(PELOX_E_RESERVED_NAME, "the parameter name is one that the launch adds itself"),
    PELOX_CODE(PELOX_E_VALIDATION_OFF, "validation is switched off while a validated value is asked for"),
    PELOX_CODE(PELOX_NOTICE_PARAMETER_ADDED, "a new parameter was added"),
    PELOX_CODE(PELOX_NOTICE_VALIDATED, "the server validated the parameters"),
};

struct StateInfo {
    int32_t state;
    const char* name;   // in JSON documents; the Python package's JobState names, in lower case
    const char* words;  // for people
};

constexpr StateInfo kStates[] = {
    {PELOX_JOB_CREATED, "created", "created"},
    {PELOX_JOB_FINISHED, "finished", "finished"},
    {PELOX_JOB_RUNNING, "running", "running"},
    {PELOX_JOB_WAITING_FOR_CLIENT, "waiting_for_client", "waiting for the client"},
    {PELOX_JOB_QUEUED, "queued", "queued"},
    {PELOX_JOB_FAILED, "failed", "failed"},
    {PELOX_JOB_STOPPED, "stopped", "stopped"},
    {PELOX_JOB_ENDED, "ended", "ended"},
    {PELOX_JOB_UNKNOWN, "unknown", "state not known yet"},
    {PELOX_JOB_STATE_12, "state_12", "server state 12"},
};
#undef PELOX_CODE

}  // namespace

std::string statusName(int32_t code) {
    if (code > 0) return "error record";
    for (const CodeInfo& info : kCodes)
        if (info.code == code) return info.name;
    return "status " + std::to_string(code);
}

std::string statusText(int32_t code) {
    for (const CodeInfo& info : kCodes)
        if (info.code == code) return info.text;
    return {};
}

CallFailed::CallFailed(std::string function_, int32_t code_, std::vector<std::string> messages_)
    : std::runtime_error(function_ + " failed: " + statusName(code_)),
      function(std::move(function_)),
      code(code_),
      messages(std::move(messages_)) {}

int32_t check(const char* function, int32_t code) {
    if (code == PELOX_OK || code <= -1000) return code;
    std::vector<std::string> messages;
    if (code > 0) {
        const int32_t array = peloxImp_createObject(PELOX_OBJECT_STRING_ARRAY);
        if (array != 0 && pelox_getPeloxErrors(code, array) == PELOX_OK) messages = items(array);
        peloxImp_removeObject(PELOX_OBJECT_STRING_ARRAY, array);
    } else if (std::string description = statusText(code); !description.empty()) {
        messages.push_back(description);
    }
    throw CallFailed(function, code, std::move(messages));
}

Objects::~Objects() {
    for (int32_t h : strings_) peloxImp_removeObject(PELOX_OBJECT_STRING, h);
    for (int32_t h : arrays_) peloxImp_removeObject(PELOX_OBJECT_STRING_ARRAY, h);
    for (int32_t h : protocols_) peloxImp_removeObject(PELOX_OBJECT_PROTOCOL_INFO, h);
    for (int32_t h : results_) peloxImp_removeObject(PELOX_OBJECT_RESULT_INFO, h);
}

int32_t Objects::make(int32_t type, std::vector<int32_t>& list, int slot) {
    while (static_cast<int>(list.size()) <= slot) {
        const int32_t handle = peloxImp_createObject(type);
        if (handle == 0) throw CallFailed("peloxImp_createObject", PELOX_E_UNEXPECTED, {"no object was created"});
        list.push_back(handle);
    }
    return list[static_cast<size_t>(slot)];
}

int32_t Objects::string(int slot) { return make(PELOX_OBJECT_STRING, strings_, slot); }
int32_t Objects::array(int slot) { return make(PELOX_OBJECT_STRING_ARRAY, arrays_, slot); }
int32_t Objects::protocolInfo() { return make(PELOX_OBJECT_PROTOCOL_INFO, protocols_, 0); }
int32_t Objects::resultInfo() { return make(PELOX_OBJECT_RESULT_INFO, results_, 0); }

std::string text(int32_t string) { return toUtf8(string_getText(string)); }

std::vector<std::string> items(int32_t array) {
    std::vector<std::string> out;
    int32_t count = 0;
    if (peloxImp_getObjectSize(PELOX_OBJECT_STRING_ARRAY, array, &count) != PELOX_OK) return out;
    for (int32_t i = 0; i < count; ++i)
        out.push_back(toUtf8(stringArray_getTextAtIndex(array, static_cast<uint32_t>(i))));
    return out;
}

NamedValues namedValues(int32_t resultInfo, Objects& objects) {
    NamedValues out;
    const int32_t names = objects.array(0);
    const int32_t values = objects.array(1);
    check("resultInfo_getNames", resultInfo_getNames(resultInfo, names));
    for (const std::string& name : items(names)) {
        const std::u16string wide = toU16(name);
        check("resultInfo_getValues", resultInfo_getValues(resultInfo, reinterpret_cast<const pelox_char*>(wide.c_str()), values));
        out.emplace_back(name, items(values));
    }
    return out;
}

std::string jobStateName(int32_t state) {
    for (const StateInfo& info : kStates)
        if (info.state == state) return info.name;
    return "state " + std::to_string(state);
}

std::string jobStateWords(int32_t state) {
    for (const StateInfo& info : kStates)
        if (info.state == state) return info.words;
    return "state " + std::to_string(state);
}

bool jobStateIsFinal(int32_t state) {
    return state == PELOX_JOB_FINISHED || state == PELOX_JOB_FAILED || state == PELOX_JOB_STOPPED ||
           state == PELOX_JOB_ENDED;
}

std::string jobOutcome(int32_t state, bool reportedErrors) {
    switch (state) {
        case PELOX_JOB_FINISHED: return reportedErrors ? "finished_with_errors" : "succeeded";
        case PELOX_JOB_FAILED: return "failed";
        case PELOX_JOB_STOPPED: return "stopped";
        case PELOX_JOB_ENDED: return "ended";
        default: return {};
    }
}

int outcomeExitStatus(const std::string& outcome) {
    if (outcome.empty() || outcome == "succeeded") return kExitOk;
    if (outcome == "finished_with_errors") return kExitJobErrors;
    return kExitNegative;
}

}  // namespace pelox::cli
