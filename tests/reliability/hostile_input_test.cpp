// Hostile input at every export: null for each pointer, an unknown handle
// of each type, unknown session and job identifiers, and texts no caller
// should send (10 MiB, lone surrogates, control and markup characters,
// 5000 characters, paths leaving the server root). Every call ends in its
// documented code or an error record, never in an unexpected failure, and
// the next ordinary call works. Texts outside the Basic Multilingual Plane
// round-trip through the server: as a parameter value through validation and
// a job result, as a user name, and as file names through uploads and
// downloads on both transfer roads.
#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <thread>

#include "connection/channel.h"
#include "reliability/export_table.h"

using namespace pelox::reliability;

namespace {

bool returnsStatus(const Row& r) {
    static const std::set<std::string> notStatus = {"peloxImp_createObject", "peloxImp_removeObject", "string_getText",
                                                    "string_getBoolValue", "stringArray_getTextAtIndex"};
    return !notStatus.count(r.name);
}

// Runs one mutated call, then the ordinary call on another thread.
int32_t mutated(Fixture& f, Handles& h, const Row& r, const Args& a, const std::string& where) {
    if (r.prepare) r.prepare(f, h);
    const int32_t rc = r.call(f, h, a);
    EXPECT_NE(rc, PELOX_E_UNEXPECTED) << where;
    if (rc > 0 && returnsStatus(r)) {
        EXPECT_NE(errorText(rc), "") << where;
    }
    const int32_t next = onOtherThread([&] {
        if (r.prepare) r.prepare(f, h);
        return r.call(f, h, Args{});
    });
    EXPECT_EQ(next, r.expected) << where << ", the call after: " << errorText(next);
    return rc;
}

std::u16string repeat(const std::u16string& piece, size_t units) {
    std::u16string s;
    s.reserve(units + piece.size());
    while (s.size() < units) s += piece;
    s.resize(units);
    return s;
}

}  // namespace

TEST(HostileInput, NullPointersUnknownHandlesAndIdentifiers) {
    Fixture f({"--hw-address", "foreign"});
    Handles h(f, 0);
    const std::u16string unknownSession = u"S0123456789ABCDEF0123456789ABCDEF";
    const std::u16string unknownJob = u"J999999-DEADBEEF";
    int cases = 0;
    for (const Row& r : exportRows()) {
        for (size_t i = 0; i < r.pointers.size(); ++i) {
            const std::string where = std::string(r.name) + " null #" + std::to_string(i);
            const int32_t rc = mutated(f, h, r, Args{Args::Kind::Null, static_cast<int>(i)}, where);
            if (r.pointers[i].whenNull != kAnyOutcome) {
                EXPECT_EQ(rc, r.pointers[i].whenNull) << where;
            }
            ++cases;
            if (!r.pointers[i].role) continue;
            const std::u16string& unknown = r.pointers[i].role == 's' ? unknownSession : unknownJob;
            const std::string what = std::string(r.name) + " unknown " + (r.pointers[i].role == 's' ? "session" : "job");
            const int32_t rc2 = mutated(f, h, r, Args{Args::Kind::Text, static_cast<int>(i), &unknown}, what);
            if (r.pointers[i].whenUnknown != kAnyOutcome) {
                EXPECT_EQ(rc2, r.pointers[i].whenUnknown) << what;
            }
            ++cases;
        }
        for (size_t i = 0; i < r.whenUnknown.size(); ++i) {
            const std::string where = std::string(r.name) + " unknown handle #" + std::to_string(i);
            EXPECT_EQ(mutated(f, h, r, Args{Args::Kind::UnknownHandle, static_cast<int>(i)}, where), r.whenUnknown[i])
                << where;
            ++cases;
        }
    }
    std::cout << cases << " null, unknown-handle and unknown-identifier calls\n";
}

TEST(HostileInput, HostileTextsInEveryTextArgument) {
    // Texts that are no server URL are retried as unreachable servers.
    pelox::setRetrySleeperForTesting([](int) {});
    // The server refuses requests over 2 MB at once, so a 10 MiB text
    // measures the library's own handling, not the server's.
    Fixture f({"--hw-address", "foreign", "--max-body", "2000000"});
    Handles h(f, 0);
    const std::vector<std::pair<const char*, std::u16string>> texts = {
        {"10 MiB", repeat(u"abc\u00e9\u4e2d/", 10u << 20)},
        {"lone surrogates", u"\xD800lone\xDC00 high\xDBFF"},
        {"odd characters", u"\x01\x1f\x7f <&>\"' %00%2e%2e |#| ; \\\\ \u202e\uFEFF\uFFFF\t\r\n end"},
        {"5000 characters", repeat(u"p\u00e4th/", 5000)},
        {"leaves the root", u"../../../../../../etc/passwd"},
        {"empty", u""},
    };
    int cases = 0;
    for (const Row& r : exportRows()) {
        bool first = true;
        for (size_t i = 0; i < r.pointers.size(); ++i) {
            if (!r.pointers[i].text) continue;
            for (const auto& [name, text] : texts) {
                // 10 MiB in the first text argument of each export only.
                if (text.size() > 5000 && !first) continue;
                mutated(f, h, r, Args{Args::Kind::Text, static_cast<int>(i), &text},
                        std::string(r.name) + " text #" + std::to_string(i) + " " + name);
                ++cases;
            }
            first = false;
        }
    }
    // Every option with values that do not parse.
    for (int32_t option = PELOX_OPTION_ERROR_CAPACITY; option <= PELOX_OPTION_VALIDATION_NOTICES; ++option) {
        for (const auto& [name, text] : texts) {
            const int32_t rc = pelox_setPeloxOptions(option, text.c_str());
            EXPECT_TRUE(rc == 0 || rc > 0) << option << " " << name << ": " << rc;
            ++cases;
        }
        for (const char16_t* junk : {u"-1", u"0x10", u"1e3", u"99999999999999999999", u" 7 ", u"yes please"}) {
            EXPECT_EQ(pelox_setPeloxOptions(option, junk), 0) << option;
            ++cases;
        }
    }
    pelox_setPeloxOptions(PELOX_OPTION_ERROR_CAPACITY, u"10");
    pelox_setPeloxOptions(PELOX_OPTION_ERROR_LOG, u"");
    pelox_setPeloxOptions(PELOX_OPTION_RETRY_COUNT, u"10");
    pelox_setPeloxOptions(PELOX_OPTION_RETRY_PAUSE, u"200");
    pelox_setPeloxOptions(PELOX_OPTION_THROW_ON_FAILURE, u"false");
    pelox_setPeloxOptions(PELOX_OPTION_VALIDATION_NOTICES, u"false");
    // The library still answers ordinary calls.
    Handles after(f, 1);
    for (const Row& r : exportRows()) {
        if (r.prepare) r.prepare(f, after);
        const int32_t rc = r.call(f, after, Args{});
        EXPECT_EQ(rc, r.expected) << r.name << ": " << errorText(rc);
    }
    pelox::setRetrySleeperForTesting(nullptr);
    std::cout << cases << " hostile-text calls\n";
}

TEST(HostileInput, ServerPathsThatLeaveTheRootAreRefused) {
    Fixture f({"--hw-address", "foreign"});
    Handles h(f, 0);
    const fs::path outside = f.emu->root().parent_path() / "escaped.txt";
    // The same place as the server names it.
    const std::string serverRoot = f.emu->serverRoot();
    const std::u16string outsideOnServer = u16(serverRoot.substr(0, serverRoot.rfind('/'))) + u"/escaped.txt";
    const std::u16string source = u16(h.source.string()), target = u16(h.target.string());
    const std::string sentinel = "kept\n";
    for (const std::u16string& path :
         {std::u16string(u"../escaped.txt"), std::u16string(u"uploads/../../escaped.txt"), outsideOnServer}) {
        const std::string where = utf8(path);
        EXPECT_GT(pelox_uploadFile(h.sid.c_str(), source.c_str(), path.c_str()), 0) << where;
        EXPECT_FALSE(fs::exists(outside)) << where;
        spit(h.target, sentinel);
        EXPECT_GT(pelox_downloadFile(h.sid.c_str(), u"../../../../../../etc/hostname", target.c_str()), 0) << where;
        EXPECT_EQ(slurp(h.target), sentinel) << where;
        pelox_bool exists = 1;
        EXPECT_GT(pelox_checkFileAccess(h.sid.c_str(), u"../../../../../../etc/hostname", &exists), 0) << where;
        EXPECT_EQ(exists, 0);
    }
    // A job's directory is <root>/jobs/<user>/<job>.
    for (const std::u16string& path : {std::u16string(u"../../../../escaped.txt"), outsideOnServer}) {
        EXPECT_GT(pelox_uploadJobFile(h.sid.c_str(), source.c_str(), path.c_str(), h.job.c_str()), 0) << utf8(path);
        EXPECT_FALSE(fs::exists(outside)) << utf8(path);
    }
    EXPECT_GT(pelox_importComponent(h.sid.c_str(), u"../..", u16(f.component.string()).c_str()), 0);
    EXPECT_GT(pelox_deleteComponent(h.sid.c_str(), u"../../Examples/Add Numbers"), 0);
    EXPECT_GT(pelox_renameComponent(h.sid.c_str(), u"Examples/Add Numbers", u"../../../Stolen"), 0);
    EXPECT_TRUE(fs::exists(f.emu->root() / "catalogue" / "Examples" / "Add Numbers.xml"));
}

TEST(HostileInput, TextsBeyondTheBasicPlaneRoundTripThroughTheServer) {
    // The user name, a parameter value and file names carry characters
    // outside the Basic Multilingual Plane (surrogate pairs in UTF-16) and a
    // lone surrogate, which becomes U+FFFD.
    Fixture f({"--hw-address", "foreign"});
    const std::u16string user = u"t\u00ebster\U0001F600";
    const int32_t s = peloxImp_createObject(PELOX_OBJECT_STRING);
    int32_t rc = pelox_login(f.url.c_str(), user.c_str(), u"secret", nullptr, s, u"reliability");
    ASSERT_EQ(rc, 0) << errorText(rc);
    const std::u16string sid = string_getText(s);

    // A parameter value through validation: the server quotes it back.
    const int32_t info = peloxImp_createObject(PELOX_OBJECT_PROTOCOL_INFO);
    const int32_t arr = peloxImp_createObject(PELOX_OBJECT_STRING_ARRAY);
    ASSERT_EQ(pelox_getProtocolParameters(sid.c_str(), u"Tests/Echo", info, 0), 0);
    ASSERT_EQ(protocolInfo_setParameterValue(info, 1, u"\U0001D7D7\xD800"), 0);  // N: not an integer
    ASSERT_EQ(protocolInfo_getParameterPropertyForName(info, u"N", PELOX_PROP_INVALID_DETAILS, arr), 0);
    ASSERT_NE(stringArray_getTextAtIndex(arr, 0), nullptr);
    EXPECT_EQ(std::u16string(stringArray_getTextAtIndex(arr, 0)), u"'\U0001D7D7\uFFFD' is not an integer");

    // A parameter value through a job and back as its result.
    ASSERT_EQ(protocolInfo_setParameterValue(info, 1, u"7"), 0);
    ASSERT_EQ(protocolInfo_setParameterValue(info, 0, u"a\U0001F680b\xDC00" u"c"), 0);
    const int32_t jobString = peloxImp_createObject(PELOX_OBJECT_STRING);
    rc = pelox_launchProtocol(sid.c_str(), u"Tests/Echo", info, PELOX_JOB_BLOCKING, jobString);
    ASSERT_EQ(rc, 0) << errorText(rc);
    const std::u16string job = string_getText(jobString);
    const int32_t result = peloxImp_createObject(PELOX_OBJECT_RESULT_INFO);
    int32_t state = 0;
    for (int i = 0; i < 500 && state != PELOX_JOB_FINISHED; ++i) {
        ASSERT_EQ(pelox_getJobStatus(sid.c_str(), job.c_str(), &state, arr), 0);
        if (state != PELOX_JOB_FINISHED) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(pelox_getJobResults(sid.c_str(), job.c_str(), result), 0);
    ASSERT_EQ(resultInfo_getValues(result, u"Echo", arr), 0);
    ASSERT_NE(stringArray_getTextAtIndex(arr, 0), nullptr);
    EXPECT_EQ(std::u16string(stringArray_getTextAtIndex(arr, 0)), u"a\U0001F680b\uFFFDc");
    // The job directory is named after the user.
    EXPECT_TRUE(fs::exists(f.emu->root() / "jobs" / pathFromUtf8(utf8(user)) / pathFromUtf8(utf8(job)))) << utf8(user);

    // File names through both transfer roads: the HTTP services, and zipped
    // chunks (a session logged in while the services are switched off).
    f.emu->setProfile("upload-url=off&download-url=off");
    const int32_t s2 = peloxImp_createObject(PELOX_OBJECT_STRING);
    ASSERT_EQ(pelox_login(f.url.c_str(), user.c_str(), u"secret", nullptr, s2, u"reliability"), 0);
    const std::u16string zippedSid = string_getText(s2);
    f.emu->setProfile("upload-url=on&download-url=on");
    const std::string bytes = "bytes \xF0\x9F\x98\x80 of a file\n";
    const fs::path local = f.local / "na\xC3\xAFve \xF0\x9F\x98\x80.txt";
    spit(local, bytes);
    for (const auto& [road, session] : {std::pair{"services", sid}, std::pair{"zipped", zippedSid}}) {
        const std::u16string server = u"d\U0001F4C1/" + u16(road) + u" \u00fcn\u00ef \U0001F600\xDC01 a+b&c=d%20#?.txt";
        const std::string onDisk = "d\xF0\x9F\x93\x81/" + std::string(road) + " \xC3\xBCn\xC3\xAF \xF0\x9F\x98\x80\xEF\xBF\xBD a+b&c=d%20#?.txt";
        rc = pelox_uploadFile(session.c_str(), u16(local.string()).c_str(), server.c_str());
        ASSERT_EQ(rc, 0) << road << ": " << errorText(rc);
#ifndef _WIN32
        // Read from the server's disk directly. A Windows program cannot name
        // that file ('?' is no file name character there); the download
        // below brings the same bytes back.
        EXPECT_EQ(slurp(f.emu->root() / pathFromUtf8(onDisk)), bytes) << road;
#endif
        pelox_bool exists = 0;
        ASSERT_EQ(pelox_checkFileAccess(session.c_str(), server.c_str(), &exists), 0);
        EXPECT_EQ(exists, 1) << road;
        const fs::path back = f.local / ("back \xF0\x9F\x98\x80 " + std::string(road) + ".txt");
        rc = pelox_downloadFile(session.c_str(), server.c_str(), u16(back.string()).c_str());
        ASSERT_EQ(rc, 0) << road << ": " << errorText(rc);
        EXPECT_EQ(slurp(back), bytes) << road;
    }
    for (int32_t handle : {s, s2, jobString}) peloxImp_removeObject(PELOX_OBJECT_STRING, handle);
    peloxImp_removeObject(PELOX_OBJECT_PROTOCOL_INFO, info);
    peloxImp_removeObject(PELOX_OBJECT_STRING_ARRAY, arr);
    peloxImp_removeObject(PELOX_OBJECT_RESULT_INFO, result);
}
