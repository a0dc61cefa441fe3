// TLS for the SOAP calls: how a call context reaches an https endpoint and
// checks its certificate by the rules of host/tls_trust.h.
//
// Linux: gSOAP's own OpenSSL road; the context gets an OpenSSL client
// context whose trust store and name check follow host/tls_trust.h, and
// gSOAP's looser name matcher is switched off.
// Windows: gSOAP's runtime has no TLS there. The context's transport hooks
// (open, send, receive, close, poll) carry https connections over libcurl
// (Schannel), which connects, resolves the host on the calling thread and
// makes the handshake; the certificate is then checked before any byte of
// the request is sent. gSOAP keeps its HTTP framing, faults and error codes.
// Plain http connections go over libcurl as well, without TLS: gSOAP's own
// connect misses a refused connection on Windows until its time-out.
//
// On both, a connection that cannot be made fails with SOAP_TCP_ERROR (the
// retry rule's "no connection", including the connect time-out), and a
// failed handshake or certificate check with SOAP_SSL_ERROR.
#pragma once

#include "stdsoap2.h"

namespace pelox::host {

// The runtime's own connect function (soap->fopen as a new context has it).
using SoapOpenFunction = SOAP_SOCKET (*)(struct soap*, const char* endpoint, const char* host, int port);

// Sets a new context up for https endpoints; call once, right after it is
// made. Throws tarn::MemoryException when the context cannot take it.
void prepareSoapTls(struct soap* soap);

// Opens a verified TLS connection to host:port for an https endpoint, in
// the context's connect time-out (soap->connect_timeout). plainOpen is the
// runtime's own TCP connect. Returns the socket, or SOAP_INVALID_SOCKET with
// soap->error and the runtime's fault set.
SOAP_SOCKET openSoapTls(struct soap* soap, const char* endpoint, const char* host, int port, SoapOpenFunction plainOpen);

// Opens a plain TCP connection for an http endpoint, in the connect
// time-out: plainOpen on Linux, libcurl on Windows. Returns the socket, or
// SOAP_INVALID_SOCKET with soap->error (SOAP_TCP_ERROR when no connection
// could be made) and the runtime's fault set.
SOAP_SOCKET openSoapPlain(struct soap* soap, const char* endpoint, const char* host, int port, SoapOpenFunction plainOpen);

}  // namespace pelox::host
