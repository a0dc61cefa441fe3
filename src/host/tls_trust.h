// Which certificate authorities a TLS server is checked against, and which
// name its certificate must carry. The SOAP calls (OpenSSL through gSOAP) and
// the HTTP transfers (libcurl) use these same functions, so that both roads
// trust the same CAs and match names the same way.
#pragma once

typedef struct ssl_ctx_st SSL_CTX;
typedef void CURL;

namespace pelox::host {

// Fills the context's trust store: OpenSSL's default CA file and directory
// (overridden, as everywhere with OpenSSL, by SSL_CERT_FILE and SSL_CERT_DIR),
// plus the PEM bundle named by PELOX_CA_BUNDLE. False when that bundle is
// named but cannot be read: a bad bundle fails closed.
bool loadTrustedCertificates(SSL_CTX* ctx);

// Makes every connection opened from ctx from now on accept only a
// certificate that names host exactly: an IP literal must be among the
// certificate's IP addresses; a host name must match one of its DNS names,
// where a wildcard may only stand for the whole leftmost label and the
// subject's common name is never used. False when host is empty or the
// setting fails.
bool requireCertificateName(SSL_CTX* ctx, const char* host);

// Sets a libcurl handle up to verify the peer as the SOAP calls do:
// verification on, the same CA file and directory, PELOX_CA_BUNDLE added to
// the store of each new TLS context, and the name of the URL's host checked
// by requireCertificateName (libcurl's own check follows as well).
void setCurlTrust(CURL* curl);

}  // namespace pelox::host
