// The Windows side of the TLS trust rules (host/tls_trust.h): the chain,
// the system's TLS policy and the name are checked with the Win32
// certificate API on the certificate Schannel received.
//
// libcurl's own Schannel check is not used: given a CA bundle it trusts that
// bundle alone (not the Windows store), it takes an IP literal for a DNS name
// and leaves IP addresses unchecked, and it checks revocation, which the
// Linux road does not. Schannel hands the certificate over unchecked; it is
// checked here once the handshake is done and before the request is sent.
#include "host/tls_trust.h"

#ifndef SECURITY_WIN32
#define SECURITY_WIN32
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <wincrypt.h>
#include <security.h>
#include <schannel.h>

#include <curl/curl.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

namespace pelox::host {

namespace {

// SECURITY_FLAG_IGNORE_CERT_CN_INVALID of <wininet.h>: the SSL policy leaves
// the name alone, which is checked by our own rule afterwards.
constexpr DWORD kPolicyIgnoresName = 0x00001000;

// A bundle larger than this is not read (a CA bundle is well under 1 MiB).
constexpr LONGLONG kMaxBundleBytes = 64LL << 20;

struct StoreCloser {
    void operator()(void* store) const { CertCloseStore(static_cast<HCERTSTORE>(store), 0); }
};
using Store = std::unique_ptr<void, StoreCloser>;

struct HandleCloser {
    void operator()(void* handle) const { CloseHandle(static_cast<HANDLE>(handle)); }
};

std::string hex(DWORD value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lx", static_cast<unsigned long>(value));
    return text;
}

// The value of PELOX_CA_BUNDLE from the process environment (which _putenv
// and SetEnvironmentVariableW both change), or nothing when it is unset or
// empty.
std::optional<std::wstring> bundlePath() {
    const DWORD size = GetEnvironmentVariableW(L"PELOX_CA_BUNDLE", nullptr, 0);
    if (size <= 1) return std::nullopt;
    std::wstring path(size, L'\0');
    const DWORD length = GetEnvironmentVariableW(L"PELOX_CA_BUNDLE", path.data(), size);
    if (length == 0 || length >= size) return std::nullopt;
    path.resize(length);
    return path;
}

bool readFile(const std::wstring& path, std::string& out) {
    std::unique_ptr<void, HandleCloser> file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.get() == INVALID_HANDLE_VALUE) {
        file.release();
        return false;
    }
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.get(), &size) || size.QuadPart > kMaxBundleBytes) return false;
    out.assign(static_cast<size_t>(size.QuadPart), '\0');
    size_t done = 0;
    while (done < out.size()) {
        DWORD got = 0;
        if (!ReadFile(file.get(), out.data() + done, static_cast<DWORD>(out.size() - done), &got, nullptr)) return false;
        if (got == 0) break;
        done += got;
    }
    out.resize(done);
    return true;
}

// The certificates of a PEM bundle in a memory store. Nothing when the file
// cannot be read, holds a certificate block that does not decode, or holds
// no certificate at all (as OpenSSL refuses such a file on Linux).
Store loadBundle(const std::wstring& path) {
    std::string pem;
    if (!readFile(path, pem)) return nullptr;
    Store store(CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, CERT_STORE_CREATE_NEW_FLAG, nullptr));
    if (!store) return nullptr;
    static constexpr char kBegin[] = "-----BEGIN CERTIFICATE-----";
    static constexpr char kEnd[] = "-----END CERTIFICATE-----";
    size_t count = 0;
    for (size_t at = pem.find(kBegin); at != std::string::npos; at = pem.find(kBegin, at)) {
        const size_t end = pem.find(kEnd, at);
        if (end == std::string::npos) return nullptr;
        const size_t blockEnd = end + sizeof kEnd - 1;
        const char* block = pem.data() + at;
        const DWORD blockSize = static_cast<DWORD>(blockEnd - at);
        DWORD derSize = 0;
        if (!CryptStringToBinaryA(block, blockSize, CRYPT_STRING_BASE64HEADER, nullptr, &derSize, nullptr, nullptr))
            return nullptr;
        std::vector<BYTE> der(derSize);
        if (!CryptStringToBinaryA(block, blockSize, CRYPT_STRING_BASE64HEADER, der.data(), &derSize, nullptr, nullptr) ||
            !CertAddEncodedCertificateToStore(store.get(), X509_ASN_ENCODING, der.data(), derSize, CERT_STORE_ADD_ALWAYS,
                                              nullptr))
            return nullptr;
        ++count;
        at = blockEnd;
    }
    return count ? std::move(store) : nullptr;
}

std::string describeTrustErrors(DWORD errors) {
    struct Known {
        DWORD flag;
        const char* text;
    };
    static const Known kKnown[] = {
        {CERT_TRUST_IS_UNTRUSTED_ROOT, "its chain ends at a root that is not trusted"},
        {CERT_TRUST_IS_PARTIAL_CHAIN, "its chain does not reach a trusted root"},
        {CERT_TRUST_IS_NOT_TIME_VALID, "a certificate of its chain has expired or is not yet valid"},
        {CERT_TRUST_IS_NOT_SIGNATURE_VALID, "a signature in its chain is not valid"},
        {CERT_TRUST_IS_NOT_VALID_FOR_USAGE, "it is not valid for TLS server authentication"},
        {CERT_TRUST_INVALID_BASIC_CONSTRAINTS, "its chain breaks a CA constraint"},
        {CERT_TRUST_IS_REVOKED, "a certificate of its chain is revoked"},
        {CERT_TRUST_IS_CYCLIC, "its chain is cyclic"},
    };
    for (const Known& known : kKnown)
        if (errors & known.flag) return std::string("the server certificate cannot be verified: ") + known.text;
    return "the server certificate cannot be verified (trust status " + hex(errors) + ")";
}

// Builds the chain of cert with engine (nullptr: the current user's default
// engine, the Windows store) and checks it; empty when it is trusted.
std::string checkChain(HCERTCHAINENGINE engine, PCCERT_CONTEXT cert) {
    static char serverAuth[] = szOID_PKIX_KP_SERVER_AUTH;
    LPSTR usages[] = {serverAuth};
    CERT_CHAIN_PARA para{};
    para.cbSize = sizeof para;
    para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    para.RequestedUsage.Usage.cUsageIdentifier = 1;
    para.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    if (!CertGetCertificateChain(engine, cert, nullptr, cert->hCertStore, &para, 0, nullptr, &chain) || !chain)
        return "the server certificate's chain could not be built (error " + hex(GetLastError()) + ")";
    std::unique_ptr<const CERT_CHAIN_CONTEXT, decltype(&CertFreeCertificateChain)> hold(chain, CertFreeCertificateChain);
    // Nesting of validity periods is not required (neither does OpenSSL).
    const DWORD errors = chain->TrustStatus.dwErrorStatus & ~static_cast<DWORD>(CERT_TRUST_IS_NOT_TIME_NESTED);
    if (errors) return describeTrustErrors(errors);
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
    ssl.cbSize = sizeof ssl;
    ssl.dwAuthType = AUTHTYPE_SERVER;
    ssl.fdwChecks = kPolicyIgnoresName;
    ssl.pwszServerName = nullptr;
    CERT_CHAIN_POLICY_PARA policy{};
    policy.cbSize = sizeof policy;
    policy.pvExtraPolicyPara = &ssl;
    CERT_CHAIN_POLICY_STATUS status{};
    status.cbSize = sizeof status;
    if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &status))
        return "the server certificate could not be checked against the TLS policy (error " + hex(GetLastError()) + ")";
    if (status.dwError) return "the server certificate is refused by the system's TLS policy (" + hex(status.dwError) + ")";
    return {};
}

// A chain engine that trusts exactly the roots of store.
struct EngineCloser {
    void operator()(void* engine) const { CertFreeCertificateChainEngine(static_cast<HCERTCHAINENGINE>(engine)); }
};

std::string checkChainAgainst(HCERTSTORE roots, PCCERT_CONTEXT cert) {
    CERT_CHAIN_ENGINE_CONFIG config{};
    config.cbSize = sizeof config;
    config.hExclusiveRoot = roots;
    HCERTCHAINENGINE engine = nullptr;
    if (!CertCreateCertificateChainEngine(&config, &engine) || !engine)
        return "the CA bundle named by PELOX_CA_BUNDLE cannot be used (error " + hex(GetLastError()) + ")";
    std::unique_ptr<void, EngineCloser> hold(engine);
    return checkChain(engine, cert);
}

// A subjectAltName DNS name as its IA5 bytes; nothing for a name with
// characters beyond one byte.
std::optional<std::string> ia5(const wchar_t* name) {
    std::string out;
    for (; *name; ++name) {
        if (*name > 0xFF) return std::nullopt;
        out.push_back(static_cast<char>(*name));
    }
    return out;
}

// Whether the certificate's subjectAltName names host: an IP literal among
// its IP addresses, a host name among its DNS names (certificateNameMatches).
// The subject's common name is never used.
bool namesHost(PCCERT_CONTEXT cert, const std::string& host) {
    unsigned char address[16];
    DWORD addressSize = 0;
    if (inet_pton(AF_INET, host.c_str(), address) == 1)
        addressSize = 4;
    else if (inet_pton(AF_INET6, host.c_str(), address) == 1)
        addressSize = 16;
    const CERT_INFO* info = cert->pCertInfo;
    const CERT_EXTENSION* extension = CertFindExtension(szOID_SUBJECT_ALT_NAME2, info->cExtension, info->rgExtension);
    if (!extension) return false;
    CERT_ALT_NAME_INFO* names = nullptr;
    DWORD size = 0;
    if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, extension->Value.pbData, extension->Value.cbData,
                             CRYPT_DECODE_ALLOC_FLAG, nullptr, &names, &size) ||
        !names)
        return false;
    std::unique_ptr<CERT_ALT_NAME_INFO, decltype(&LocalFree)> hold(names, LocalFree);
    for (DWORD i = 0; i < names->cAltEntry; ++i) {
        const CERT_ALT_NAME_ENTRY& entry = names->rgAltEntry[i];
        if (addressSize) {
            if (entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS && entry.IPAddress.cbData == addressSize &&
                std::memcmp(entry.IPAddress.pbData, address, addressSize) == 0)
                return true;
        } else if (entry.dwAltNameChoice == CERT_ALT_NAME_DNS_NAME && entry.pwszDNSName) {
            const std::optional<std::string> name = ia5(entry.pwszDNSName);
            if (name && certificateNameMatches(*name, host)) return true;
        }
    }
    return false;
}

// Checks the certificate the server presented on the Schannel context: its
// chain must end at a root of the Windows store (the current user's view) or
// of the PEM bundle named by PELOX_CA_BUNDLE, be valid now and for TLS server
// authentication, pass the system's TLS server policy, and its
// subjectAltName must name host. Revocation is not checked. Returns an empty
// text when the certificate is accepted, else the reason.
std::string checkServerCertificate(CtxtHandle* context, const std::string& host) {
    PCCERT_CONTEXT cert = nullptr;
    if (QueryContextAttributesW(context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &cert) != SEC_E_OK || !cert)
        return "the server presented no certificate";
    std::unique_ptr<const CERT_CONTEXT, decltype(&CertFreeCertificateContext)> hold(cert, CertFreeCertificateContext);
    if (host.empty()) return "the server certificate cannot be checked: the host name is not known";
    // A bundle that is named must be readable, whatever the system store
    // would say: a bad bundle fails closed.
    Store bundle;
    if (const std::optional<std::wstring> path = bundlePath()) {
        bundle = loadBundle(*path);
        if (!bundle) return "the CA bundle named by PELOX_CA_BUNDLE could not be read";
    }
    std::string why = checkChain(nullptr, cert);
    if (!why.empty() && bundle) why = checkChainAgainst(bundle.get(), cert);
    if (!why.empty()) return why;
    if (!namesHost(cert, host)) return "the server certificate does not name " + host;
    return {};
}

// Why the certificate check stopped the last transfer of a handle on this
// thread (transfers run on the calling thread; setCurlTrust clears it).
struct TrustFailure {
    CURL* handle = nullptr;
    std::string reason;
};
thread_local TrustFailure tTrustFailure;

// Runs when the connection is made (the TLS handshake done) and before the
// request is sent: an https peer is checked here, and the transfer stops
// unless it passes.
int onPrerequest(void* user, char*, char*, int, int) {
    CURL* curl = static_cast<CURL*>(user);
    try {
        char* scheme = nullptr;
        if (curl_easy_getinfo(curl, CURLINFO_SCHEME, &scheme) == CURLE_OK && scheme && !curl_strequal(scheme, "https"))
            return CURL_PREREQFUNC_OK;
        curl_tlssessioninfo* session = nullptr;
        std::string reason;
        if (curl_easy_getinfo(curl, CURLINFO_TLS_SSL_PTR, &session) != CURLE_OK || !session ||
            session->backend != CURLSSLBACKEND_SCHANNEL || !session->internals)
            reason = "the server certificate cannot be checked: the TLS connection cannot be inspected";
        else
            reason = checkServerCertificate(static_cast<CtxtHandle*>(session->internals), transferHost(curl));
        if (reason.empty()) return CURL_PREREQFUNC_OK;
        tTrustFailure = {curl, std::move(reason)};
    } catch (...) {
        tTrustFailure = {curl, "the server certificate could not be checked"};
    }
    return CURL_PREREQFUNC_ABORT;
}

}  // namespace

void setCurlTrust(CURL* curl) {
    tTrustFailure = {};
    // Schannel hands the certificate over unchecked; onPrerequest checks it
    // by our rules before the request goes out.
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
    curl_easy_setopt(curl, CURLOPT_PREREQFUNCTION, onPrerequest);
    curl_easy_setopt(curl, CURLOPT_PREREQDATA, curl);
}

std::string curlFailureText(CURL* curl, int rc, const char* errorBuffer) {
    if (rc == CURLE_ABORTED_BY_CALLBACK && tTrustFailure.handle == curl && !tTrustFailure.reason.empty())
        return tTrustFailure.reason;
    return errorBuffer && *errorBuffer ? errorBuffer : curl_easy_strerror(static_cast<CURLcode>(rc));
}

}  // namespace pelox::host
