// https on Windows, where the SOAP calls go over libcurl (Schannel) and the
// certificate is checked with the Win32 certificate API: the server is
// verified as on Linux. The emulator runs on the Linux side, serving
// certificates made there by the set-up step (make_tls_certificates.sh) into
// PELOX_TLS_CERT_DIR (a Linux path). Wine's Schannel takes any certificate
// when left to itself, so every case names a CA bundle: what passes here
// passes because of our own check.
#include <windows.h>

#include <string>

#include "catalogue/e2e_helpers.h"

using namespace pelox::e2e;
using pelox::testsupport::Emulator;

namespace {

std::string linuxPath(const std::string& name) { return std::string(PELOX_TLS_CERT_DIR) + "/" + name; }

Emulator serving(const std::string& name) {
    return Emulator({"--https", linuxPath(name + ".pem"), linuxPath(name + ".key")});
}

// Names the bundle for the library as Windows code opens it: Wine shows
// the Linux root as drive Z:.
void useBundle(const std::string& name) {
    std::wstring path = L"Z:";
    for (char c : linuxPath(name)) path.push_back(c == '/' ? L'\\' : static_cast<wchar_t>(c));
    ASSERT_TRUE(SetEnvironmentVariableW(L"PELOX_CA_BUNDLE", path.c_str()));
}

std::u16string locator(const Emulator& emu, const std::string& host = "127.0.0.1") {
    return u16("https://" + host + ":" + std::to_string(emu.port()) + "/qorvane/locator");
}

int32_t loginAt(const std::u16string& url, String& id) {
    return pelox_login(url.c_str(), u"tester", u"secret", nullptr, id, u"tests");
}

class WindowsTls : public ::testing::Test {
protected:
    void TearDown() override {
        SetEnvironmentVariableW(L"PELOX_CA_BUNDLE", nullptr);
        pelox_setPeloxOptions(PELOX_OPTION_THROW_ON_FAILURE, u"0");
    }
};

TEST_F(WindowsTls, TrustedCaAndTheRightNamePass) {
    Emulator emu = serving("server");
    useBundle("ca.pem");
    String id;
    const int32_t rc = loginAt(locator(emu), id);
    ASSERT_EQ(rc, 0) << errorText(rc);
    String byName;
    EXPECT_EQ(loginAt(locator(emu, "localhost"), byName), 0);
    // The status page (libcurl) is verified the same way.
    Result status;
    const int32_t page = pelox_getServerStatus(id.text().c_str(), status);
    EXPECT_EQ(page, 0) << errorText(page);
    EXPECT_FALSE(status.names().empty());

    // Another CA: the page is refused too, and says why.
    useBundle("other-ca.pem");
    const int32_t refused = pelox_getServerStatus(id.text().c_str(), status);
    ASSERT_GT(refused, 0);
    EXPECT_NE(errorText(refused).find("certificate"), std::string::npos) << errorText(refused);
}

// A refused certificate is a failed call, not a connection to retry: -973.
// (The emulator's control page is not served over https, so what reached
// it is not counted here; the check runs before any request is sent.)
TEST_F(WindowsTls, UntrustedRootFails) {
    Emulator emu = serving("server");
    useBundle("other-ca.pem");
    String id;
    EXPECT_EQ(loginAt(locator(emu), id), PELOX_E_SERVICE_CALL);
    pelox_setPeloxOptions(PELOX_OPTION_THROW_ON_FAILURE, u"1");
    const int32_t rc = loginAt(locator(emu), id);
    ASSERT_GT(rc, 0);
    EXPECT_NE(errorText(rc).find("certificate"), std::string::npos) << errorText(rc);
}

// Only a subjectAltName that names the host counts: not another host, not
// the address written as a DNS name, not the common name.
TEST_F(WindowsTls, WrongHostNameFails) {
    useBundle("ca.pem");
    for (const char* name : {"wrong-name", "dns-ip", "cn-only"}) {
        Emulator emu = serving(name);
        String id;
        EXPECT_EQ(loginAt(locator(emu), id), PELOX_E_SERVICE_CALL) << name;
    }
}

// No TLS connection at all is a connection failure, retried and then -974,
// as when gSOAP's own TCP connect fails.
TEST_F(WindowsTls, ServerThatIsGoneIsRetriedAsAConnectionFailure) {
    Emulator emu = serving("server");
    useBundle("ca.pem");
    const std::u16string url = locator(emu);
    emu.stop();
    String id;
    EXPECT_EQ(loginAt(url, id), PELOX_E_CONNECTION);
}

TEST_F(WindowsTls, UnreadableBundleFailsClosed) {
    Emulator emu = serving("server");
    useBundle("missing.pem");
    String id;
    EXPECT_EQ(loginAt(locator(emu), id), PELOX_E_SERVICE_CALL);
}

}  // namespace
