// The Windows side of host/soap_tls.h: https connections of the SOAP calls
// carried over libcurl (Schannel) through the runtime's transport hooks.
//
// libcurl connects (CURLOPT_CONNECT_ONLY: TCP and the TLS handshake, no
// HTTP), with the host resolved on the calling thread and the context's
// connect time-out for both steps; the certificate is then checked by the
// rules of host/tls_trust.h (setCurlTrust) before anything is sent. From
// there the runtime writes and reads the connection as it would a socket of
// its own, through curl_easy_send and curl_easy_recv, waiting on the
// connection's socket with select: no thread is started. The runtime's HTTP framing,
// faults and error codes stay its own.
//
// Plain http connections take the same road without TLS (openSoapPlain).
// The hooks keep the runtime's own functions for any other connection;
// which road a connection took is known by its socket. They are installed
// with the plugin that holds that state, and the runtime puts its own hooks
// back when it removes its plugins (soap_done).
#include "host/soap_tls.h"

#include <winsock2.h>
#include <windows.h>

#include <curl/curl.h>

#include <mutex>
#include <new>
#include <string>

#include "host/curl_resolve.h"
#include "host/tarn_exception.h"
#include "host/tls_trust.h"

namespace pelox::host {

namespace {

constexpr char kPluginId[] = "pelox-https-over-curl";

// The state of one context: the runtime's own hooks and the https
// connection while one is open.
struct Transport {
    int (*plainClose)(struct soap*) = nullptr;
    int (*plainCloseSocket)(struct soap*, SOAP_SOCKET) = nullptr;
    int (*plainShutdownSocket)(struct soap*, SOAP_SOCKET, int) = nullptr;
    int (*plainSend)(struct soap*, const char*, size_t) = nullptr;
    size_t (*plainRecv)(struct soap*, char*, size_t) = nullptr;
    int (*plainPoll)(struct soap*) = nullptr;
    CURL* curl = nullptr;
    SOAP_SOCKET socket = SOAP_INVALID_SOCKET;
};

Transport* transportOf(struct soap* soap) { return static_cast<Transport*>(soap_lookup_plugin(soap, kPluginId)); }

bool isTls(const Transport* transport, SOAP_SOCKET socket) {
    return transport && transport->curl && soap_valid_socket(socket) && socket == transport->socket;
}

// Ends the https connection: libcurl sends the TLS close and closes the
// socket.
void closeTls(Transport& transport) {
    if (!transport.curl) return;
    curl_easy_cleanup(transport.curl);
    transport.curl = nullptr;
    transport.socket = SOAP_INVALID_SOCKET;
}

// Waits until the socket can be read (or written); timeout as the runtime
// counts it: > 0 seconds, < 0 microseconds, 0 without limit. 1 ready (or
// failed: the next read or write tells), 0 timed out, -1 select failed.
int waitFor(SOAP_SOCKET socket, bool write, int timeout) {
    fd_set ready, failed;
    FD_ZERO(&ready);
    FD_ZERO(&failed);
    FD_SET(socket, &ready);
    FD_SET(socket, &failed);
    timeval limit{};
    if (timeout > 0) {
        limit.tv_sec = timeout;
    } else if (timeout < 0) {
        limit.tv_sec = -(timeout / 1000000);
        limit.tv_usec = -(timeout % 1000000);
    }
    const int n = select(0, write ? nullptr : &ready, write ? &ready : nullptr, &failed, timeout ? &limit : nullptr);
    return n > 0 ? 1 : n == 0 ? 0 : -1;
}

int osError(CURL* curl) {
    long error = 0;
    curl_easy_getinfo(curl, CURLINFO_OS_ERRNO, &error);
    return static_cast<int>(error);
}

// ---------------------------------------------------------------- hooks

int sendHook(struct soap* soap, const char* data, size_t size) {
    Transport* transport = transportOf(soap);
    if (!isTls(transport, soap->socket)) return transport->plainSend(soap, data, size);
    soap->errnum = 0;
    while (size) {
        size_t sent = 0;
        const CURLcode rc = curl_easy_send(transport->curl, data, size, &sent);
        if (rc == CURLE_OK && sent) {
            data += sent;
            size -= sent;
            continue;
        }
        if (rc != CURLE_OK && rc != CURLE_AGAIN) {
            soap->errnum = osError(transport->curl);
            return SOAP_EOF;
        }
        const int ready = waitFor(transport->socket, true, soap->send_timeout);
        if (ready == 0) return SOAP_EOF;  // timed out, as the runtime's own send reports it
        if (ready < 0) {
            soap->errnum = WSAGetLastError();
            return SOAP_EOF;
        }
    }
    return SOAP_OK;
}

size_t recvHook(struct soap* soap, char* data, size_t size) {
    Transport* transport = transportOf(soap);
    if (!isTls(transport, soap->socket)) return transport->plainRecv(soap, data, size);
    soap->errnum = 0;
    for (;;) {
        // Schannel may hold decrypted data already: read before waiting.
        size_t got = 0;
        const CURLcode rc = curl_easy_recv(transport->curl, data, size, &got);
        if (rc == CURLE_OK) return got;  // 0: the server closed the connection
        if (rc != CURLE_AGAIN) {
            soap->errnum = osError(transport->curl);
            return 0;
        }
        const int ready = waitFor(transport->socket, false, soap->recv_timeout);
        if (ready == 0) return 0;  // timed out
        if (ready < 0) {
            soap->errnum = WSAGetLastError();
            return 0;
        }
    }
}

int closeHook(struct soap* soap) {
    Transport* transport = transportOf(soap);
    if (transport && transport->curl) {
        const bool ours = soap->socket == transport->socket;
        closeTls(*transport);
        if (ours) {
            soap->socket = SOAP_INVALID_SOCKET;
            return SOAP_OK;
        }
    }
    return transport->plainClose(soap);
}

int closeSocketHook(struct soap* soap, SOAP_SOCKET socket) {
    Transport* transport = transportOf(soap);
    if (isTls(transport, socket)) {
        closeTls(*transport);
        return SOAP_OK;
    }
    return transport->plainCloseSocket(soap, socket);
}

// A TLS connection is only ever closed whole (closeTls): half-closing its
// socket under Schannel would cut the TLS stream.
int shutdownSocketHook(struct soap* soap, SOAP_SOCKET socket, int how) {
    Transport* transport = transportOf(soap);
    if (isTls(transport, socket)) return SOAP_OK;
    return transport->plainShutdownSocket(soap, socket, how);
}

// Whether a kept-alive connection can take the next request: not when the
// server has closed it or sent something unasked.
int pollHook(struct soap* soap) {
    Transport* transport = transportOf(soap);
    if (!isTls(transport, soap->socket)) return transport->plainPoll(soap);
    return waitFor(transport->socket, false, -1) == 0 ? SOAP_OK : SOAP_EOF;
}

// ---------------------------------------------------------------- plugin

int copyPlugin(struct soap*, struct soap_plugin*, struct soap_plugin*) {
    return SOAP_EOM;  // a context with a connection of its own cannot be copied
}

void deletePlugin(struct soap*, struct soap_plugin* plugin) {
    auto* transport = static_cast<Transport*>(plugin->data);
    closeTls(*transport);
    delete transport;
}

int createPlugin(struct soap* soap, struct soap_plugin* plugin, void*) {
    auto* transport = new (std::nothrow) Transport;
    if (!transport) return SOAP_EOM;
    transport->plainClose = soap->fclose;
    transport->plainCloseSocket = soap->fclosesocket;
    transport->plainShutdownSocket = soap->fshutdownsocket;
    transport->plainSend = soap->fsend;
    transport->plainRecv = soap->frecv;
    transport->plainPoll = soap->fpoll;
    plugin->id = kPluginId;
    plugin->data = transport;
    plugin->fcopy = copyPlugin;
    plugin->fdelete = deletePlugin;
    soap->fclose = closeHook;
    soap->fclosesocket = closeSocketHook;
    soap->fshutdownsocket = shutdownSocketHook;
    soap->fsend = sendHook;
    soap->frecv = recvHook;
    soap->fpoll = pollHook;
    return SOAP_OK;
}

// ---------------------------------------------------------------- connect

// The text the runtime gives a socket error on Windows (FormatMessage).
std::string systemText(int error) {
    char text[256] = {0};
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, static_cast<DWORD>(error),
                             MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), text, sizeof text, nullptr);
    while (n && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == ' ')) text[--n] = '\0';
    return text;
}

// text with the characters XML reserves written as references.
std::string xmlText(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '&')
            out += "&amp;";
        else if (c == '<')
            out += "&lt;";
        else if (c == '>')
            out += "&gt;";
        else
            out.push_back(c);
    }
    return out;
}

// A failed connect, reported as the runtime reports its own: no TCP
// connection (refused, unreachable, name not found) or no connection within
// the time-out (the TCP connect or the handshake, as the runtime with
// OpenSSL counts both) is SOAP_TCP_ERROR, which the retry rule retries; a
// failed handshake or a refused certificate is SOAP_SSL_ERROR.
SOAP_SOCKET connectFailed(struct soap* soap, CURL* curl, CURLcode rc, const std::string& text) {
    const int error = osError(curl);
    soap->errnum = error;
    // The runtime keeps the fault texts by pointer: copies go into the
    // context's memory.
    switch (rc) {
    case CURLE_COULDNT_RESOLVE_HOST:
        soap_set_receiver_error(soap, soap_strdup(soap, text.c_str()), "getaddrinfo failed in tcp_connect()", SOAP_TCP_ERROR);
        break;
    case CURLE_COULDNT_CONNECT:
        soap_set_receiver_error(soap, soap_strdup(soap, (error ? systemText(error) : text).c_str()),
                                "connect failed in tcp_connect()", SOAP_TCP_ERROR);
        break;
    case CURLE_OPERATION_TIMEDOUT:
        soap_set_receiver_error(soap, "Timeout", "connect failed in tcp_connect()", SOAP_TCP_ERROR);
        break;
    case CURLE_OUT_OF_MEMORY:
        soap->error = SOAP_EOM;
        break;
    case CURLE_ABORTED_BY_CALLBACK:
        // The certificate check of setCurlTrust refused the server: told as
        // the Linux road tells its own checks ("SSL error" and the reason
        // as the detail, which the runtime keeps as XML).
        soap_set_sender_error(soap, "SSL error", soap_strdup(soap, xmlText(text).c_str()), SOAP_SSL_ERROR);
        break;
    default:
        soap_set_sender_error(soap, soap_strdup(soap, text.c_str()), "SSL/TLS handshake failed", SOAP_SSL_ERROR);
        break;
    }
    curl_easy_cleanup(curl);
    return SOAP_INVALID_SOCKET;
}

void globalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

}  // namespace

void prepareSoapTls(struct soap* soap) {
    globalInit();
    if (soap_register_plugin_arg(soap, createPlugin, nullptr) != SOAP_OK)
        throw tarn::MemoryException(1, sizeof(Transport));
}

namespace {

// Connects to host:port over libcurl: TCP only for http, TCP and the
// verified TLS handshake for https.
SOAP_SOCKET openOverCurl(struct soap* soap, const char* host, int port, bool tls) {
    Transport* transport = transportOf(soap);
    if (!transport) {
        soap_set_sender_error(soap, "SSL/TLS error", "the context was not prepared for libcurl connections",
                              tls ? SOAP_SSL_ERROR : SOAP_TCP_ERROR);
        return SOAP_INVALID_SOCKET;
    }
    closeTls(*transport);
    soap->errnum = 0;
    soap->errmode = 0;
    CURL* curl = curl_easy_init();
    if (!curl) {
        soap->error = SOAP_EOM;
        return SOAP_INVALID_SOCKET;
    }
    const std::string name = host ? host : "";
    const bool ipv6 = name.find(':') != std::string::npos;
    const std::string url =
        std::string(tls ? "https://" : "http://") + (ipv6 ? "[" + name + "]" : name) + ":" + std::to_string(port) + "/";
    char errorText[CURL_ERROR_SIZE] = {0};
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_CONNECT_ONLY, 1L);
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, tls ? "https" : "http");
    // Straight to the server, as the runtime's own connections go: no proxy
    // from the environment.
    curl_easy_setopt(curl, CURLOPT_PROXY, "");
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorText);
    // The connect time-out covers the TCP connect and the handshake (0
    // leaves libcurl's default of 300 seconds).
    if (soap->connect_timeout > 0)
        curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, static_cast<long>(soap->connect_timeout));
    else if (soap->connect_timeout < 0)
        curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(-soap->connect_timeout / 1000 + 1));
    // The certificate is checked by the rules of host/tls_trust.h once the
    // handshake is done, before curl_easy_perform returns.
    if (tls) setCurlTrust(curl);
    const CallerThreadResolve resolved(curl, url, CallerThreadResolve::Proxy::None);
    if (!resolved.ok()) return connectFailed(soap, curl, CURLE_COULDNT_RESOLVE_HOST, resolved.error());
    const CURLcode rc = curl_easy_perform(curl);
    if (rc != CURLE_OK) return connectFailed(soap, curl, rc, curlFailureText(curl, rc, errorText));
    curl_socket_t socket = CURL_SOCKET_BAD;
    if (curl_easy_getinfo(curl, CURLINFO_ACTIVESOCKET, &socket) != CURLE_OK || socket == CURL_SOCKET_BAD)
        return connectFailed(soap, curl, CURLE_SEND_ERROR, "the connection was lost after the handshake");
    // The buffer goes with this frame; later failures are told by their codes.
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, nullptr);
    transport->curl = curl;
    transport->socket = static_cast<SOAP_SOCKET>(socket);
    return transport->socket;
}

}  // namespace

SOAP_SOCKET openSoapTls(struct soap* soap, const char*, const char* host, int port, SoapOpenFunction) {
    return openOverCurl(soap, host, port, true);
}

// Plain http goes over libcurl too: the runtime's own connect waits for the
// socket to become writable, and Windows reports a refused connect only as
// an exception on the socket, so every refused connect would wait out the
// whole connect time-out and be told as "Timeout". libcurl reports it at once
// as what it is.
SOAP_SOCKET openSoapPlain(struct soap* soap, const char*, const char* host, int port, SoapOpenFunction) {
    return openOverCurl(soap, host, port, false);
}

}  // namespace pelox::host
