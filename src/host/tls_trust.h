// Which certificate authorities a TLS server is checked against, and which
// name its certificate must carry. The SOAP calls (host/soap_tls.h) and the
// HTTP transfers (libcurl) use these rules on every platform, so that both
// roads trust the same CAs and match names the same way:
//
// - the chain must end at a CA of the system's trust store or of the PEM
//   bundle named by the environment variable PELOX_CA_BUNDLE (read at each
//   connection); a bundle that is named but cannot be read fails the
//   connection (a bad bundle fails closed);
// - a host name must equal one of the certificate's subjectAltName DNS
//   names, where "*" may stand only for the whole leftmost label; an IP
//   literal must be among its subjectAltName IP addresses; the subject's
//   common name is never used.
//
// Linux checks through OpenSSL (host/posix/openssl_trust.h); Windows checks
// the certificate Schannel received with the Win32 certificate API
// (host/win32/tls_trust.cpp).
#pragma once

#include <string>
#include <string_view>

typedef void CURL;

namespace pelox::host {

// Sets a libcurl handle up to verify an https peer by the rules above,
// before any byte of the request is sent.
void setCurlTrust(CURL* curl);

// The text of a failed transfer on a handle set up by setCurlTrust: the
// reason the certificate check refused the server when it was that check
// which stopped the transfer, else libcurl's error buffer (errorBuffer, may
// be empty) or its text for rc.
std::string curlFailureText(CURL* curl, int rc, const char* errorBuffer);

// Whether a subjectAltName DNS name admits host (a host name, not an IP
// literal), by the rule OpenSSL applies with X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS:
// letters compared without regard to case; a wildcard only as the whole
// leftmost label of a name with at least two more labels, standing for one
// non-empty label of letters, digits and "-"; a name that is not a valid
// wildcard name compared as it is. A host that begins with "." matches
// nothing.
bool certificateNameMatches(std::string_view pattern, std::string_view host);

// The host part of the URL a libcurl transfer goes to (without IPv6
// brackets); empty when it cannot be told.
std::string transferHost(CURL* curl);

}  // namespace pelox::host
