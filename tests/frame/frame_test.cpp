// The export gate: error records from caught exceptions, logging accessors,
// the one-time initialisation, and the error record exports end to end.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "frame/frame.h"
#include "registry/access.h"
#include "host/platform.h"

using namespace pelox;

namespace {

std::vector<std::u16string> readErrors(int32_t id, int32_t* code) {
    const int32_t arr = peloxImp_createObject(PELOX_OBJECT_STRING_ARRAY);
    *code = pelox_getPeloxErrors(id, arr);
    std::vector<std::u16string> out;
    int32_t n = -1;
    EXPECT_EQ(peloxImp_getObjectSize(PELOX_OBJECT_STRING_ARRAY, arr, &n), 0);
    for (int32_t i = 0; i < n; ++i) out.emplace_back(stringArray_getTextAtIndex(arr, static_cast<uint32_t>(i)));
    peloxImp_removeObject(PELOX_OBJECT_STRING_ARRAY, arr);
    return out;
}

int32_t failingExport(const char* text) {
    return frame::runExport(false, [&]() -> int32_t {
        tarn::annotate(u"Inner", u"work", [&]() -> int { throw tarn::Exception("%s", text); });
        return 0;
    });
}

}  // namespace

TEST(ExportGate, ExceptionsBecomeRecordsReadOnce) {
    const int32_t first = failingExport("boom");
    ASSERT_GT(first, 0);
    const int32_t second = failingExport("bang");
    EXPECT_EQ(second, first + 1);

    int32_t code = 0;
    const auto messages = readErrors(first, &code);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(messages, (std::vector<std::u16string>{u"boom", u"Inner::work"}));
    readErrors(first, &code);
    EXPECT_EQ(code, PELOX_E_NO_ERROR_RECORD);
    EXPECT_EQ(readErrors(0, &code).size(), 0u);
    EXPECT_EQ(code, PELOX_E_NO_ERROR_RECORD);
    EXPECT_EQ(readErrors(-5, &code).size(), 0u);
    EXPECT_EQ(code, PELOX_E_NO_ERROR_RECORD);
    EXPECT_EQ(pelox_getPeloxErrors(second, 0x7ffffff0), PELOX_E_NO_STRING_ARRAY);
    readErrors(second, &code);
    EXPECT_EQ(code, 0);
}

TEST(ExportGate, OtherExceptionsGiveUnexpected) {
    EXPECT_EQ(frame::runExport(false, []() -> int32_t { throw std::runtime_error("x"); }), PELOX_E_UNEXPECTED);
    EXPECT_EQ(frame::runExport(false, []() -> int32_t { throw 42; }), PELOX_E_UNEXPECTED);
    EXPECT_EQ(frame::runExport(false, []() -> int32_t { return -991; }), -991);
}

TEST(ExportGate, CapacityOptionKeepsOnlyNewest) {
    ASSERT_EQ(pelox_setPeloxOptions(PELOX_OPTION_ERROR_CAPACITY, u"0"), 0);
    const int32_t a = failingExport("a");
    const int32_t b = failingExport("b");
    int32_t code = 0;
    readErrors(a, &code);
    EXPECT_EQ(code, PELOX_E_NO_ERROR_RECORD);
    readErrors(b, &code);
    EXPECT_EQ(code, 0);
    ASSERT_EQ(pelox_setPeloxOptions(PELOX_OPTION_ERROR_CAPACITY, u"10"), 0);
    std::vector<int32_t> ids;
    for (int i = 0; i < 11; ++i) ids.push_back(failingExport("n"));
    readErrors(ids[0], &code);
    EXPECT_EQ(code, PELOX_E_NO_ERROR_RECORD);
    for (int i = 1; i < 11; ++i) {
        readErrors(ids[i], &code);
        EXPECT_EQ(code, 0);
    }
}

TEST(ExportGate, AccessorsLogAndReturnTheirFailureValue) {
    const std::string log = ::testing::TempDir() + "frame-gate-log.txt";
    std::remove(log.c_str());
    ASSERT_EQ(pelox_setPeloxOptions(PELOX_OPTION_ERROR_LOG, tarn::util::ConvertUTF8toString(log).c_str()), 0);
    EXPECT_EQ(frame::runAccessor(u"string_getText", static_cast<const char16_t*>(nullptr),
                                 []() -> const char16_t* { throw tarn::Exception("x"); }),
              nullptr);
    EXPECT_EQ(frame::runAccessor(u"stringArray_getText", 7, []() -> int { throw std::bad_alloc(); }), 7);
    // An entry of several messages stays one line with its time stamp.
    tarn::Exception::warn(u"%ls", std::u16string(u"first\nsecond\r\nthird"));
    std::ifstream in(log);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_NE(text.str().find("string_getText::Tarn Exception caught"), std::string::npos) << text.str();
    EXPECT_NE(text.str().find("stringArray_getText::Severe Exception caught"), std::string::npos) << text.str();
    EXPECT_NE(text.str().find(" peloxImp: first | second | third\n"), std::string::npos) << text.str();
    std::istringstream lines(text.str());
    for (std::string line; std::getline(lines, line);)
        EXPECT_TRUE(line.size() > 21 && line[4] == '-' && line[10] == 'T' && line[19] == 'Z') << line;
#ifndef _WIN32
    // (Linux only: Windows keeps the log private through the user's folder,
    // not through permission bits, and planting a link there takes a
    // privilege tests do not have.)
    EXPECT_EQ(std::filesystem::status(log).permissions(), std::filesystem::perms(0600));

    // A link planted at the log's name is not followed, and another user's
    // file, even one open to all, collects nothing.
    const std::string victim = ::testing::TempDir() + "frame-gate-victim.txt";
    std::ofstream(victim) << "";
    std::remove(log.c_str());
    std::filesystem::create_symlink(victim, log);
    tarn::Exception::warn("through a link");
    EXPECT_EQ(std::filesystem::file_size(victim), 0u);
    std::remove(log.c_str());
    if (::geteuid() == 0) {
        std::ofstream(log) << "";
        ::chown(log.c_str(), 65534, 65534);
        ::chmod(log.c_str(), 0666);
        tarn::Exception::warn("into another user's file");
        EXPECT_EQ(std::filesystem::file_size(log), 0u);
    }
    std::remove(victim.c_str());
#endif
    std::remove(log.c_str());
    tarn::Exception::SetErrorLogLocation(nullptr);
}

TEST(ExportGate, InitialisationRunsOnceAcrossThreads) {
    std::vector<std::thread> threads;
    std::atomic<int> ready{0};
    std::atomic<int> sawUninitialisedTempDir{0};
    for (int i = 0; i < 8; ++i)
        threads.emplace_back([&] {
            ++ready;
            while (ready < 8) std::this_thread::yield();
            frame::ensureInitialised();
            // Nobody gets past ensureInitialised before the set-up finished.
            if (!pelox::host::CHttp::m_isClient || !pelox::host::CClientTempFiles::IsInitialized()) ++sawUninitialisedTempDir;
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(sawUninitialisedTempDir, 0);
    EXPECT_TRUE(frame::initialised());
    std::u16string root;
    pelox::host::CClientTempFiles::GetTemporaryFilePath(root);
#ifdef _WIN32
    // The user's temporary folder is already private to the user.
    EXPECT_EQ(root, tarn::util::getTempPath() + u"qorvane" + pelox::host::PATHSEP + u"PELOX");
#else
    EXPECT_EQ(root, tarn::util::getTempPath() + u"qorvane-" + tarn::util::ConvertUTF8toString(std::to_string(::geteuid())) + u"/PELOX");
#endif
}

TEST(ExportGate, LockedOutputEmptiesAndHoldsTheRegistry) {
    const int32_t h = peloxImp_createObject(PELOX_OBJECT_STRING);
    {
        auto s = registry::lockString(h);
        ASSERT_TRUE(s);
        frame::setUtf8(*s, "caf\xC3\xA9");
    }
    EXPECT_EQ(std::u16string(string_getText(h)), u"caf\u00e9");
    {
        auto s = registry::outputString(h);
        ASSERT_TRUE(s);
        EXPECT_TRUE(s->empty());
        // Another thread cannot take the string registry meanwhile.
        std::atomic<bool> done{false};
        std::thread t([&] {
            (void)string_getText(h);
            done = true;
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_FALSE(done);
        s.release();
        t.join();
        EXPECT_TRUE(done);
    }
    EXPECT_FALSE(registry::lockString(0));
    peloxImp_removeObject(PELOX_OBJECT_STRING, h);
}

TEST(ExportGate, ResultInfoExportsMatchNamesWithoutCase) {
    const int32_t r = peloxImp_createObject(PELOX_OBJECT_RESULT_INFO);
    const int32_t a = peloxImp_createObject(PELOX_OBJECT_STRING_ARRAY);
    {
        auto info = registry::lockResultInfo(r);
        ASSERT_TRUE(info);
        info->setValues(u"Status", std::vector<std::u16string>{u"running", u"ok"});
        info->appendValue(u"Host", u"alpha");
    }
    EXPECT_EQ(resultInfo_getValues(r, u"sTATUS", a), 0);
    int32_t n = 0;
    EXPECT_EQ(peloxImp_getObjectSize(PELOX_OBJECT_STRING_ARRAY, a, &n), 0);
    EXPECT_EQ(n, 2);
    EXPECT_EQ(std::u16string(stringArray_getTextAtIndex(a, 1)), u"ok");
    EXPECT_EQ(resultInfo_getNames(r, a), 0);
    EXPECT_EQ(std::u16string(stringArray_getTextAtIndex(a, 0)), u"Status");
    EXPECT_EQ(std::u16string(stringArray_getTextAtIndex(a, 1)), u"Host");
    EXPECT_EQ(peloxImp_getObjectSize(PELOX_OBJECT_RESULT_INFO, r, &n), 0);
    EXPECT_EQ(n, 2);
    // Removal only empties a result info.
    peloxImp_removeObject(PELOX_OBJECT_RESULT_INFO, r);
    EXPECT_EQ(peloxImp_getObjectSize(PELOX_OBJECT_RESULT_INFO, r, &n), 0);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(resultInfo_getValues(r, u"status", a), PELOX_E_NO_RESULT_NAME);
    EXPECT_EQ(peloxImp_getObjectSize(PELOX_OBJECT_STRING_ARRAY, a, &n), 0);
    EXPECT_EQ(n, 0);  // emptied before the look-up failed
}
