// Platform stand-ins: GUID texts, the temporary directory root, allocation.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <unistd.h>
#endif

#include <filesystem>

#include <cstdlib>
#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include "host/alloc_base.h"
#include "host/platform.h"
#include "host/tarn_util.h"

namespace {

bool isGuidText(const std::u16string& g) {
    if (g.size() != 38 || g.front() != u'{' || g.back() != u'}') return false;
    for (size_t i = 1; i < 37; ++i) {
        const char16_t c = g[i];
        if (i == 9 || i == 14 || i == 19 || i == 24) {
            if (c != u'-') return false;
        } else if (!((c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'F'))) {
            return false;
        }
    }
    return g[15] == u'4';  // version 4
}

}  // namespace

TEST(Platform, GuidsAreRegistryTextAndDistinct) {
    std::set<std::u16string> seen;
    for (int i = 0; i < 200; ++i) {
        const std::u16string g = pelox::host::createGuidText();
        EXPECT_TRUE(isGuidText(g));
        seen.insert(g);
    }
    EXPECT_EQ(seen.size(), 200u);
}

#ifndef _WIN32
TEST(Platform, TemporaryRootIsTheUsersOwnUnderSystemTemp) {
    std::filesystem::create_directories("/var/tmp/pelox-test");
    setenv("TMPDIR", "/var/tmp/pelox-test", 1);
    EXPECT_EQ(tarn::util::getTempPath(), u"/var/tmp/pelox-test/");
    pelox::host::CClientTempFiles::InitializeQorDirectory(u"PELOX");
    std::u16string root;
    pelox::host::CClientTempFiles::GetTemporaryFilePath(root);
    const std::u16string mine = u"/var/tmp/pelox-test/qorvane-" + tarn::util::ConvertUTF8toString(std::to_string(::geteuid()));
    EXPECT_EQ(root, mine + u"/PELOX");
    EXPECT_EQ(pelox::host::vcQorDir::GetDirectory(12), root);

    // A missing name is replaced by a GUID.
    pelox::host::CClientTempFiles::InitializeQorDirectory(nullptr);
    pelox::host::CClientTempFiles::GetTemporaryFilePath(root);
    const std::u16string prefix = mine + u"/";
    ASSERT_EQ(root.compare(0, prefix.size(), prefix), 0);
    EXPECT_TRUE(isGuidText(root.substr(prefix.size())));

    // The first variable that is set decides; one that names no directory
    // gives /tmp rather than a path nothing can be created in.
    unsetenv("TMPDIR");
    setenv("TMP", "/var/tmp/pelox-test/", 1);
    EXPECT_EQ(tarn::util::getTempPath(), u"/var/tmp/pelox-test/");
    setenv("TMPDIR", "/nonexistent/pelox", 1);
    EXPECT_EQ(tarn::util::getTempPath(), u"/tmp/");
    unsetenv("TMPDIR");
    unsetenv("TMP");
    EXPECT_EQ(tarn::util::getTempPath(), u"/tmp/");

    std::u16string user;
    pelox::host::vcQorDir::GetUserDirectory(u"/srv/jobs/", u"ann", user);
    EXPECT_EQ(user, u"/srv/jobs/ann");
}
#else
// The root is the folder "PELOX" in the folder "qorvane" of the system's
// temporary folder (GetTempPathW); a missing name is replaced by a GUID.
TEST(Platform, TemporaryRootIsInTheSystemTemporaryFolder) {
    const std::u16string temp = tarn::util::getTempPath();
    ASSERT_FALSE(temp.empty());
    EXPECT_EQ(temp.back(), u'\\');
    pelox::host::CClientTempFiles::InitializeQorDirectory(u"PELOX");
    std::u16string root;
    pelox::host::CClientTempFiles::GetTemporaryFilePath(root);
    EXPECT_EQ(root, temp + u"qorvane\\PELOX");
    pelox::host::CClientTempFiles::InitializeQorDirectory(nullptr);
    pelox::host::CClientTempFiles::GetTemporaryFilePath(root);
    const std::u16string prefix = temp + u"qorvane\\";
    ASSERT_EQ(root.compare(0, prefix.size(), prefix), 0);
    EXPECT_TRUE(isGuidText(root.substr(prefix.size())));
}
#endif

// Threads that need the temporary root before anyone set it up all get the
// same one (one GUID name), and it is the root that stays in force.
TEST(Platform, ConcurrentFirstUseOfTheTemporaryRootAgrees) {
    constexpr int kThreads = 8;
    std::vector<std::u16string> roots(kThreads);
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i)
        threads.emplace_back([&, i] {
            ++ready;
            while (ready.load() < kThreads) std::this_thread::yield();
            pelox::host::CClientTempFiles::GetTemporaryFilePath(roots[i]);
        });
    for (auto& t : threads) t.join();
    const std::u16string final = pelox::host::vcQorDir::GetDirectory(12);
    EXPECT_FALSE(final.empty());
    for (const auto& r : roots) EXPECT_EQ(r, final);
}

TEST(Platform, StartUpMarkers) {
    pelox::host::CHttp::m_isClient = true;
    EXPECT_TRUE(pelox::host::CHttp::m_isClient.load());
}

TEST(Platform, AllocationFaultInjection) {
    tarn::AllocBase::failAfter(1);
    void* a = tarn::AllocBase::_alloc(8);
    void* b = tarn::AllocBase::_alloc(8);
    tarn::AllocBase::failAfter(-1);
    void* c = tarn::AllocBase::_alloc(8);
    EXPECT_NE(a, nullptr);
    EXPECT_EQ(b, nullptr);
    EXPECT_NE(c, nullptr);
    tarn::AllocBase::_free(a);
    tarn::AllocBase::_free(c);
}
