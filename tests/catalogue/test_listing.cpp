// Catalogue listing, job directories, protocol versions and calculable
// properties against the emulator.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "catalogue/e2e_helpers.h"

using namespace pelox::e2e;
using pelox::testsupport::Emulator;

TEST(ListProtocols, WithAndWithoutProtocolNames) {
    Emulator emu;
    std::ofstream(emu.root() / "catalogue" / "Utilities" / "Helper.xml")
        << "<component type=\"component\" name=\"Helper\"/>";
    std::u16string id = login(emu);
    ASSERT_FALSE(id.empty());
    Array protocols, folders;
    ASSERT_EQ(pelox_listProtocols(id.c_str(), u"Utilities", protocols, folders), 0);
    EXPECT_EQ(protocols.texts(), (Texts{u"Always Fails", u"Slow Job"}));
    EXPECT_EQ(folders.texts(), Texts{u"Components"});
    EXPECT_EQ(emu.count("GetProtocolNames"), 1u);
    EXPECT_EQ(emu.count("GetComponentNames"), 0u);

    // A server without GetProtocolNames is asked for its component names.
    emu.setProfile("without-method=GetProtocolNames");
    id = login(emu);
    emu.resetCounts();
    ASSERT_EQ(pelox_listProtocols(id.c_str(), u"Utilities", protocols, folders), 0);
    EXPECT_EQ(emu.count("GetProtocolNames"), 0u);
    EXPECT_EQ(emu.count("GetComponentNames"), 1u);
    EXPECT_EQ(protocols.texts(), (Texts{u"Always Fails", u"Helper", u"Slow Job"}));
    EXPECT_EQ(folders.texts(), Texts{u"Components"});

    // An empty folder gives two empty arrays.
    std::filesystem::create_directories(emu.root() / "catalogue" / "Empty");
    ASSERT_EQ(pelox_listProtocols(id.c_str(), u"Empty", protocols, folders), 0);
    EXPECT_TRUE(protocols.texts().empty());
    EXPECT_TRUE(folders.texts().empty());

    // When the first call fails the folder names are not asked for.
    emu.resetCounts();
    emu.addFault("op=GetComponentNames&kind=http-500&count=1");
    EXPECT_EQ(pelox_listProtocols(id.c_str(), u"Utilities", protocols, folders), PELOX_E_SERVICE_CALL);
    EXPECT_EQ(emu.count("GetFolderNames"), 0u);
    EXPECT_TRUE(protocols.texts().empty());
    EXPECT_TRUE(folders.texts().empty());

    // When the folder names fail, the protocol names already listed stay.
    emu.addFault("op=GetFolderNames&kind=http-500&count=1");
    EXPECT_EQ(pelox_listProtocols(id.c_str(), u"Utilities", protocols, folders), PELOX_E_SERVICE_CALL);
    EXPECT_EQ(protocols.texts(), (Texts{u"Always Fails", u"Helper", u"Slow Job"}));
    EXPECT_TRUE(folders.texts().empty());
}

TEST(ListContents, JobDirectoryWithAndWithoutSubFolder) {
    Emulator emu;
    const std::u16string id = login(emu);
    ASSERT_FALSE(id.empty());
    const auto job = emu.root() / "jobs" / "tester" / "J7";
    std::filesystem::create_directories(job / "sub" / "deeper");
    std::ofstream(job / "a.txt") << "12345";
    std::ofstream(job / "b.dat") << "";
    std::ofstream(job / "sub" / "c.txt") << "abc";

    Array folders, files, sizes;
    ASSERT_EQ(pelox_listContents2(id.c_str(), u"", folders, files, sizes, u"J7"), 0);
    EXPECT_EQ(folders.texts(), Texts{u"sub"});
    EXPECT_EQ(files.texts(), (Texts{u"a.txt", u"b.dat"}));
    EXPECT_EQ(sizes.texts(), (Texts{u"5", u"0"}));

    ASSERT_EQ(pelox_listContents2(id.c_str(), u"sub", folders, files, sizes, u"J7"), 0);
    EXPECT_EQ(folders.texts(), Texts{u"deeper"});
    EXPECT_EQ(files.texts(), Texts{u"c.txt"});
    EXPECT_EQ(sizes.texts(), Texts{u"3"});

    // An empty job ID is refused after the arrays were emptied.
    EXPECT_EQ(pelox_listContents2(id.c_str(), nullptr, folders, files, sizes, u""), PELOX_E_NO_JOB);
    EXPECT_TRUE(folders.texts().empty());
    EXPECT_TRUE(files.texts().empty());

    // A job the server does not have: a server fault, so an error record
    // carrying the server's message and the call's own text.
    const int32_t rc = pelox_listContents2(id.c_str(), nullptr, folders, files, sizes, u"nope");
    ASSERT_GT(rc, 0);
    const std::string text = errorText(rc);
    EXPECT_NE(text.find("Folder not found"), std::string::npos) << text;
    EXPECT_NE(text.find("soap call to GetFolderContents() failed"), std::string::npos) << text;
    EXPECT_TRUE(files.texts().empty());
}

TEST(ListContents, UnknownJobsDirectory) {
    Emulator emu({"--omit-config", "JobsDirectory"});
    const std::u16string id = login(emu);
    ASSERT_FALSE(id.empty());
    Array folders, files, sizes;
    const int32_t rc = pelox_listContents2(id.c_str(), nullptr, folders, files, sizes, u"J1");
    ASSERT_GT(rc, 0);
    EXPECT_EQ(errorText(rc), "Server's JobsDirectory is unknown");
    EXPECT_EQ(emu.count("GetFolderContents"), 0u);
}

TEST(ProtocolVersion, LastListedVersion) {
    Emulator emu;
    const std::u16string id = login(emu);
    ASSERT_FALSE(id.empty());
    int32_t version = 0;
    ASSERT_EQ(pelox_getProtocolVersion(id.c_str(), u"Examples/Shapes", &version), 0);
    EXPECT_EQ(version, 1);
    // A failed call leaves -1 behind.
    version = 0;
    emu.addFault("op=GetComponentVersions&kind=soap-fault&count=1");
    const int32_t rc = pelox_getProtocolVersion(id.c_str(), u"Examples/Shapes", &version);
    ASSERT_GT(rc, 0);
    EXPECT_NE(errorText(rc).find("soap call to GetComponentVersions() failed"), std::string::npos);
    EXPECT_EQ(version, -1);
}

TEST(CalculableProperties, ByCategoryOrOther) {
    Emulator emu;
    std::u16string id = login(emu);
    ASSERT_FALSE(id.empty());
    Result result;
    ASSERT_EQ(pelox_getCalculablePropertiesByCategory(id.c_str(), result), 0);
    const Texts categories = result.names();
    EXPECT_FALSE(categories.empty());
    Texts all;
    for (const auto& c : categories) {
        EXPECT_NE(c, u"Other");
        for (const auto& v : result.values(c)) all.push_back(v);
    }
    EXPECT_EQ(emu.count("GetCalculablePropertiesByCategory"), 1u);

    // Older servers: everything under "Other", in the server's order.
    emu.setProfile("without-method=GetCalculablePropertiesByCategory");
    id = login(emu);
    ASSERT_EQ(pelox_getCalculablePropertiesByCategory(id.c_str(), result), 0);
    EXPECT_EQ(result.names(), Texts{u"Other"});
    EXPECT_EQ(result.values(u"other").size(), all.size());
    EXPECT_EQ(emu.count("GetCalculableProperties"), 1u);

    // A failing call leaves the result empty.
    emu.addFault("op=GetCalculableProperties&kind=soap-fault&count=1");
    const int32_t rc = pelox_getCalculablePropertiesByCategory(id.c_str(), result);
    ASSERT_GT(rc, 0);
    EXPECT_NE(errorText(rc).find("soap call to GetCalculableProperties() failed"), std::string::npos);
    EXPECT_TRUE(result.names().empty());
}

TEST(CalculableProperties, RepeatedCategoriesAndEmptyAnswers) {
    Emulator emu;
    const auto file = emu.root() / "catalogue" / ".calculable-properties";
    std::ofstream(file) << "Molecular: Weight, Atoms\nPhysical: LogP\nmolecular: Charge\nEmpty:\n";
    std::u16string id = login(emu);
    ASSERT_FALSE(id.empty());
    Result result;
    ASSERT_EQ(pelox_getCalculablePropertiesByCategory(id.c_str(), result), 0);
    // A category named twice is listed twice and keeps its last values; a
    // category with an empty list is still listed.
    EXPECT_EQ(result.names(), (Texts{u"Molecular", u"Physical", u"molecular", u"Empty"}));
    EXPECT_EQ(result.values(u"Molecular"), Texts{u"Charge"});
    EXPECT_EQ(result.values(u"Physical"), Texts{u"LogP"});
    EXPECT_TRUE(result.values(u"Empty").empty());

    // No properties at all: an empty result from a server with categories,
    // "Other" with an empty list from one without.
    std::ofstream(file, std::ios::trunc) << "";
    ASSERT_EQ(pelox_getCalculablePropertiesByCategory(id.c_str(), result), 0);
    EXPECT_TRUE(result.names().empty());
    emu.setProfile("without-method=GetCalculablePropertiesByCategory");
    id = login(emu);
    ASSERT_EQ(pelox_getCalculablePropertiesByCategory(id.c_str(), result), 0);
    EXPECT_EQ(result.names(), Texts{u"Other"});
    EXPECT_TRUE(result.values(u"Other").empty());
}
