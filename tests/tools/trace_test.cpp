// The wire trace (PELOX_TRACE): a login's seven exchanges, then the status
// page and a download over the HTTP services, each recorded with its
// request and reply, with the password and the session ID masked.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "peloxImp.h"
#include "support/emulator_launcher.h"
#include "tools/run_program.h"

namespace fs = std::filesystem;
using pelox::testsupport::Emulator;

namespace {

std::vector<std::string> recordHeads(const std::string& trace) {
    std::vector<std::string> heads;
    std::istringstream in(trace);
    for (std::string line; std::getline(in, line);)
        if (line.rfind("=== ", 0) == 0) heads.push_back(line);
    return heads;
}

std::string narrow(const pelox_char* text) {
    std::string out;
    for (; text && *text; ++text) out += static_cast<char>(*text);
    return out;
}

TEST(Trace, RecordsEveryExchangeWithSecretsMasked) {
    // The server is "elsewhere" (another hardware address), so the download
    // goes over the HTTP download service.
    Emulator emu({"--hw-address", "foreign"});
    const fs::path trace = emu.root().parent_path() / "trace.txt";
    // Read when the library first sends a request: this test's first call.
    ::setenv("PELOX_TRACE", trace.c_str(), 1);

    const std::string locator = emu.locatorUrl();
    const std::u16string url(locator.begin(), locator.end());
    const int32_t session = peloxImp_createObject(PELOX_OBJECT_STRING);
    ASSERT_EQ(pelox_login(url.c_str(), u"tester", u"secret", nullptr, session, u"trace"), PELOX_OK);
    const std::string sid = narrow(string_getText(session));
    const std::u16string wideSid(sid.begin(), sid.end());

    std::string text = pelox::testsupport::slurp(trace);
    const std::vector<std::string> login = recordHeads(text);
    const std::vector<std::string> operations = {"ListMethods", "CheckClientTypeCompatibility", "Login",
                                                 "GetConfigurationSettings", "ListMethods", "ListMethods",
                                                 "GetHWAddress"};
    ASSERT_EQ(login.size(), operations.size()) << text;
    const std::regex head(R"(=== \d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z thread \d+ SOAP (\w+) http://127\.0\.0\.1:\d+/qorvane/\w+ \d+\.\d ms)");
    for (size_t i = 0; i < login.size(); ++i) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(login[i], m, head)) << login[i];
        EXPECT_EQ(m[1], operations[i]);
    }
    EXPECT_NE(text.find("> <?xml"), std::string::npos);
    EXPECT_NE(text.find("< HTTP/1.1 200 OK"), std::string::npos);
    EXPECT_NE(text.find("<password>***</password>"), std::string::npos);
    EXPECT_NE(text.find("<sessionID>***</sessionID>"), std::string::npos);

    const int32_t status = peloxImp_createObject(PELOX_OBJECT_RESULT_INFO);
    ASSERT_EQ(pelox_getServerStatus(wideSid.c_str(), status), PELOX_OK);
    std::ofstream(emu.root() / "file.bin", std::ios::binary) << std::string("\x00\x01\x02 binary", 10);
    const std::u16string local = (emu.root().parent_path() / "copy.bin").u16string();
    ASSERT_EQ(pelox_downloadFile(wideSid.c_str(), u"file.bin", local.c_str()), PELOX_OK);

    text = pelox::testsupport::slurp(trace);
    const std::vector<std::string> all = recordHeads(text);
    ASSERT_GE(all.size(), login.size() + 2) << text;
    EXPECT_NE(all[login.size()].find(" HTTP http://127.0.0.1:"), std::string::npos) << all[login.size()];
    EXPECT_NE(all[login.size()].find("/qorvane/serverstatus?"), std::string::npos);
    EXPECT_NE(text.find("< Status: available"), std::string::npos);
    EXPECT_NE(text.find("&SID=***"), std::string::npos) << text;
    // The body as it went over the wire: gzip-encoded, so binary.
    EXPECT_NE(text.find("< Connection: close\n<\n< [binary body, "), std::string::npos) << text;

    EXPECT_EQ(text.find("secret"), std::string::npos);
    EXPECT_EQ(text.find(sid), std::string::npos);
    EXPECT_EQ(fs::status(trace).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
    peloxImp_removeObject(PELOX_OBJECT_STRING, session);
    peloxImp_removeObject(PELOX_OBJECT_RESULT_INFO, status);
}

}  // namespace
