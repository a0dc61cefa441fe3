// Pure parts of the session set-up: credentials in a session ID, hardware
// address matching, the stored user name and the client type text.
#include <gtest/gtest.h>

#include "connection/session_setup.h"
#include "host/credentials.h"
#include "host/ip_resolver.h"

using pelox::host::CCredentials;
using pelox::host::CIPResolver;

namespace {

constexpr char16_t kPrefix[] = u"S0123456789abcdef0123456789ABCDEF";

std::u16string sessionWithBody(const std::string& text) {
    const std::string body = pelox::host::encodeCredentialsBody(text);
    return std::u16string(kPrefix) + u"." + std::u16string(body.begin(), body.end());
}

std::string endpointOf(const std::u16string& sessionId, bool* decoded = nullptr) {
    pelox::host::CCredentials c;
    c.SetCredentialsString(sessionId);
    const bool ok = c.DecryptBody();
    if (decoded) *decoded = ok;
    return c.GetXMLDBEndPoint();
}

}  // namespace

TEST(Credentials, BodyYieldsItsKeys) {
    bool ok = false;
    EXPECT_EQ(endpointOf(sessionWithBody("User=ann\nXmldbEndPoint=http://127.0.0.1:9/qorvane/xmldb\nX=1"), &ok),
              "http://127.0.0.1:9/qorvane/xmldb");
    EXPECT_TRUE(ok);
    // Windows line ends and a value holding "=" are kept intact.
    pelox::host::CCredentials c;
    c.SetCredentialsString(sessionWithBody("A=b=c\r\nXmldbEndPoint=https://h/x\r\n"));
    ASSERT_TRUE(c.DecryptBody());
    EXPECT_EQ(c.GetValue("A"), "b=c");
    EXPECT_EQ(c.GetXMLDBEndPoint(), "https://h/x");
    // Every body length (padding of 0, 1 and 2 characters) decodes.
    for (const char* url : {"http://a/b", "http://a/bc", "http://a/bcd"})
        EXPECT_EQ(endpointOf(sessionWithBody(std::string("XmldbEndPoint=") + url)), url);
}

TEST(Credentials, MissingOrBrokenBodyYieldsNoEndpoint) {
    bool ok = true;
    EXPECT_EQ(endpointOf(kPrefix, &ok), "");
    EXPECT_FALSE(ok);
    EXPECT_EQ(endpointOf(std::u16string(kPrefix) + u".", &ok), "");
    EXPECT_EQ(endpointOf(std::u16string(kPrefix) + u".!!!!", &ok), "");
    EXPECT_FALSE(ok);
    EXPECT_EQ(endpointOf(std::u16string(kPrefix) + u".QQ=Q", &ok), "");  // "=" inside the text
    EXPECT_EQ(endpointOf(std::u16string(kPrefix) + u".abc", &ok), "");   // not a multiple of 4
    EXPECT_EQ(endpointOf(sessionWithBody("no key value lines here"), &ok), "");
    EXPECT_FALSE(ok);
    EXPECT_EQ(endpointOf(sessionWithBody("Other=1"), &ok), "");
    EXPECT_TRUE(ok);
    EXPECT_EQ(endpointOf(u""), "");
    // A huge body is refused, not decoded.
    EXPECT_EQ(endpointOf(std::u16string(kPrefix) + u"." + std::u16string(400000, u'A')), "");
}

TEST(Credentials, ResettingForgetsTheOldBody) {
    pelox::host::CCredentials c;
    c.SetCredentialsString(sessionWithBody("XmldbEndPoint=http://one/"));
    ASSERT_TRUE(c.DecryptBody());
    c.SetCredentialsString(kPrefix);
    EXPECT_EQ(c.GetXMLDBEndPoint(), "");
    EXPECT_FALSE(c.DecryptBody());
    EXPECT_EQ(c.GetXMLDBEndPoint(), "");
}

TEST(HardwareAddress, CanonicalForms) {
    EXPECT_EQ(pelox::host::CIPResolver::canonical("02:FC:00:00:00:01"), "02:fc:00:00:00:01");
    EXPECT_EQ(pelox::host::CIPResolver::canonical("02-fc-00-00-00-01"), "02:fc:00:00:00:01");
    EXPECT_EQ(pelox::host::CIPResolver::canonical("2:fc:0:0:0:1"), "02:fc:00:00:00:01");
    EXPECT_FALSE(pelox::host::CIPResolver::canonical("02:fc-00:00:00:01"));  // mixed separators
    EXPECT_FALSE(pelox::host::CIPResolver::canonical("02:fc:00:00:00"));
    EXPECT_FALSE(pelox::host::CIPResolver::canonical("02:fc:00:00:00:01:02"));
    EXPECT_FALSE(pelox::host::CIPResolver::canonical("02:fc:00:00:00:1g"));
    EXPECT_FALSE(pelox::host::CIPResolver::canonical("002:fc:00:00:00:01"));
    EXPECT_FALSE(pelox::host::CIPResolver::canonical(""));
}

TEST(HardwareAddress, MatchesLocalListIgnoringCaseAndSeparator) {
    const std::vector<std::string> local = {"02:fc:00:00:00:01", "ea:3d:f2:df:93:29"};
    const bool locallyAdministeredCount = true;
    EXPECT_TRUE(pelox::host::CIPResolver::matchesAny("02-FC-00-00-00-01", local, locallyAdministeredCount));
    EXPECT_TRUE(pelox::host::CIPResolver::matchesAny("EA:3D:F2:DF:93:29", local, locallyAdministeredCount));
    EXPECT_TRUE(pelox::host::CIPResolver::matchesAny("11:11:11:11:11:11, ea-3d-f2-df-93-29", local, locallyAdministeredCount));
    EXPECT_TRUE(pelox::host::CIPResolver::matchesAny("EA3DF2DF9329", local, locallyAdministeredCount));  // compact form
    EXPECT_FALSE(pelox::host::CIPResolver::matchesAny("02:fc:00:00:00:02", local, locallyAdministeredCount));
    EXPECT_FALSE(pelox::host::CIPResolver::matchesAny("not an address", local, locallyAdministeredCount));
    EXPECT_FALSE(pelox::host::CIPResolver::matchesAny("", local, locallyAdministeredCount));
    // The all-zero address of a loopback interface is no evidence of locality.
    EXPECT_FALSE(pelox::host::CIPResolver::matchesAny("00:00:00:00:00:00", {"00:00:00:00:00:00"}, locallyAdministeredCount));
}

// Locally administered addresses are reused across hosts (every host's first
// Docker container is 02:42:ac:11:00:02): they tell nothing unless the server
// was reached over this machine's loopback interface.
TEST(HardwareAddress, LocallyAdministeredAddressesCountOnlyOverLoopback) {
    using pelox::host::CIPResolver;
    const std::vector<std::string> local = {"02:42:ac:11:00:02", "00:1b:21:3a:4f:5e"};
    EXPECT_FALSE(CIPResolver::matchesAny("02:42:ac:11:00:02", local));
    EXPECT_FALSE(CIPResolver::matchesAny("0242AC110002", local));
    EXPECT_TRUE(CIPResolver::matchesAny("02:42:ac:11:00:02", local, true));
    // Universally administered ones (second-lowest bit of the first octet
    // clear) are unique and always count.
    EXPECT_TRUE(CIPResolver::matchesAny("00-1B-21-3A-4F-5E", local));
    EXPECT_TRUE(CIPResolver::matchesAny("001b213a4f5e", local));

    for (const char* url : {"http://127.0.0.1:4100/qorvane/file", "https://localhost/qorvane/file", "http://[::1]:80/x",
                            "http://LOCALHOST:8080", "http://127.1.2.3/"})
        EXPECT_TRUE(CIPResolver::IsLoopbackUrl(url)) << url;
    for (const char* url : {"http://server.example/qorvane/file", "http://127.0.0.1.example/", "http://10.0.0.1:4100/",
                            "http://[::2]/", "127.0.0.1", ""})
        EXPECT_FALSE(CIPResolver::IsLoopbackUrl(url)) << url;
}

TEST(HardwareAddress, ThisMachinesOwnAddressesAreLocal) {
    const auto mine = pelox::host::CIPResolver::localAddresses();
    const std::string_view loopback = "http://127.0.0.1:4100/qorvane/file";
    for (const auto& a : mine) {
        EXPECT_TRUE(pelox::host::CIPResolver::IsHWAddressOnLocalMachine(std::string_view(a), loopback));
        std::string upper = a;
        for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        for (char& c : upper)
            if (c == ':') c = '-';
        EXPECT_TRUE(pelox::host::CIPResolver::IsHWAddressOnLocalMachine(std::u16string(upper.begin(), upper.end()), loopback));
        // Asked from elsewhere, only a universally administered address counts.
        const bool universal = (std::stoi(a.substr(0, 2), nullptr, 16) & 2) == 0;
        EXPECT_EQ(pelox::host::CIPResolver::IsHWAddressOnLocalMachine(std::string_view(a), "http://server.example/qorvane/file"),
                  universal);
    }
    EXPECT_FALSE(pelox::host::CIPResolver::IsHWAddressOnLocalMachine(std::string_view("00:00:00:00:00:00"), loopback));
}

TEST(LoginNames, UserNameKeepsItsLastPart) {
    EXPECT_EQ(pelox::shortUserName(u"ann"), u"ann");
    EXPECT_EQ(pelox::shortUserName(u"DOMAIN\\ann"), u"ann");
    EXPECT_EQ(pelox::shortUserName(u"a/b\\c/ann"), u"ann");
    EXPECT_EQ(pelox::shortUserName(u"trailing/"), u"");
    EXPECT_EQ(pelox::clientTypeText(u"Desk"), "{pelox} Desk");
    EXPECT_EQ(pelox::clientTypeText(u""), "{pelox} ");
}
