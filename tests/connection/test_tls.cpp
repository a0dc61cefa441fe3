// https endpoints: the server certificate must chain to a trusted CA (the
// system store or PELOX_CA_BUNDLE) and name the host exactly. The
// certificates, and a private CA that issues some of them, are made at test
// time with the openssl command.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "connection/channel.h"
#include "frame/settings.h"
#include "host/http_reader.h"
#include "host/tls_trust.h"
#include "host/tarn_exception.h"
#include "host/tarn_util.h"
#include "soapH.h"
#include "wire/convert.h"
#include "wire/loopback_server.h"

using namespace pelox;
namespace fs = std::filesystem;

namespace {

fs::path gDir;

void makeCertificate(const std::string& name, const std::string& host) {
    std::string command = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 -subj /CN=" + host +
                          " -addext subjectAltName=DNS:" + host + " -keyout " + (gDir / (name + ".key")).string() + " -out " +
                          (gDir / (name + ".pem")).string() + " >/dev/null 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

// A certificate issued by the test CA ("ca") with the given subject and
// subjectAltName extension.
void issueCertificate(const std::string& name, const std::string& subject, const std::string& altNames) {
    std::string command = "openssl req -x509 -CA " + (gDir / "ca.pem").string() + " -CAkey " + (gDir / "ca.key").string() +
                          " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 -subj /CN=" + subject +
                          " -addext basicConstraints=critical,CA:FALSE" +
                          (altNames.empty() ? std::string() : " -addext 'subjectAltName=" + altNames + "'") + " -keyout " +
                          (gDir / (name + ".key")).string() + " -out " + (gDir / (name + ".pem")).string() + " >/dev/null 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

// A TLS server on 127.0.0.1 answering every request with one reply.
class TlsServer {
public:
    // closeAfterHandshake: drop the connection without reading the request.
    TlsServer(const std::string& name, std::string reply, bool closeAfterHandshake = false)
        : reply_(std::move(reply)), closeAfterHandshake_(closeAfterHandshake) {
        ctx_ = SSL_CTX_new(TLS_server_method());
        SSL_CTX_use_certificate_chain_file(ctx_, (gDir / (name + ".pem")).c_str());
        SSL_CTX_use_PrivateKey_file(ctx_, (gDir / (name + ".key")).c_str(), SSL_FILETYPE_PEM);
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(listener_, 4);
        socklen_t length = sizeof address;
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { run(); });
    }
    ~TlsServer() {
        stop_ = true;
        thread_.join();
        ::close(listener_);
        SSL_CTX_free(ctx_);
    }
    std::string url(const std::string& host) const { return "https://" + host + ":" + std::to_string(port_) + "/qorvane/locator"; }
    int handshakes() const { return handshakes_; }

private:
    void run() {
        sigset_t pipe;  // this server thread may write to a closed peer
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
        while (!stop_) {
            pollfd p{listener_, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0) continue;
            int client = ::accept(listener_, nullptr, nullptr);
            if (client < 0) continue;
            SSL* ssl = SSL_new(ctx_);
            SSL_set_fd(ssl, client);
            if (SSL_accept(ssl) == 1) {
                ++handshakes_;
                if (closeAfterHandshake_) {
                    SSL_free(ssl);
                    ::close(client);
                    continue;
                }
                std::string request;
                char buffer[4096];
                while (request.find("</SOAP-ENV:Envelope>") == std::string::npos &&
                       !(request.starts_with("GET ") && request.find("\r\n\r\n") != std::string::npos)) {
                    int n = SSL_read(ssl, buffer, sizeof buffer);
                    if (n <= 0) break;
                    request.append(buffer, static_cast<size_t>(n));
                }
                SSL_write(ssl, reply_.data(), static_cast<int>(reply_.size()));
                SSL_shutdown(ssl);
            }
            SSL_free(ssl);
            ::close(client);
        }
    }

    std::string reply_;
    bool closeAfterHandshake_ = false;
    SSL_CTX* ctx_ = nullptr;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> handshakes_{0};
    std::thread thread_;
};

class Tls : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        gDir = fs::temp_directory_path() / ("pelox-tls-" + std::to_string(::getpid()));
        fs::create_directories(gDir);
        makeCertificate("local", "localhost");
        makeCertificate("other", "otherhost.invalid");
        makeCertificate("ca", "pelox-test-ca");
    }
    static void TearDownTestSuite() { fs::remove_all(gDir); }
    void TearDown() override {
        ::unsetenv("PELOX_CA_BUNDLE");
        ::unsetenv("SSL_CERT_FILE");
        settings().throwOnFailure = false;
    }

    static std::string reply() {
        return pelox::test::httpReply(
            "<?xml version=\"1.0\"?><s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
            "xmlns:q=\"urn:qorvane:workflow-server\"><s:Body><q:GetEndpointResponse><url>ok</url></q:GetEndpointResponse>"
            "</s:Body></s:Envelope>");
    }

    // GetEndpoint over https; returns the status and the joined exception
    // messages when one was raised.
    static int call(const std::string& url, std::u16string* messages = nullptr) {
        SoapStruct ctx;
        qor__GetEndpointResponse r;
        try {
            int rc = callWithRetry(ctx, "soap call to GetEndpoint() failed", [&](struct soap* s) {
                return soap_call_qor__GetEndpoint(s, url.c_str(), nullptr, wire::utf8(ctx.get(), u"X"), r);
            });
            if (rc == 0) {
                EXPECT_STREQ(r.url, "ok");
            }
            return rc;
        } catch (const SoapRequestException& e) {
            if (messages) *messages = e.joined(u"\n");
            return 1;
        }
    }
};

TEST_F(Tls, UntrustedCertificateFailsAndSaysWhy) {
    TlsServer server("local", reply());
    EXPECT_EQ(call(server.url("localhost")), -973);
    settings().throwOnFailure = true;
    std::u16string messages;
    EXPECT_EQ(call(server.url("localhost"), &messages), 1);
    EXPECT_NE(messages.find(u"certificate"), std::u16string::npos) << tarn::util::ConvertStringtoUTF8(messages);
    EXPECT_EQ(server.handshakes(), 0) << tarn::util::ConvertStringtoUTF8(messages);
}

TEST_F(Tls, CertificateTrustedThroughTheExtraBundleSucceeds) {
    TlsServer server("local", reply());
    ::setenv("PELOX_CA_BUNDLE", (gDir / "local.pem").c_str(), 1);
    EXPECT_EQ(call(server.url("localhost")), 0);
    EXPECT_EQ(server.handshakes(), 1);
}

TEST_F(Tls, UnreadableExtraBundleFailsWithoutRetrying) {
    TlsServer server("local", reply());
    ::setenv("PELOX_CA_BUNDLE", (gDir / "missing.pem").c_str(), 1);
    int pauses = 0;
    setRetrySleeperForTesting([&](int) { ++pauses; });
    EXPECT_EQ(call(server.url("localhost")), -973);
    setRetrySleeperForTesting({});
    EXPECT_EQ(pauses, 0);
    EXPECT_EQ(server.handshakes(), 0);
}

TEST_F(Tls, CertificateForAnotherHostFails) {
    TlsServer server("other", reply());
    ::setenv("PELOX_CA_BUNDLE", (gDir / "other.pem").c_str(), 1);
    settings().throwOnFailure = true;
    std::u16string messages;
    EXPECT_EQ(call(server.url("localhost"), &messages), 1);
    EXPECT_FALSE(messages.empty());
}

// The certificate must name the URL's host exactly: a wildcard stands for a
// whole leftmost label only, "-" is an ordinary character, the subject's
// common name is never consulted, and an IP address must be listed as one.
// Every certificate comes from the same trusted CA, so only the name decides.
TEST_F(Tls, CertificateMustNameTheHostExactly) {
    struct Case {
        const char* subject;
        const char* altNames;
        const char* host;
        bool accepted;
    };
    const Case cases[] = {
        {"localhost", "DNS:localhost", "localhost", true},
        {"127.0.0.1", "IP:127.0.0.1", "127.0.0.1", true},
        {"localhost", "DNS:localhos-", "localhost", false},
        {"localhost", "DNS:*", "localhost", false},
        {"localhost", "DNS:*host", "localhost", false},
        {"localhost", "DNS:other.invalid", "localhost", false},  // no fallback to the subject
        {"localhost", "", "localhost", false},
        {"127.0.0.1", "DNS:127-0-0-1", "127.0.0.1", false},
        {"127.0.0.1", "DNS:*.0.0.1", "127.0.0.1", false},
        {"127.0.0.1", "DNS:*", "127.0.0.1", false},
        {"127.0.0.1", "DNS:127.0.0.1", "127.0.0.1", false},  // an address is not a DNS name
        {"127.0.0.1", "IP:127.0.0.2", "127.0.0.1", false},
    };
    ::setenv("PELOX_CA_BUNDLE", (gDir / "ca.pem").c_str(), 1);
    int i = 0;
    for (const Case& c : cases) {
        const std::string name = "leaf" + std::to_string(i++);
        issueCertificate(name, c.subject, c.altNames);
        TlsServer server(name, reply());
        const std::string url = server.url(c.host);
        EXPECT_EQ(call(url), c.accepted ? 0 : -973) << c.altNames << " for " << c.host;
        // The status page and the transfers (libcurl) decide the same way.
        bool curlAccepted = true;
        try {
            host::HttpReader().readBody(url);
        } catch (const tarn::Exception&) {
            curlAccepted = false;
        }
        EXPECT_EQ(curlAccepted, c.accepted) << c.altNames << " for " << c.host;
    }
}

// Windows checks names with a rule of its own (host::certificateNameMatches)
// where Linux leaves it to OpenSSL: both must decide every name alike.
TEST(TlsNameRule, DecidesLikeOpenSsl) {
    const std::pair<const char*, const char*> cases[] = {
        {"localhost", "localhost"},         {"LocalHost", "localhost"},          {"localhost", "localhos"},
        {"localhos-", "localhost"},         {"localhost.", "localhost"},         {"*", "localhost"},
        {"*host", "localhost"},             {"local*", "localhost"},             {"*.example.com", "a.example.com"},
        {"*.example.com", "A-1.Example.COM"}, {"*.example.com", "example.com"},
        {"*.example.com", "a.b.example.com"}, {"*.example.com", "a_b.example.com"}, {"*.example.com", "*.example.com"},
        {"*.example.com", "xn--bcher-kva.example.com"}, {"*.com", "example.com"}, {"f*.example.com", "foo.example.com"},
        {"*f.example.com", "ff.example.com"}, {"a.*.example.com", "a.b.example.com"}, {"*.*.example.com", "a.b.example.com"},
        {"*.-example.com", "a.-example.com"}, {"*.example-.com", "a.example-.com"}, {"*..com", "a..com"},
        {"*.example.com.", "a.example.com."}, {"*.ex_ample.com", "a.ex_ample.com"}, {"ex_ample.com", "ex_ample.com"},
        {"*.0.0.1", "127.0.0.1"},           {"127.0.0.1", "127.0.0.1"},          {"xn--*.example.com", "xn--a.example.com"},
    };
    for (const auto& [pattern, host] : cases) {
        X509* cert = X509_new();
        GENERAL_NAMES* names = sk_GENERAL_NAME_new_null();
        GENERAL_NAME* name = GENERAL_NAME_new();
        ASN1_IA5STRING* text = ASN1_IA5STRING_new();
        ASSERT_EQ(ASN1_STRING_set(text, pattern, -1), 1);
        GENERAL_NAME_set0_value(name, GEN_DNS, text);
        sk_GENERAL_NAME_push(names, name);
        ASSERT_EQ(X509_add1_ext_i2d(cert, NID_subject_alt_name, names, 0, 0), 1);
        GENERAL_NAMES_free(names);
        const bool openssl =
            X509_check_host(cert, host, 0, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS | X509_CHECK_FLAG_NEVER_CHECK_SUBJECT,
                            nullptr) == 1;
        X509_free(cert);
        EXPECT_EQ(host::certificateNameMatches(pattern, host), openssl) << pattern << " for " << host;
    }
}

// Both roads take their CAs from the same places: OpenSSL's default file,
// which SSL_CERT_FILE names, as well as PELOX_CA_BUNDLE.
TEST_F(Tls, SoapCallsAndHttpReadsTrustTheSameCertificateFile) {
    issueCertificate("byfile", "localhost", "DNS:localhost");
    TlsServer server("byfile", reply());
    ::setenv("SSL_CERT_FILE", (gDir / "ca.pem").c_str(), 1);
    EXPECT_EQ(call(server.url("localhost")), 0);
    EXPECT_NO_THROW(host::HttpReader().readBody(server.url("localhost")));
    ::setenv("SSL_CERT_FILE", (gDir / "missing.pem").c_str(), 1);
    EXPECT_EQ(call(server.url("localhost")), -973);
    EXPECT_THROW(host::HttpReader().readBody(server.url("localhost")), tarn::Exception);
}

// A server reached over https whose configuration sends the session to plain
// http endpoints is used as configured, with a warning in the error log.
TEST_F(Tls, PlainEndpointsAfterAnHttpsStartAreUsedWithAWarning) {
    TlsServer server("local", pelox::test::httpReply(
        "<?xml version=\"1.0\"?><s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
        "xmlns:q=\"urn:qorvane:workflow-server\"><s:Body><q:GetConfigurationSettingsResponse><settings>"
        "<item><name>FILEENDPOINT</name><values><item>http://localhost:1/qorvane/file</item></values></item>"
        "<item><name>XMLDBENDPOINT</name><values><item>https://localhost:1/qorvane/xmldb</item></values></item>"
        "<item><name>SERVERVERSION</name><values><item>8</item></values></item>"
        "</settings></q:GetConfigurationSettingsResponse></s:Body></s:Envelope>"));
    ::setenv("PELOX_CA_BUNDLE", (gDir / "local.pem").c_str(), 1);
    const fs::path log = gDir / "errors.txt";
    const std::u16string previousLog = tarn::Exception::GetErrorLogLocation();
    tarn::Exception::SetErrorLogLocation(tarn::util::ConvertUTF8toString(log.string()).c_str());
    SessionInfo session;
    session.serverUrl = server.url("localhost");
    EXPECT_EQ(setUpEndpoints(session), 0);
    tarn::Exception::SetErrorLogLocation(previousLog.c_str());
    EXPECT_EQ(session.fileEndpoint, "http://localhost:1/qorvane/file");
    std::ifstream in(log);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("unencrypted http endpoints (file http://localhost:1/qorvane/file)"), std::string::npos) << text;
}

TEST_F(Tls, ServerClosingDuringALargeRequestGivesAStatusNotASignal) {
    // Without protection the client's write to the closed connection raises
    // SIGPIPE, which would end this process.
    TlsServer server("local", reply(), true);
    ::setenv("PELOX_CA_BUNDLE", (gDir / "local.pem").c_str(), 1);
    SoapStruct ctx;
    qor__EmptyResponse r;
    std::vector<unsigned char> data(8 << 20, 'x');
    const std::string url = server.url("localhost");
    int rc = callWithRetry(ctx, "soap call to UploadFile() failed", [&](struct soap* s) {
        return soap_call_qor__UploadFile(s, url.c_str(), nullptr, wire::utf8(ctx.get(), u"S"), wire::utf8(ctx.get(), u"/f"),
                                         wire::toBase64(ctx.get(), data), false, r);
    });
    EXPECT_EQ(rc, -973);
    sigset_t pending;
    sigpending(&pending);
    EXPECT_EQ(sigismember(&pending, SIGPIPE), 0);
}

}  // namespace
