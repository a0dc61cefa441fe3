// The Linux side of the TLS trust rules (host/tls_trust.h): OpenSSL checks
// the chain and the name, for the SOAP calls through gSOAP and for libcurl.
#include "host/tls_trust.h"
#include "host/posix/openssl_trust.h"

#include <curl/curl.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>
#include <arpa/inet.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace pelox::host {

namespace {

// The default CA file or directory as OpenSSL finds it: the environment
// variable it honours, else the path it was built with.
std::string defaultLocation(const char* environmentName, const char* builtIn) {
    const char* named = std::getenv(environmentName);
    return named ? std::string(named) : std::string(builtIn ? builtIn : "");
}

bool exists(const std::string& path, bool directory) {
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && (directory ? S_ISDIR(st.st_mode) : S_ISREG(st.st_mode));
}

const char* extraBundle() {
    const char* bundle = std::getenv("PELOX_CA_BUNDLE");
    return bundle && *bundle ? bundle : nullptr;
}

bool addExtraBundle(SSL_CTX* ctx) {
    const char* bundle = extraBundle();
    return !bundle || SSL_CTX_load_verify_locations(ctx, bundle, nullptr) == 1;
}

bool isIpLiteral(const char* host) {
    unsigned char address[16];
    return inet_pton(AF_INET, host, address) == 1 || inet_pton(AF_INET6, host, address) == 1;
}

// Runs for each TLS context libcurl makes (one per connection): adds the
// extra bundle and has OpenSSL check the name exactly as on the SOAP road.
// libcurl's own check, which still follows, would also take a certificate
// without subjectAltName by its common name.
CURLcode onCurlContext(CURL* curl, void* sslContext, void*) {
    auto* ctx = static_cast<SSL_CTX*>(sslContext);
    if (!addExtraBundle(ctx)) return CURLE_SSL_CACERT_BADFILE;
    return requireCertificateName(ctx, transferHost(curl).c_str()) ? CURLE_OK : CURLE_SSL_CONNECT_ERROR;
}

}  // namespace

bool requireCertificateName(SSL_CTX* ctx, const char* host) {
    if (!host || !*host) return false;
    X509_VERIFY_PARAM* param = SSL_CTX_get0_param(ctx);
    X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS | X509_CHECK_FLAG_NEVER_CHECK_SUBJECT);
    // The context may have served another host before: the check names
    // exactly one host or address.
    if (X509_VERIFY_PARAM_set1_host(param, nullptr, 0) != 1 || X509_VERIFY_PARAM_set1_ip(param, nullptr, 0) != 1)
        return false;
    if (isIpLiteral(host)) return X509_VERIFY_PARAM_set1_ip_asc(param, host) == 1;
    return X509_VERIFY_PARAM_set1_host(param, host, 0) == 1;
}

bool loadTrustedCertificates(SSL_CTX* ctx) {
    // The default locations may be missing (a machine without a system
    // store); OpenSSL then trusts nothing from them, as libcurl does below.
    SSL_CTX_set_default_verify_paths(ctx);
    return addExtraBundle(ctx);
}

void setCurlTrust(CURL* curl) {
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    const std::string file = defaultLocation(X509_get_default_cert_file_env(), X509_get_default_cert_file());
    const std::string directory = defaultLocation(X509_get_default_cert_dir_env(), X509_get_default_cert_dir());
    curl_easy_setopt(curl, CURLOPT_CAINFO, exists(file, false) ? file.c_str() : nullptr);
    curl_easy_setopt(curl, CURLOPT_CAPATH, exists(directory, true) ? directory.c_str() : nullptr);
    curl_easy_setopt(curl, CURLOPT_SSL_CTX_FUNCTION, onCurlContext);
}

// OpenSSL's verdict reaches libcurl's own error text.
std::string curlFailureText(CURL*, int rc, const char* errorBuffer) {
    return errorBuffer && *errorBuffer ? errorBuffer : curl_easy_strerror(static_cast<CURLcode>(rc));
}

}  // namespace pelox::host
