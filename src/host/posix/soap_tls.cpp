// The Linux side of host/soap_tls.h: gSOAP's OpenSSL road with the trust
// rules of host/tls_trust.h.
#include "host/soap_tls.h"

#include <mutex>

#include "host/posix/openssl_trust.h"

namespace pelox::host {

void prepareSoapTls(struct soap*) {
    // The runtime's own OpenSSL set-up is not thread-safe: run it once.
    static std::once_flag once;
    std::call_once(once, [] { soap_ssl_init(); });
}

// The server certificate is verified against the same CAs as the HTTP
// transfers and must name the endpoint's host exactly. OpenSSL makes that
// check during the handshake, for every connection; the runtime's own name
// matcher, which is looser (it lets "-" and "*" in a certificate name stand
// for other characters and falls back to the subject), is switched off.
// There is no way to switch verification off.
SOAP_SOCKET openSoapTls(struct soap* soap, const char* endpoint, const char* host, int port, SoapOpenFunction plainOpen) {
    if (!soap->ctx) {
        constexpr unsigned short flags = SOAP_SSL_DEFAULT | SOAP_SSL_SKIP_HOST_CHECK | SOAP_SSL_NO_DEFAULT_CA_PATH;
        if (soap_ssl_client_context(soap, flags, nullptr, nullptr, nullptr, nullptr, nullptr) != SOAP_OK)
            return SOAP_INVALID_SOCKET;
        if (!loadTrustedCertificates(soap->ctx)) {
            soap_set_sender_error(soap, "SSL error", "the CA bundle named by PELOX_CA_BUNDLE could not be read",
                                  SOAP_SSL_ERROR);
            return SOAP_INVALID_SOCKET;
        }
    }
    if (!requireCertificateName(soap->ctx, host)) {
        soap_set_sender_error(soap, "SSL error", "the endpoint's host name cannot be checked", SOAP_SSL_ERROR);
        return SOAP_INVALID_SOCKET;
    }
    return plainOpen(soap, endpoint, host, port);
}

SOAP_SOCKET openSoapPlain(struct soap* soap, const char* endpoint, const char* host, int port, SoapOpenFunction plainOpen) {
    return plainOpen(soap, endpoint, host, port);
}

}  // namespace pelox::host
