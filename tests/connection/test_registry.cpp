// The registry store: the .reg text format and the look-ups the library makes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "host/registry.h"

using namespace pelox::host;

namespace {

class RegistryFile : public ::testing::Test {
protected:
    void SetUp() override {
        path_ = std::filesystem::temp_directory_path() /
                ("pelox-registry-" + std::to_string(::getpid()) + "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".reg");
        ::setenv("PELOX_REGISTRY_FILE", path_.c_str(), 1);
    }
    void TearDown() override {
        std::filesystem::remove(path_);
        ::unsetenv("PELOX_REGISTRY_FILE");
    }
    void write(const std::string& bytes) {
        std::ofstream out(path_, std::ios::binary);
        out << bytes;
    }
    std::filesystem::path path_;
};

const char* kSample =
    "Windows Registry Editor Version 5.00\r\n"
    "\r\n"
    "; written by hand\r\n"
    "[HKEY_CURRENT_USER\\SOFTWARE\\Qorvane]\r\n"
    "\"SoapConnectTimeOut\"=dword:0000000a\r\n"
    "\"Home\"=\"C:\\\\Program Files\\\\Qorvane \\\"8\\\"\"\r\n"
    "@=\"default text\"\r\n"
    "\"Expand\"=hex(2):25,00,54,00,45,00,4d,00,\\\r\n"
    "  50,00,25,00,00,00\r\n"
    "\r\n"
    "[HKEY_CLASSES_ROOT\\Qorvane.Viewer]\r\n"
    "@=\"Qorvane Viewer\"\r\n"
    "[HKEY_CLASSES_ROOT\\Qorvane.Viewer\\CurVer]\r\n"
    "@=\"Qorvane.Viewer.2\"\r\n"
    "[HKEY_CLASSES_ROOT\\Qorvane.Viewer.2\\CLSID]\r\n"
    "@=\"{12345678-1234-1234-1234-1234567890AB}\"\r\n"
    "[HKEY_CLASSES_ROOT\\CLSID\\{12345678-1234-1234-1234-1234567890AB}\\LocalServer32]\r\n"
    "@=\"/opt/qorvane/viewer --serve\"\r\n"
    "[HKEY_CLASSES_ROOT\\Gone]\r\n"
    "@=\"x\"\r\n"
    "[-HKEY_CLASSES_ROOT\\Gone]\r\n";

TEST_F(RegistryFile, ReadsValuesOfEveryKind) {
    write(kSample);
    vcRegistry registry;
    ASSERT_TRUE(registry.Connect(RegistryRoot::CurrentUser));
    ASSERT_TRUE(registry.Open(u"software\\qorvane", kRegistryAllAccess));  // keys ignore case
    uint32_t number = 0;
    EXPECT_TRUE(registry.GetValue(u"soapconnecttimeout", number));
    EXPECT_EQ(number, 10u);
    std::u16string text;
    EXPECT_TRUE(registry.GetStringValue(u"Home", text));
    EXPECT_EQ(text, u"C:\\Program Files\\Qorvane \"8\"");
    EXPECT_TRUE(registry.GetStringValue(u"", text));
    EXPECT_EQ(text, u"default text");
    EXPECT_TRUE(registry.GetStringValue(u"Expand", text));
    EXPECT_EQ(text, u"%TEMP%");
    EXPECT_FALSE(registry.GetValue(u"Home", number));  // a string is not a DWORD
    EXPECT_FALSE(registry.GetStringValue(u"Missing", text));
    EXPECT_FALSE(registry.Open(u"SOFTWARE\\Other"));
    EXPECT_FALSE(registry.GetValue(u"SoapConnectTimeOut", number));  // nothing open after a failed Open
}

TEST_F(RegistryFile, ClassRegistrations) {
    write(kSample);
    vcRegistry registry;
    ASSERT_TRUE(registry.Connect(RegistryRoot::ClassesRoot));
    std::u16string progId;
    EXPECT_TRUE(registry.GetVersionedProgID(u"Qorvane.Viewer", progId));
    EXPECT_EQ(progId, u"Qorvane.Viewer.2");
    EXPECT_TRUE(registry.GetVersionedProgID(u"Qorvane.Viewer.2", progId));
    EXPECT_EQ(progId, u"Qorvane.Viewer.2");
    EXPECT_FALSE(registry.GetVersionedProgID(u"Not.Registered", progId));
    std::u16string command;
    ASSERT_TRUE(registry.Open(u"CLSID\\{12345678-1234-1234-1234-1234567890ab}\\LocalServer32"));
    EXPECT_TRUE(registry.GetStringValue(u"", command));
    EXPECT_EQ(command, u"/opt/qorvane/viewer --serve");
    EXPECT_FALSE(registry.Open(u"Gone"));  // removed by [-…]
    ASSERT_TRUE(registry.Open(u"CLSID"));
    EXPECT_EQ(registry.GetSubkeys(), std::vector<std::u16string>{u"{12345678-1234-1234-1234-1234567890AB}"});
}

TEST_F(RegistryFile, Utf16FileAsRegeditWritesIt) {
    std::string utf8 = "Windows Registry Editor Version 5.00\r\n[HKEY_CURRENT_USER\\SOFTWARE\\Qorvane]\r\n\"Name\"=\"Gr\xC3\xBC\xC3\x9F" "e\"\r\n";
    std::u16string wide = u"Windows Registry Editor Version 5.00\r\n[HKEY_CURRENT_USER\\SOFTWARE\\Qorvane]\r\n\"Name\"=\"Gr\u00fc\u00dfe\"\r\n";
    std::string bytes = "\xFF\xFE";
    for (char16_t c : wide) {
        bytes.push_back(static_cast<char>(c & 0xFF));
        bytes.push_back(static_cast<char>(c >> 8));
    }
    for (const std::string& file : {bytes, "\xEF\xBB\xBF" + utf8}) {
        write(file);
        vcRegistry registry;
        ASSERT_TRUE(registry.Connect(RegistryRoot::CurrentUser));
        ASSERT_TRUE(registry.Open(u"SOFTWARE\\Qorvane"));
        std::u16string text;
        EXPECT_TRUE(registry.GetStringValue(u"name", text));
        EXPECT_EQ(text, u"Gr\u00fc\u00dfe");
    }
}

TEST_F(RegistryFile, MissingOrBrokenFileIsAnEmptyStore) {
    vcRegistry registry;
    ASSERT_TRUE(registry.Connect(RegistryRoot::CurrentUser));  // no file at all
    EXPECT_FALSE(registry.Open(u"SOFTWARE\\Qorvane"));
    using namespace std::string_literals;
    write("\x00\x01garbage[\r\n\"a\"=dword:xyz\r\n[HKEY_CURRENT_USER\\K]\r\n\"n\"=dword:123456789\r\n\"ok\"=dword:1\r\n"s);
    ASSERT_TRUE(registry.Connect(RegistryRoot::CurrentUser));
    ASSERT_TRUE(registry.Open(u"K"));
    uint32_t number = 0;
    EXPECT_FALSE(registry.GetValue(u"n", number));  // more than 8 hex digits
    EXPECT_TRUE(registry.GetValue(u"ok", number));
    EXPECT_EQ(number, 1u);
}

TEST(RegistryLocation, EnvironmentOverridesTheConfigDirectory) {
    ::setenv("PELOX_REGISTRY_FILE", "/tmp/x.reg", 1);
    EXPECT_EQ(registryFilePath(), "/tmp/x.reg");
    ::unsetenv("PELOX_REGISTRY_FILE");
    ::setenv("XDG_CONFIG_HOME", "/cfg", 1);
    EXPECT_EQ(registryFilePath(), "/cfg/qorvane/registry.reg");
    ::unsetenv("XDG_CONFIG_HOME");
    ::setenv("HOME", "/home/u", 1);
    EXPECT_EQ(registryFilePath(), "/home/u/.config/qorvane/registry.reg");
}

}  // namespace
