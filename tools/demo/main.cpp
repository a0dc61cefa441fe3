// pelox-demo: the library's main job, run through the public API only.
//
//   pelox-demo SERVER-URL [USER [PASSWORD [PROTOCOL]]]
//
// Reads the server's configuration, logs in, reads the status page, walks the
// protocol catalogue, reads a protocol's parameters, changes one value and
// lets the server validate it, and lists the calculable properties. Then it
// runs that protocol as a job (poll, results, release) and runs
// "Examples/Client Steps/Round Trip", whose client steps the library carries
// out while polling; its instructions for the host are printed here. Every
// failure prints its status code and, for error records, their messages.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <string>
#include <vector>

#include "common/text.h"
#include "peloxImp.h"

namespace {

// Arguments and names in UTF-8 to the library's UTF-16, and back.
std::u16string u16(const std::string& s) { return pelox::tools::toU16(s); }
std::string utf8(const pelox_char* text) { return pelox::tools::toUtf8(text); }

// Objects the demo works with; removed again at the end.
struct Objects {
    int32_t text = peloxImp_createObject(PELOX_OBJECT_STRING);
    int32_t list = peloxImp_createObject(PELOX_OBJECT_STRING_ARRAY);
    int32_t list2 = peloxImp_createObject(PELOX_OBJECT_STRING_ARRAY);
    int32_t errors = peloxImp_createObject(PELOX_OBJECT_STRING_ARRAY);
    int32_t protocol = peloxImp_createObject(PELOX_OBJECT_PROTOCOL_INFO);
    int32_t results = peloxImp_createObject(PELOX_OBJECT_RESULT_INFO);
    ~Objects() {
        peloxImp_removeObject(PELOX_OBJECT_STRING, text);
        peloxImp_removeObject(PELOX_OBJECT_STRING_ARRAY, list);
        peloxImp_removeObject(PELOX_OBJECT_STRING_ARRAY, list2);
        peloxImp_removeObject(PELOX_OBJECT_STRING_ARRAY, errors);
        peloxImp_removeObject(PELOX_OBJECT_PROTOCOL_INFO, protocol);
        peloxImp_removeObject(PELOX_OBJECT_RESULT_INFO, results);
    }
};

std::vector<std::string> arrayItems(int32_t array) {
    std::vector<std::string> items;
    int32_t n = 0;
    if (peloxImp_getObjectSize(PELOX_OBJECT_STRING_ARRAY, array, &n) != 0) return items;
    for (int32_t i = 0; i < n; ++i) items.push_back(utf8(stringArray_getTextAtIndex(array, static_cast<uint32_t>(i))));
    return items;
}

std::string joined(const std::vector<std::string>& items) {
    std::string s;
    for (size_t i = 0; i < items.size(); ++i) s += (i ? ", " : "") + items[i];
    return s;
}

// Prints a failed call's code and, for an error record, its messages.
bool check(const Objects& o, const char* what, int32_t status) {
    if (status == 0) return true;
    if (status <= -1000) {
        std::printf("  (%s: notice %d)\n", what, status);
        return true;
    }
    std::printf("%s failed: %d\n", what, status);
    if (status > 0 && pelox_getPeloxErrors(status, o.errors) == 0)
        for (const std::string& m : arrayItems(o.errors)) std::printf("    %s\n", m.c_str());
    return false;
}

void printResultInfo(const Objects& o, int32_t info, const char* indent) {
    if (resultInfo_getNames(info, o.list) != 0) return;
    for (const std::string& name : arrayItems(o.list)) {
        const std::u16string wide = u16(name);
        resultInfo_getValues(info, wide.c_str(), o.list2);
        std::printf("%s%s = [%s]\n", indent, name.c_str(), joined(arrayItems(o.list2)).c_str());
    }
}

// Lists a folder and its sub-folders, depth first.
void walkCatalogue(const Objects& o, const std::u16string& session, const std::u16string& folder, int depth) {
    if (!check(o, "pelox_listProtocols", pelox_listProtocols(session.c_str(), folder.c_str(), o.list, o.list2))) return;
    const std::vector<std::string> protocols = arrayItems(o.list), folders = arrayItems(o.list2);
    const std::string pad(static_cast<size_t>(depth) * 2 + 2, ' ');
    for (const std::string& p : protocols) std::printf("%s%s\n", pad.c_str(), p.c_str());
    for (const std::string& f : folders) {
        std::printf("%s%s/\n", pad.c_str(), f.c_str());
        walkCatalogue(o, session, folder.empty() ? u16(f) : folder + u"/" + u16(f), depth + 1);
    }
}

std::string property(const Objects& o, int32_t index, int32_t number) {
    protocolInfo_getParameterProperty(o.protocol, index, number, o.list2);
    return joined(arrayItems(o.list2));
}

const char* stateName(int32_t state) {
    switch (state) {
        case PELOX_JOB_CREATED: return "created";
        case PELOX_JOB_FINISHED: return "finished";
        case PELOX_JOB_RUNNING: return "running";
        case PELOX_JOB_WAITING_FOR_CLIENT: return "waiting for the client";
        case PELOX_JOB_STATE_4: return "queued";
        case PELOX_JOB_STATE_5: return "failed";
        case PELOX_JOB_STATE_6: return "stopped";
        case PELOX_JOB_ENDED: return "ended";
        case PELOX_JOB_STATE_12: return "state 12";
        default: return "not known yet";
    }
}

bool stillRunning(int32_t state) {
    return state == PELOX_JOB_RUNNING || state == PELOX_JOB_STATE_4 || state == PELOX_JOB_UNKNOWN ||
           state == PELOX_JOB_STATE_12;
}

// Polls a job until it ends, printing each new state and status message;
// instructions the library hands to the host are printed and the job is
// continued. Returns false when a call failed.
bool pollJob(const Objects& o, const std::u16string& session, const std::u16string& job) {
    int32_t last = -1;
    std::string lastMessage;
    const auto started = std::chrono::steady_clock::now();
    for (;;) {
        int32_t state = PELOX_JOB_UNKNOWN;
        if (!check(o, "pelox_getJobStatus", pelox_getJobStatus(session.c_str(), job.c_str(), &state, o.list)))
            return false;
        const std::vector<std::string> message = arrayItems(o.list);
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        if (!message.empty() && message[0] != lastMessage) {
            lastMessage = message[0];
            std::printf("  %5.2fs  %s\n", seconds, lastMessage.c_str());
        }
        if (state != last) {
            std::printf("  %5.2fs  state %d (%s)\n", seconds, state, stateName(state));
            last = state;
        }
        if (state == PELOX_JOB_WAITING_FOR_CLIENT) {
            if (!check(o, "pelox_getClientInstructions", pelox_getClientInstructions(o.text, job.c_str())))
                return false;
            std::printf("  instructions for the host: %s\n", utf8(string_getText(o.text)).c_str());
            if (!check(o, "pelox_continueJob", pelox_continueJob(session.c_str(), job.c_str()))) return false;
            continue;
        }
        if (!stillRunning(state)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

// Launches the protocol info's protocol, polls it to its end, prints its
// results and errors, and releases it.
void runJob(const Objects& o, const std::u16string& session, const std::u16string& protocol, int32_t flags) {
    if (!check(o, "pelox_launchProtocol",
               pelox_launchProtocol(session.c_str(), protocol.c_str(), o.protocol, flags, o.text)))
        return;
    const std::u16string job = reinterpret_cast<const char16_t*>(string_getText(o.text));
    std::printf("  job %s launched\n", utf8(job.c_str()).c_str());
    if (!pollJob(o, session, job)) return;
    std::printf("  results:\n");
    if (check(o, "pelox_getJobResults", pelox_getJobResults(session.c_str(), job.c_str(), o.results)))
        printResultInfo(o, o.results, "    ");
    if (check(o, "pelox_getJobErrors", pelox_getJobErrors(session.c_str(), job.c_str(), o.list, o.list2)))
        for (const std::string& e : arrayItems(o.list)) std::printf("  error: %s\n", e.c_str());
    if (check(o, "pelox_releaseJob", pelox_releaseJob(session.c_str(), job.c_str())))
        std::printf("  job released\n");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: pelox-demo SERVER-URL [USER [PASSWORD [PROTOCOL]]]\n");
        return 2;
    }
    const std::u16string url = u16(argv[1]);
    const std::u16string user = u16(argc > 2 ? argv[2] : "demo");
    const std::u16string password = u16(argc > 3 ? argv[3] : "secret");
    const std::u16string protocolName = u16(argc > 4 ? argv[4] : "Examples/Add Numbers");

    Objects o;
    pelox_getPeloxInfo(PELOX_INFO_VERSION, o.text);
    std::printf("peloxImp %s\n", utf8(string_getText(o.text)).c_str());

    std::printf("\nServer configuration of %s:\n", argv[1]);
    if (!check(o, "pelox_getServerConfiguration", pelox_getServerConfiguration(url.c_str(), o.results))) return 1;
    printResultInfo(o, o.results, "  ");

    if (!check(o, "pelox_login", pelox_login(url.c_str(), user.c_str(), password.c_str(), nullptr, o.text, u"demo")))
        return 1;
    const std::u16string session = reinterpret_cast<const char16_t*>(string_getText(o.text));
    std::printf("\nLogged in as %s\n", utf8(user.c_str()).c_str());

    std::printf("\nServer status:\n");
    if (check(o, "pelox_getServerStatus", pelox_getServerStatus(session.c_str(), o.results)))
        printResultInfo(o, o.results, "  ");

    std::printf("\nCatalogue:\n");
    walkCatalogue(o, session, u"", 0);

    int32_t version = -1;
    if (check(o, "pelox_getProtocolVersion", pelox_getProtocolVersion(session.c_str(), protocolName.c_str(), &version)))
        std::printf("\n%s, version %d\n", utf8(protocolName.c_str()).c_str(), version);
    if (!check(o, "pelox_getProtocolParameters",
               pelox_getProtocolParameters(session.c_str(), protocolName.c_str(), o.protocol, PELOX_PARAMS_ADVANCED)))
        return 1;
    protocolInfo_getProtocolDescription(o.protocol, o.text);
    std::printf("  %s\n", utf8(string_getText(o.text)).c_str());
    protocolInfo_getProtocolStringAttribute(o.protocol, o.text, PELOX_ATTR_GUID);
    std::printf("  GUID %s\n", utf8(string_getText(o.text)).c_str());

    int32_t count = 0;
    peloxImp_getObjectSize(PELOX_OBJECT_PROTOCOL_INFO, o.protocol, &count);
    for (int32_t i = 0; i < count; ++i) {
        std::printf("  parameter %s (%s) = [%s]", property(o, i, PELOX_PROP_NAME).c_str(),
                    property(o, i, PELOX_PROP_TYPE).c_str(), property(o, i, PELOX_PROP_VALUES).c_str());
        std::printf(", valid %s\n", property(o, i, PELOX_PROP_IS_VALID).c_str());
    }

    if (count > 0) {
        const std::string name = property(o, 0, PELOX_PROP_NAME);
        std::printf("\nSetting %s to 40 and validating:\n", name.c_str());
        check(o, "protocolInfo_setParameterValue", protocolInfo_setParameterValue(o.protocol, 0, u"40"));
        std::printf("  %s = [%s], valid %s\n", name.c_str(), property(o, 0, PELOX_PROP_VALUES).c_str(),
                    property(o, 0, PELOX_PROP_IS_VALID).c_str());
    }

    std::printf("\nCalculable properties:\n");
    if (check(o, "pelox_getCalculablePropertiesByCategory",
              pelox_getCalculablePropertiesByCategory(session.c_str(), o.results)))
        printResultInfo(o, o.results, "  ");

    std::printf("\nRunning %s with the edited parameters:\n", utf8(protocolName.c_str()).c_str());
    runJob(o, session, protocolName, 0);

    // The library carries out the client steps inside the poll; with
    // PELOX_JOB_DEFER_TO_HOST instructions meant for a person come back here.
    const std::u16string roundTrip = u"Examples/Client Steps/Round Trip";
    std::printf("\nRunning %s with client steps handled by the library:\n", utf8(roundTrip.c_str()).c_str());
    if (check(o, "pelox_getProtocolParameters",
              pelox_getProtocolParameters(session.c_str(), roundTrip.c_str(), o.protocol, 0))) {
        check(o, "protocolInfo_setParameterValue",
              protocolInfo_setParameterValue(o.protocol, 0, u"a file that went to the client and back"));
        runJob(o, session, roundTrip, PELOX_JOB_DEFER_TO_HOST);
    }
    return 0;
}
