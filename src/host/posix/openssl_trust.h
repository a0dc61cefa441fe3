// The Linux road of the TLS trust rules of host/tls_trust.h, for OpenSSL
// contexts: the SOAP calls' (gSOAP's) and libcurl's.
#pragma once

typedef struct ssl_ctx_st SSL_CTX;

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

}  // namespace pelox::host
