// The connect time-out is read from the registry store once per process.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "connection/channel.h"
#include "soapH.h"

namespace {

void writeStore(const std::filesystem::path& path, const char* dword) {
    std::ofstream out(path, std::ios::binary);
    out << "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\SOFTWARE\\Qorvane]\r\n\"SoapConnectTimeOut\"=dword:"
        << dword << "\r\n";
}

TEST(ConnectTimeout, ReadOnceFromTheRegistryStore) {
    auto path = std::filesystem::temp_directory_path() / ("pelox-timeout-" + std::to_string(::getpid()) + ".reg");
    writeStore(path, "0000000a");
    ::setenv("PELOX_REGISTRY_FILE", path.c_str(), 1);
    {
        pelox::SoapStruct ctx;
        EXPECT_EQ(ctx.get()->connect_timeout, 10);
        EXPECT_EQ(ctx.get()->send_timeout, 0);
        EXPECT_EQ(ctx.get()->recv_timeout, 0);
    }
    writeStore(path, "00000003");  // a change while the process runs is not seen
    pelox::SoapStruct ctx;
    EXPECT_EQ(ctx.get()->connect_timeout, 10);
    EXPECT_EQ(pelox::connectTimeoutSeconds(), 10);
    std::filesystem::remove(path);
    ::unsetenv("PELOX_REGISTRY_FILE");
}

}  // namespace
