#include "reliability/export_table.h"

#include "host/tarn_util.h"
#include "registry/access.h"

#include <algorithm>
#include <chrono>
#include <fstream>
#include <future>
#include <random>
#include <sstream>
#include <thread>

namespace pelox::reliability {

// Test texts in UTF-8 to UTF-16 and back, with the library's own conversion.
std::u16string u16(const std::string& s) { return tarn::util::ConvertUTF8toString(s); }

std::string utf8(const std::u16string& s) { return tarn::util::ConvertStringtoUTF8(s); }

fs::path pathFromUtf8(const std::string& text) {
    return fs::path(std::u8string(reinterpret_cast<const char8_t*>(text.data()), text.size()));
}

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void spit(const fs::path& p, const std::string& bytes) { std::ofstream(p, std::ios::binary) << bytes; }

std::vector<std::string> entries(const fs::path& dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string errorText(int32_t id) {
    if (id <= 0) return "<no error record: " + std::to_string(id) + ">";
    const int32_t a = peloxImp_createObject(PELOX_OBJECT_STRING_ARRAY);
    std::string out;
    if (pelox_getPeloxErrors(id, a) != 0) {
        out = "<unreadable record>";
    } else {
        int32_t n = 0;
        peloxImp_getObjectSize(PELOX_OBJECT_STRING_ARRAY, a, &n);
        for (int32_t i = 0; i < n; ++i) {
            const pelox_char* t = stringArray_getTextAtIndex(a, static_cast<uint32_t>(i));
            out += (i ? " | " : "") + utf8(t ? t : u"");
        }
    }
    peloxImp_removeObject(PELOX_OBJECT_STRING_ARRAY, a);
    return out;
}

int32_t onOtherThread(const std::function<int32_t()>& f, int seconds) {
    auto result = std::async(std::launch::async, f);
    if (result.wait_for(std::chrono::seconds(seconds)) != std::future_status::ready)
        ADD_FAILURE() << "no answer within " << seconds << " s: a lock stayed held";
    return result.get();
}

namespace {

std::u16string textOf(int32_t string) {
    const pelox_char* t = string_getText(string);
    return t ? std::u16string(t) : std::u16string();
}

// The component file that imports make: a component (not a protocol).
const char* const kComponentXml =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<component type=\"component\" name=\"Imported\"><properties>"
    "<property key=\"Description\" kind=\"text\"><value>made by the reliability tests</value></property>"
    "</properties><parameters><parameter name=\"X\"><value>1</value></parameter></parameters></component>\n";

// A protocol that hands its parameter Text back as the result Echo, for
// round trips through the server; N is an integer the validation checks.
const char* const kEchoProtocol =
    "<component type=\"protocol\" name=\"Echo\"><properties/><parameters>"
    "<parameter name=\"Text\"><value>x</value></parameter>"
    "<parameter name=\"N\" type=\"integer\"><value>1</value></parameter>"
    "</parameters><script><step kind=\"setResult\" name=\"Echo\" fromParameter=\"Text\"/></script></component>";

// A protocol whose job waits for the host at once: a client instruction.
const char* const kWaitProtocol =
    "<component type=\"protocol\" name=\"Wait\"><properties/><parameters/><script>"
    "<step kind=\"instructions\" text=\"Carry on\"/></script></component>";

std::u16string launchAndWait(const std::u16string& sid) {
    const int32_t info = peloxImp_createObject(PELOX_OBJECT_PROTOCOL_INFO);
    const int32_t str = peloxImp_createObject(PELOX_OBJECT_STRING);
    const int32_t arr = peloxImp_createObject(PELOX_OBJECT_STRING_ARRAY);
    EXPECT_EQ(pelox_getProtocolParameters(sid.c_str(), u"Examples/Add Numbers", info, 0), 0);
    int32_t rc = pelox_launchProtocol(sid.c_str(), u"Examples/Add Numbers", info, 0, str);
    EXPECT_EQ(rc, 0) << errorText(rc);
    const std::u16string job = textOf(str);
    int32_t state = 0;
    for (int i = 0; i < 1000 && state != PELOX_JOB_FINISHED; ++i) {
        rc = pelox_getJobStatus(sid.c_str(), job.c_str(), &state, arr);
        EXPECT_EQ(rc, 0) << errorText(rc);
        if (rc != 0) break;
        if (state != PELOX_JOB_FINISHED) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(state, PELOX_JOB_FINISHED);
    peloxImp_removeObject(PELOX_OBJECT_PROTOCOL_INFO, info);
    peloxImp_removeObject(PELOX_OBJECT_STRING, str);
    peloxImp_removeObject(PELOX_OBJECT_STRING_ARRAY, arr);
    return job;
}

}  // namespace

Fixture::Fixture(std::vector<std::string> extraArgs, int sessions, int jobCount) {
    emu = std::make_unique<testsupport::Emulator>(std::move(extraArgs));
    fs::create_directories(emu->root() / "catalogue" / "Tests");
    spit(emu->root() / "catalogue" / "Tests" / "Echo.xml", kEchoProtocol);
    spit(emu->root() / "catalogue" / "Tests" / "Wait.xml", kWaitProtocol);
    std::random_device rd;
    local = fs::temp_directory_path() / ("pelox-reliability-" + std::to_string(rd()) + std::to_string(rd()));
    fs::create_directories(local);
    component = local / "component.xml";
    spit(component, kComponentXml);
    url = u16(emu->locatorUrl());
    for (int i = 0; i < sessions; ++i) {
        const int32_t s = peloxImp_createObject(PELOX_OBJECT_STRING);
        const int32_t rc = pelox_login(url.c_str(), u"tester", u"secret", nullptr, s, u"reliability");
        EXPECT_EQ(rc, 0) << errorText(rc);
        sids.push_back(textOf(s));
        peloxImp_removeObject(PELOX_OBJECT_STRING, s);
    }
    for (int i = 0; i < jobCount; ++i) jobs.push_back(launchAndWait(sids[i % sessions]));
}

Fixture::~Fixture() {
    std::error_code ec;
    fs::remove_all(local, ec);
}

Handles::Handles(Fixture& f, int slot) : slot(slot) {
    sid = f.sids[slot % f.sids.size()];
    job = f.jobs.empty() ? std::u16string() : f.jobs[slot % f.jobs.size()];
    str = peloxImp_createObject(PELOX_OBJECT_STRING);
    arr = peloxImp_createObject(PELOX_OBJECT_STRING_ARRAY);
    arr2 = peloxImp_createObject(PELOX_OBJECT_STRING_ARRAY);
    arr3 = peloxImp_createObject(PELOX_OBJECT_STRING_ARRAY);
    info = peloxImp_createObject(PELOX_OBJECT_PROTOCOL_INFO);
    result = peloxImp_createObject(PELOX_OBJECT_RESULT_INFO);
    waitInfo = peloxImp_createObject(PELOX_OBJECT_PROTOCOL_INFO);
    EXPECT_EQ(pelox_getProtocolParameters(sid.c_str(), u"Examples/Add Numbers", info, 0), 0);
    EXPECT_EQ(pelox_getProtocolParameters(sid.c_str(), u"Tests/Wait", waitInfo, 0), 0);
    // 150 KiB: two chunks on the zipped road.
    std::string bytes(150 * 1024, '\0');
    std::mt19937 gen(static_cast<unsigned>(slot));
    for (auto& b : bytes) b = static_cast<char>(gen() % 64 + 32);
    source = f.local / ("source" + std::to_string(slot) + ".txt");
    spit(source, bytes);
    target = f.local / ("target" + std::to_string(slot) + ".txt");
    remote = u16("remote" + std::to_string(slot) + ".txt");
    spit(f.emu->root() / utf8(remote), bytes.substr(0, 120 * 1024));
}

Handles::~Handles() {
    peloxImp_removeObject(PELOX_OBJECT_STRING, str);
    peloxImp_removeObject(PELOX_OBJECT_STRING_ARRAY, arr);
    peloxImp_removeObject(PELOX_OBJECT_STRING_ARRAY, arr2);
    peloxImp_removeObject(PELOX_OBJECT_STRING_ARRAY, arr3);
    peloxImp_removeObject(PELOX_OBJECT_PROTOCOL_INFO, info);
    peloxImp_removeObject(PELOX_OBJECT_PROTOCOL_INFO, waitInfo);
    peloxImp_removeObject(PELOX_OBJECT_RESULT_INFO, result);
}

namespace {

using F = Fixture;
using H = Handles;
using A = Args;

// An absolute local path that does not exist, in this platform's form.
#ifdef _WIN32
constexpr const char16_t* kMissingLocalFile = u"C:\\nonexistent-pelox-dir\\none.txt";
#else
constexpr const char16_t* kMissingLocalFile = u"/nonexistent-pelox-dir/none.txt";
#endif

const Pointer T{true};
const Pointer P{false};
const Pointer OptionalText{true, kAnyOutcome};
// A session identifier the export looks up, and one it only passes on.
const Pointer S{true, PELOX_E_NULL_ARGUMENT, 's', PELOX_E_NO_SESSION};
const Pointer PassedS{true, PELOX_E_NULL_ARGUMENT, 's', kAnyOutcome};
// A job identifier the export looks up.
const Pointer J{true, PELOX_E_NULL_ARGUMENT, 'j', PELOX_E_NO_JOB};
// A job identifier the export only builds a server path from.
const Pointer Path{true, PELOX_E_NULL_ARGUMENT, 'j', kAnyOutcome};
const Pointer OptionalJ{true, kAnyOutcome, 'j', PELOX_E_NO_JOB};

constexpr int32_t kNoString = PELOX_E_NO_STRING;
constexpr int32_t kNoArray = PELOX_E_NO_STRING_ARRAY;
constexpr int32_t kNoInfo = PELOX_E_NO_PROTOCOL_INFO;
constexpr int32_t kNoResult = PELOX_E_NO_RESULT_INFO;

const pelox_char* const kTwo[] = {u"2", nullptr};
const std::u16string kAddNumbers = u"Examples/Add Numbers";

// A fresh component on the server: its full name.
std::u16string importFresh(F& f, H& h) {
    const std::u16string folder =
        u16("Tests/S" + std::to_string(h.slot) + "_" + std::to_string(f.serial.fetch_add(1)));
    const int32_t rc = pelox_importComponent(h.sid.c_str(), folder.c_str(), u16(f.component.string()).c_str());
    EXPECT_EQ(rc, 0) << errorText(rc);
    return folder + u"/Imported";
}

// Parameter A gets another value, so the next validated property asks the server.
void dueForValidation(F&, H& h) { protocolInfo_setParameterValue(h.info, 0, ++h.turn % 2 ? u"2" : u"3"); }

// A fresh protocol info: texts the server gives on demand are fetched again.
void refetch(F&, H& h) {
    const int32_t rc = pelox_getProtocolParameters(h.sid.c_str(), kAddNumbers.c_str(), h.info, 0);
    EXPECT_EQ(rc, 0) << errorText(rc);
}

// A job launched for the host to carry out its client step, waiting (1502).
void waitingJob(F&, H& h) {
    int32_t rc = pelox_launchProtocol(h.sid.c_str(), u"Tests/Wait", h.waitInfo, PELOX_JOB_DEFER_TO_HOST, h.str);
    EXPECT_EQ(rc, 0) << errorText(rc);
    h.scratch = textOf(h.str);
    int32_t state = 0;
    for (int i = 0; i < 500 && state != PELOX_JOB_WAITING_FOR_CLIENT; ++i) {
        rc = pelox_getJobStatus(h.sid.c_str(), h.scratch.c_str(), &state, h.arr);
        EXPECT_EQ(rc, 0) << errorText(rc);
        if (rc != 0) return;
        if (state != PELOX_JOB_WAITING_FOR_CLIENT) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(state, PELOX_JOB_WAITING_FOR_CLIENT);
}

// A job the server knows and the library does not.
void jobStartedElsewhere(F&, H& h) {
    const int32_t rc = pelox_createJob(h.sid.c_str(), h.str, 0);
    EXPECT_EQ(rc, 0) << errorText(rc);
    h.scratch = textOf(h.str);
    pelox::HeldJob record;
    EXPECT_TRUE(pelox::registry::removeJob(h.scratch, record));
}

std::vector<Row> makeRows() {
    std::vector<Row> rows = {
        // ---- handles, version, options, errors, accessors (no server) ----
        {"peloxImp_createObject", false, 0, nullptr,
         [](F&, H&, const A&) {
             const int32_t handle = peloxImp_createObject(PELOX_OBJECT_STRING);
             if (handle <= 0) return -1;
             peloxImp_removeObject(PELOX_OBJECT_STRING, handle);
             return 0;
         },
         {}, {}},
        {"peloxImp_removeObject", false, 0,
         [](F&, H& h) { h.scratchHandle = peloxImp_createObject(PELOX_OBJECT_STRING_ARRAY); },
         [](F&, H& h, const A& a) {
             peloxImp_removeObject(PELOX_OBJECT_STRING_ARRAY, a.h(0, h.scratchHandle));
             return 0;
         },
         {}, {0}},
        {"peloxImp_getObjectSize", false, 0, nullptr,
         [](F&, H& h, const A& a) {
             int32_t n = 0;
             return peloxImp_getObjectSize(PELOX_OBJECT_STRING_ARRAY, a.h(0, h.arr), a.p(0, &n));
         },
         {P}, {kNoArray}},
        {"peloxImp_checkVersion", false, 0, nullptr,
         [](F&, H&, const A& a) { return peloxImp_checkVersion(a.p(0, "8.5.0.0")); }, {{false, PELOX_E_UNSUPPORTED}},
         {}},
        {"pelox_setPeloxOptions", false, 0, nullptr,
         [](F&, H&, const A& a) { return pelox_setPeloxOptions(PELOX_OPTION_RETRY_COUNT, a.t(0, u"10")); },
         {OptionalText}, {}},
        {"pelox_getPeloxInfo", false, 0, nullptr,
         [](F&, H& h, const A& a) { return pelox_getPeloxInfo(PELOX_INFO_VERSION, a.h(0, h.str)); }, {}, {kNoString}},
        {"pelox_getPeloxErrors", false, 0,
         [](F&, H& h) {
             // A local failure makes the record: the file to upload is missing.
             h.scratchHandle = pelox_uploadFile(h.sid.c_str(), kMissingLocalFile, u"none.txt");
             EXPECT_GT(h.scratchHandle, 0);
         },
         [](F&, H& h, const A& a) { return pelox_getPeloxErrors(h.scratchHandle, a.h(0, h.arr)); }, {}, {kNoArray}},
        {"string_getText", false, 0, nullptr,
         [](F&, H& h, const A& a) { return string_getText(a.h(0, h.str)) ? 0 : kNoString; }, {}, {kNoString}},
        {"string_getBoolValue", false, 0, [](F&, H& h) { pelox_getPeloxInfo(PELOX_INFO_RETRY_COUNT, h.str); },
         [](F&, H& h, const A& a) { return string_getBoolValue(a.h(0, h.str)) ? 0 : kNoString; }, {}, {kNoString}},
        {"stringArray_getStringAtIndex", false, 0,
         [](F&, H& h) { protocolInfo_getParameterProperty(h.info, 0, PELOX_PROP_NAME, h.arr); },
         [](F&, H& h, const A& a) { return stringArray_getStringAtIndex(a.h(0, h.arr), 0, a.h(1, h.str)); }, {},
         {kNoArray, kNoString}},
        {"stringArray_getTextAtIndex", false, 0,
         [](F&, H& h) { protocolInfo_getParameterProperty(h.info, 0, PELOX_PROP_NAME, h.arr); },
         [](F&, H& h, const A& a) { return stringArray_getTextAtIndex(a.h(0, h.arr), 0) ? 0 : kNoArray; }, {},
         {kNoArray}},
        {"resultInfo_getNames", false, 0, nullptr,
         [](F&, H& h, const A& a) { return resultInfo_getNames(a.h(0, h.result), a.h(1, h.arr)); }, {},
         {kNoResult, kNoArray}},
        {"resultInfo_getValues", false, 0,
         [](F&, H& h) { pelox_getJobResults(h.sid.c_str(), h.job.c_str(), h.result); },
         [](F&, H& h, const A& a) { return resultInfo_getValues(a.h(0, h.result), a.t(0, u"Sum"), a.h(1, h.arr)); },
         {T}, {kNoResult, kNoArray}},

        // ---- session and server ----
        {"pelox_login", true, 0, nullptr,
         [](F& f, H& h, const A& a) {
             return pelox_login(a.t(0, f.url), a.t(1, u"tester"), a.t(2, u"secret"), nullptr, a.h(0, h.str),
                                a.t(3, u"reliability"));
         },
         {T, T, T, OptionalText}, {kNoString}},
        {"pelox_getServerConfiguration", true, 0, nullptr,
         [](F& f, H& h, const A& a) { return pelox_getServerConfiguration(a.t(0, f.url), a.h(0, h.result)); }, {T},
         {kNoResult}},
        {"pelox_getServerStatus", true, 0, nullptr,
         [](F&, H& h, const A& a) { return pelox_getServerStatus(a.t(0, h.sid), a.h(0, h.result)); }, {S},
         {kNoResult}},

        // ---- catalogue ----
        {"pelox_listProtocols", true, 0, nullptr,
         [](F&, H& h, const A& a) {
             return pelox_listProtocols(a.t(0, h.sid), a.t(1, u"Examples"), a.h(0, h.arr), a.h(1, h.arr2));
         },
         {S, T}, {kNoArray, kNoArray}},
        {"pelox_listContents2", true, 0, nullptr,
         [](F&, H& h, const A& a) {
             return pelox_listContents2(a.t(0, h.sid), a.t(1, u""), a.h(0, h.arr), a.h(1, h.arr2), a.h(2, h.arr3),
                                        a.t(2, h.job));
         },
         {S, OptionalText, Path}, {kNoArray, kNoArray, kNoArray}},
        {"pelox_getProtocolVersion", true, 0, nullptr,
         [](F&, H& h, const A& a) {
             int32_t version = 0;
             return pelox_getProtocolVersion(a.t(0, h.sid), a.t(1, kAddNumbers), a.p(2, &version));
         },
         {S, T, P}, {}},
        {"pelox_getProtocolParameters", true, 0, nullptr,
         [](F&, H& h, const A& a) {
             return pelox_getProtocolParameters(a.t(0, h.sid), a.t(1, kAddNumbers), a.h(0, h.info), 0);
         },
         {S, T}, {kNoInfo}},
        {"pelox_getCalculablePropertiesByCategory", true, 0, nullptr,
         [](F&, H& h, const A& a) { return pelox_getCalculablePropertiesByCategory(a.t(0, h.sid), a.h(0, h.result)); },
         {S}, {kNoResult}},

        // ---- protocol info (validated properties ask the server) ----
        {"protocolInfo_getParameterProperty", true, 0, dueForValidation,
         [](F&, H& h, const A& a) {
             return protocolInfo_getParameterProperty(a.h(0, h.info), 0, PELOX_PROP_IS_VALID, a.h(1, h.arr));
         },
         {}, {kNoInfo, kNoArray}},
        {"protocolInfo_getParameterPropertyForName", true, 0, dueForValidation,
         [](F&, H& h, const A& a) {
             return protocolInfo_getParameterPropertyForName(a.h(0, h.info), a.t(0, u"A"), PELOX_PROP_IS_VALID,
                                                             a.h(1, h.arr));
         },
         {T}, {kNoInfo, kNoArray}},
        {"protocolInfo_getParameterPropertyType", true, 0, dueForValidation,
         [](F&, H& h, const A& a) {
             pelox_bool value = 0;
             return protocolInfo_getParameterPropertyType(a.h(0, h.info), a.t(0, u"A"), 0, PELOX_PROP_IS_VALID,
                                                          a.p(1, &value), PELOX_KIND_BOOLEAN | PELOX_LOOKUP_BY_NAME);
         },
         {T, P}, {kNoInfo}},
        {"protocolInfo_setParameterValues", false, 0, nullptr,
         [](F&, H& h, const A& a) { return protocolInfo_setParameterValues(a.h(0, h.info), 0, a.p(0, kTwo)); }, {P},
         {kNoInfo}},
        {"protocolInfo_setParameterValue", false, 0, nullptr,
         [](F&, H& h, const A& a) { return protocolInfo_setParameterValue(a.h(0, h.info), 0, a.t(0, u"2")); }, {T},
         {kNoInfo}},
        {"protocolInfo_setOrAddParameter", false, 0, nullptr,
         [](F&, H& h, const A& a) { return protocolInfo_setOrAddParameter(a.h(0, h.info), a.t(0, u"Extra"), a.p(1, kTwo)); },
         {T, P}, {kNoInfo}},
        {"protocolInfo_addGlobalPropertyResult", true, 0, refetch,
         [](F&, H& h, const A& a) { return protocolInfo_addGlobalPropertyResult(a.h(0, h.info), a.t(0, u"Area")); },
         {T}, {kNoInfo}},
        {"protocolInfo_getProtocolStringAttribute", true, 0, refetch,
         [](F&, H& h, const A& a) {
             return protocolInfo_getProtocolStringAttribute(a.h(0, h.info), a.h(1, h.str), PELOX_ATTR_GUID);
         },
         {}, {kNoInfo, kNoString}},
        {"protocolInfo_getProtocolComment", false, 0, nullptr,
         [](F&, H& h, const A& a) { return protocolInfo_getProtocolComment(a.h(0, h.info), a.h(1, h.str)); }, {},
         {kNoInfo, kNoString}},
        {"protocolInfo_getProtocolDescription", false, 0, nullptr,
         [](F&, H& h, const A& a) { return protocolInfo_getProtocolDescription(a.h(0, h.info), a.h(1, h.str)); }, {},
         {kNoInfo, kNoString}},

        // ---- jobs ----
        {"pelox_createJob", true, 0, nullptr,
         [](F&, H& h, const A& a) { return pelox_createJob(a.t(0, h.sid), a.h(0, h.str), 0); }, {S}, {kNoString}},
        {"pelox_launchJob", true, 0, dueForValidation,
         [](F&, H& h, const A& a) {
             return pelox_launchJob(a.t(0, h.sid), a.t(1, kAddNumbers), a.h(0, h.info), 0, a.h(1, h.str), nullptr);
         },
         {S, T}, {kNoInfo, kNoString}},
        {"pelox_launchProtocol", true, 0, dueForValidation,
         [](F&, H& h, const A& a) {
             return pelox_launchProtocol(a.t(0, h.sid), a.t(1, kAddNumbers), a.h(0, h.info), 0, a.h(1, h.str));
         },
         {S, T}, {kNoInfo, kNoString}},
        {"pelox_getJobStatus", true, 0, nullptr,
         [](F&, H& h, const A& a) {
             int32_t state = 0;
             return pelox_getJobStatus(a.t(0, h.sid), a.t(1, h.job), a.p(2, &state), a.h(0, h.arr));
         },
         {S, J, P}, {kNoArray}},
        {"pelox_getJobErrors", true, 0, nullptr,
         [](F&, H& h, const A& a) {
             return pelox_getJobErrors(a.t(0, h.sid), a.t(1, h.job), a.h(0, h.arr), a.h(1, h.arr2));
         },
         {PassedS, J}, {kNoArray, kNoArray}},
        {"pelox_getJobResults", true, 0, nullptr,
         [](F&, H& h, const A& a) { return pelox_getJobResults(a.t(0, h.sid), a.t(1, h.job), a.h(0, h.result)); },
         {S, J}, {kNoResult}},
        {"pelox_stopJob", true, 0, nullptr,
         [](F&, H& h, const A& a) { return pelox_stopJob(a.t(0, h.sid), a.t(1, h.job)); }, {PassedS, J}, {}},
        {"pelox_releaseJob", true, 0,
         [](F&, H& h) {
             const int32_t rc = pelox_createJob(h.sid.c_str(), h.str, 0);
             EXPECT_EQ(rc, 0) << errorText(rc);
             h.scratch = textOf(h.str);
         },
         [](F&, H& h, const A& a) { return pelox_releaseJob(a.t(0, h.sid), a.t(1, h.scratch)); }, {PassedS, J}, {}},
        {"pelox_continueJob", true, 0, waitingJob,
         [](F&, H& h, const A& a) { return pelox_continueJob(a.t(0, h.sid), a.t(1, h.scratch)); }, {PassedS, J}, {}},
        {"pelox_reconnectToJob", true, 0, jobStartedElsewhere,
         [](F&, H& h, const A& a) { return pelox_reconnectToJob(a.t(0, h.sid), a.t(1, h.scratch), 0); }, {S, T}, {}},
        {"pelox_getClientInstructions", false, 0, waitingJob,
         [](F&, H& h, const A& a) { return pelox_getClientInstructions(a.h(0, h.str), a.t(0, h.scratch)); }, {J},
         {kNoString}},
        {"pelox_uploadFile", true, 0, nullptr,
         [](F&, H& h, const A& a) {
             return pelox_uploadFile(a.t(0, h.sid), a.t(1, u16(h.source.string())),
                                     a.t(2, u16("uploads/file" + std::to_string(h.slot) + ".txt")));
         },
         {S, T, T}, {}},
        {"pelox_uploadJobFile", true, 0, nullptr,
         [](F&, H& h, const A& a) {
             return pelox_uploadJobFile(a.t(0, h.sid), a.t(1, u16(h.source.string())),
                                        a.t(2, u16("up" + std::to_string(h.slot) + ".txt")), a.t(3, h.job));
         },
         {S, T, T, OptionalJ}, {}},
        {"pelox_downloadFile", true, 0, nullptr,
         [](F&, H& h, const A& a) {
             return pelox_downloadFile(a.t(0, h.sid), a.t(1, h.remote), a.t(2, u16(h.target.string())));
         },
         {S, T, T}, {}},
        {"pelox_checkFileAccess", true, 0, nullptr,
         [](F&, H& h, const A& a) {
             pelox_bool exists = 0;
             const int32_t rc = pelox_checkFileAccess(a.t(0, h.sid), a.t(1, h.remote), a.p(2, &exists));
             return rc == 0 && !exists && a.kind == Args::Kind::None ? -1 : rc;
         },
         {S, T, P}, {}},
        {"pelox_importComponent", true, 0, nullptr,
         [](F& f, H& h, const A& a) {
             return pelox_importComponent(a.t(0, h.sid), a.t(1, u"Tests"), a.t(2, u16(f.component.string())));
         },
         {S, T, T}, {}},
        {"pelox_exportComponent", true, 0, nullptr,
         [](F&, H& h, const A& a) {
             return pelox_exportComponent(a.t(0, h.sid), a.t(1, kAddNumbers), a.t(2, u16(h.target.string())));
         },
         {S, T, T}, {}},
        {"pelox_deleteComponent", true, 0, [](F& f, H& h) { h.scratch = importFresh(f, h); },
         [](F&, H& h, const A& a) { return pelox_deleteComponent(a.t(0, h.sid), a.t(1, h.scratch)); }, {S, T}, {}},
        {"pelox_renameComponent", true, 0,
         [](F& f, H& h) {
             h.scratch = importFresh(f, h);
             h.scratch2 = h.scratch.substr(0, h.scratch.rfind(u'/')) + u"/Renamed";
         },
         [](F&, H& h, const A& a) { return pelox_renameComponent(a.t(0, h.sid), a.t(1, h.scratch), a.t(2, h.scratch2)); },
         {S, T, T}, {}},
    };
    return rows;
}

}  // namespace

const std::vector<Row>& exportRows() {
    static const std::vector<Row> rows = makeRows();
    return rows;
}

const Row& row(const char* name) {
    for (const Row& r : exportRows())
        if (std::string(r.name) == name) return r;
    throw std::invalid_argument(std::string("no row ") + name);
}

}  // namespace pelox::reliability
