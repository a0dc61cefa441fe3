// The connect time-out is read from the registry store once per process.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "connection/channel.h"
#include "soapH.h"

#ifdef _WIN32
#include <windows.h>
#else
#include "support/test_platform.h"
#endif

namespace {

#ifdef _WIN32
// Windows: the value lives in the user's registry (under Wine the build's
// own prefix); whatever was there before is put back afterwards.
class Store {
public:
    Store() {
        DWORD size = sizeof saved_;
        hadValue_ = RegGetValueW(HKEY_CURRENT_USER, kKey, kValue, RRF_RT_REG_DWORD, nullptr, &saved_, &size) ==
                    ERROR_SUCCESS;
    }
    ~Store() {
        if (hadValue_) RegSetKeyValueW(HKEY_CURRENT_USER, kKey, kValue, REG_DWORD, &saved_, sizeof saved_);
        else RegDeleteKeyValueW(HKEY_CURRENT_USER, kKey, kValue);
    }
    void write(const char* dword) const {
        const DWORD value = std::stoul(dword, nullptr, 16);
        ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, kKey, kValue, REG_DWORD, &value, sizeof value), ERROR_SUCCESS);
    }

private:
    static constexpr const wchar_t* kKey = L"SOFTWARE\\Qorvane";
    static constexpr const wchar_t* kValue = L"SoapConnectTimeOut";
    DWORD saved_ = 0;
    bool hadValue_ = false;
};
#else
// Linux: the registry store is the .reg file PELOX_REGISTRY_FILE names.
class Store {
public:
    Store()
        : path_(std::filesystem::temp_directory_path() /
                ("pelox-timeout-" + std::to_string(pelox::testsupport::processId()) + ".reg")) {
        pelox::testsupport::setEnv("PELOX_REGISTRY_FILE", path_.string());
    }
    ~Store() {
        std::filesystem::remove(path_);
        pelox::testsupport::unsetEnv("PELOX_REGISTRY_FILE");
    }
    void write(const char* dword) const {
        std::ofstream out(path_, std::ios::binary);
        out << "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\SOFTWARE\\Qorvane]\r\n\"SoapConnectTimeOut\"=dword:"
            << dword << "\r\n";
    }

private:
    std::filesystem::path path_;
};
#endif

TEST(ConnectTimeout, ReadOnceFromTheRegistryStore) {
    Store store;
    store.write("0000000a");
    {
        pelox::SoapStruct ctx;
        EXPECT_EQ(ctx.get()->connect_timeout, 10);
        EXPECT_EQ(ctx.get()->send_timeout, 0);
        EXPECT_EQ(ctx.get()->recv_timeout, 0);
    }
    store.write("00000003");  // a change while the process runs is not seen
    pelox::SoapStruct ctx;
    EXPECT_EQ(ctx.get()->connect_timeout, 10);
    EXPECT_EQ(pelox::connectTimeoutSeconds(), 10);
}

}  // namespace
