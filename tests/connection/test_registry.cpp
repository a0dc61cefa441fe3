// The registry: on POSIX the store's .reg text format and the look-ups the
// library makes; on Windows the same look-ups in the system registry.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "host/com_registration.h"
#include "host/registry.h"
#include "jobs/client/dispatcher.h"

#ifdef _WIN32
#include <windows.h>

#include <thread>

#include "host/process.h"
#include "host/tarn_util.h"
#include "host/win32/wide_path.h"
#endif

using namespace pelox::host;

namespace {

#ifndef _WIN32

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

#else  // _WIN32

// Runs a program through vcProcess to its end; its exit code.
int runToEnd(const std::u16string& commandLine) {
    vcProcess process;
    process.SetCommandLine(commandLine);
    if (!process.StartProcess(kProcessExchangeStreams, 5000, nullptr)) return -1;
    std::u16string out, err;
    while (process.IsActive()) {
        process.ExchangeData(u"", out, err);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    process.ExchangeData(u"", out, err);
    return process.ExitCode();
}

// Keys a test imports with reg.exe (the registry editor's own format, UTF-16
// with a byte order mark, as it writes it) and deletes afterwards. Class
// registrations go under HKEY_CLASSES_ROOT and the 32-bit view of
// HKEY_LOCAL_MACHINE, which only an administrator may change on Windows
// (Wine lets every user): without that right the test is skipped.
class SystemRegistry : public ::testing::Test {
protected:
    static constexpr const char16_t* kKeys[] = {
        u"HKCU\\SOFTWARE\\Qorvane\\peloxImp-test",
        u"HKCR\\PeloxTest.Viewer",
        u"HKCR\\PeloxTest.Viewer.2",
        u"HKCR\\CLSID\\{3B1A5C2E-0D4F-4E6A-9B7C-8D9E0F1A2B3C}",
        u"HKLM\\SOFTWARE\\Wow6432Node\\Classes\\CLSID\\{3B1A5C2E-0D4F-4E6A-9B7C-8D9E0F1A2B3D}",
    };

    void TearDown() override {
        for (const char16_t* key : kKeys) runToEnd(std::u16string(u"reg.exe delete \"") + key + u"\" /f");
        std::filesystem::remove(file_);
    }
    // False when reg.exe could not import the file.
    bool import(std::u16string_view text) {
        file_ = std::filesystem::temp_directory_path() /
                ("pelox-registry-" + std::to_string(GetCurrentProcessId()) + ".reg");
        std::string bytes = "\xFF\xFE";
        for (char16_t c : text) {
            bytes.push_back(static_cast<char>(c & 0xFF));
            bytes.push_back(static_cast<char>(c >> 8));
        }
        std::ofstream(file_, std::ios::binary) << bytes;
        return runToEnd(u"reg.exe import \"" + pelox::host::win32::fromWide(file_.wstring()) + u"\"") == 0;
    }
    std::filesystem::path file_;
};

TEST_F(SystemRegistry, ValuesClassRegistrationsAndThe32BitView) {
    const bool imported = import(
        u"Windows Registry Editor Version 5.00\r\n\r\n"
        u"[HKEY_CURRENT_USER\\SOFTWARE\\Qorvane\\peloxImp-test]\r\n"
        u"\"SoapConnectTimeOut\"=dword:0000000a\r\n"
        u"\"Home\"=\"C:\\\\Program Files\\\\Qorvane \\\"8\\\"\"\r\n"
        u"@=\"default text\"\r\n"
        u"\"Expand\"=hex(2):25,00,57,00,49,00,4e,00,44,00,49,00,52,00,25,00,00,00\r\n"
        u"\"Multi\"=hex(7):61,00,00,00,62,00,00,00,00,00\r\n"
        u"[HKEY_CURRENT_USER\\SOFTWARE\\Qorvane\\peloxImp-test\\Sub]\r\n"
        u"[HKEY_CLASSES_ROOT\\PeloxTest.Viewer]\r\n@=\"Viewer\"\r\n"
        u"[HKEY_CLASSES_ROOT\\PeloxTest.Viewer\\CurVer]\r\n@=\"PeloxTest.Viewer.2\"\r\n"
        u"[HKEY_CLASSES_ROOT\\PeloxTest.Viewer.2\\CLSID]\r\n@=\"{3B1A5C2E-0D4F-4E6A-9B7C-8D9E0F1A2B3C}\"\r\n"
        u"[HKEY_CLASSES_ROOT\\CLSID\\{3B1A5C2E-0D4F-4E6A-9B7C-8D9E0F1A2B3C}\\LocalServer32]\r\n"
        u"@=\" C:\\\\Program Files\\\\Pelox\\\\viewer.exe /Automation\"\r\n"
        u"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Wow6432Node\\Classes\\CLSID\\{3B1A5C2E-0D4F-4E6A-9B7C-8D9E0F1A2B3D}\\LocalServer32]\r\n"
        u"@=\"C:\\\\x86\\\\old.exe\"\r\n");
    if (!imported) GTEST_SKIP() << "reg.exe could not import the class registrations (no administrator rights)";

    vcRegistry registry;
    ASSERT_TRUE(registry.Connect(RegistryRoot::CurrentUser));
    // Asked for all access, opened for reading.
    ASSERT_TRUE(registry.Open(u"software\\qorvane\\peloxImp-test", kRegistryAllAccess));
    uint32_t number = 0;
    EXPECT_TRUE(registry.GetValue(u"soapconnecttimeout", number));
    EXPECT_EQ(number, 10u);
    std::u16string text;
    EXPECT_TRUE(registry.GetStringValue(u"Home", text));
    EXPECT_EQ(text, u"C:\\Program Files\\Qorvane \"8\"");
    EXPECT_TRUE(registry.GetStringValue(u"", text));
    EXPECT_EQ(text, u"default text");
    wchar_t windows[MAX_PATH] = {};
    ASSERT_GT(GetEnvironmentVariableW(L"WINDIR", windows, MAX_PATH), 0u);
    EXPECT_TRUE(registry.GetStringValue(u"Expand", text));
    EXPECT_EQ(text, pelox::host::win32::fromWide(windows));
    EXPECT_TRUE(registry.GetStringValue(u"Multi", text));
    EXPECT_EQ(text, u"a\nb");
    EXPECT_FALSE(registry.GetValue(u"Home", number));  // a string is not a DWORD
    EXPECT_FALSE(registry.GetStringValue(u"SoapConnectTimeOut", text));
    EXPECT_FALSE(registry.GetStringValue(u"Missing", text));
    EXPECT_EQ(registry.GetSubkeys(), std::vector<std::u16string>{u"Sub"});
    EXPECT_FALSE(registry.Open(u"SOFTWARE\\Qorvane\\peloxImp-test\\Other"));
    EXPECT_FALSE(registry.GetValue(u"SoapConnectTimeOut", number));  // nothing open after a failed Open

    ASSERT_TRUE(registry.Connect(RegistryRoot::ClassesRoot));
    std::u16string progId;
    EXPECT_TRUE(registry.GetVersionedProgID(u"PeloxTest.Viewer", progId));
    EXPECT_EQ(progId, u"PeloxTest.Viewer.2");
    EXPECT_FALSE(registry.GetVersionedProgID(u"PeloxTest.NotRegistered", progId));
    std::u16string clsid;
    EXPECT_TRUE(CLSIDFromProgID(u"PeloxTest.Viewer.2", clsid));
    EXPECT_EQ(clsid, u"{3B1A5C2E-0D4F-4E6A-9B7C-8D9E0F1A2B3C}");
    EXPECT_FALSE(CLSIDFromProgID(u"PeloxTest.NotRegistered", clsid));
    // A local server registered only in the 32-bit view is found there.
    ASSERT_TRUE(registry.Open(u"CLSID\\{3B1A5C2E-0D4F-4E6A-9B7C-8D9E0F1A2B3D}\\LocalServer32"));
    EXPECT_TRUE(registry.GetStringValue(u"", text));
    EXPECT_EQ(text, u"C:\\x86\\old.exe");

    // The program runner's look-up: versioned ProgID, class identifier,
    // LocalServer32 upper-cased without its automation switch.
    std::u16string commandLine = u"PeloxTest.Viewer  doc.q ";
    pelox::CClientComponentDispatcher::InitializeCommandLine(commandLine);
    EXPECT_EQ(commandLine, u"C:\\PROGRAM FILES\\PELOX\\VIEWER.EXE doc.q");
}

#endif  // _WIN32

}  // namespace
