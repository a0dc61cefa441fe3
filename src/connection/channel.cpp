// The service channel: call contexts, the retry rule, fault reporting, the
// server URL, the server configuration and the session's endpoints.
#include "peloxImp.h"
#include "connection/channel.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <csignal>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <thread>

#include <pthread.h>
#include <strings.h>

#include "frame/settings.h"
#include "host/qor_keys.h"
#include "host/registry.h"
#include "host/sigpipe.h"
#include "host/tarn_context.h"
#include "host/tarn_util.h"
#include "host/soap_tls.h"
#include "host/trace.h"
#include "soapH.h"
#include "wire/convert.h"
#include "wire/namespaces.h"

namespace pelox {

namespace {

// ---------------------------------------------------------------- connect time-out

constexpr int kDefaultConnectTimeoutSeconds = 2;

// The process-wide lock of the one-time time-out read; constructed at load.
tarn::AutoCriticalSection gTimeoutSection;
std::atomic<bool> gTimeoutRead{false};
std::atomic<int> gConnectTimeout{kDefaultConnectTimeoutSeconds};

int readConnectTimeoutFromRegistry() {
    try {
        host::vcRegistry registry;
        uint32_t seconds = 0;
        if (registry.Connect(host::RegistryRoot::CurrentUser) && registry.Open(u"SOFTWARE\\Qorvane", host::kRegistryAllAccess) &&
            registry.GetValue(u"SoapConnectTimeOut", seconds))
            return seconds > static_cast<uint32_t>(INT_MAX) ? INT_MAX : static_cast<int>(seconds);
    } catch (...) {
        // An unreadable store counts as a missing value.
    }
    return kDefaultConnectTimeoutSeconds;
}

// ---------------------------------------------------------------- wire trace

// While tracing (host/trace.h), one attempt of a call has the context's send
// and receive functions wrapped, so that the request and the reply are
// recorded as they go over the connection; the context's own functions are
// put back afterwards.
struct TraceHooks {
    host::TraceExchange* exchange;
    int (*send)(struct soap*, const char*, size_t);
    size_t (*recv)(struct soap*, char*, size_t);
    void* user;
};

int traceSend(struct soap* soap, const char* data, size_t size) {
    auto* hooks = static_cast<TraceHooks*>(soap->user);
    hooks->exchange->sent(data, size);
    soap->user = hooks->user;
    const int result = hooks->send(soap, data, size);
    soap->user = hooks;
    return result;
}

size_t traceRecv(struct soap* soap, char* data, size_t size) {
    auto* hooks = static_cast<TraceHooks*>(soap->user);
    soap->user = hooks->user;
    const size_t got = hooks->recv(soap, data, size);
    soap->user = hooks;
    hooks->exchange->received(data, got);
    return got;
}

class TracedAttempt {
public:
    explicit TracedAttempt(struct soap* soap) : exchange_("SOAP"), soap_(soap) {
        if (!exchange_.active()) return;
        hooks_ = {&exchange_, soap->fsend, soap->frecv, soap->user};
        soap->user = &hooks_;
        soap->fsend = traceSend;
        soap->frecv = traceRecv;
    }
    ~TracedAttempt() {
        if (!exchange_.active()) return;
        soap_->fsend = hooks_.send;
        soap_->frecv = hooks_.recv;
        soap_->user = hooks_.user;
    }
    TracedAttempt(const TracedAttempt&) = delete;
    TracedAttempt& operator=(const TracedAttempt&) = delete;

    void finish(int error) {
        if (!exchange_.active()) return;
        if (error == SOAP_OK)
            exchange_.finish({});
        else
            exchange_.finish((error == SOAP_TCP_ERROR ? "connection failed, SOAP error " : "SOAP error ") +
                             std::to_string(error));
    }

private:
    host::TraceExchange exchange_;
    struct soap* soap_;
    TraceHooks hooks_{};
};

// ---------------------------------------------------------------- TLS

using OpenFunction = host::SoapOpenFunction;
std::atomic<OpenFunction> gPlainOpen{nullptr};

// The SIGPIPE guard of the call running on this thread (see callWithRetry):
// taken when the call opens a TLS connection.
thread_local std::optional<host::SigpipeBlocker>* tCallSigpipeGuard = nullptr;

// Opens the connection; an https endpoint gets a TLS connection whose
// server certificate is verified as the HTTP transfers verify theirs, on
// every connection (host/soap_tls.h, host/tls_trust.h). There is no way to
// switch verification off.
SOAP_SOCKET openConnection(struct soap* soap, const char* endpoint, const char* host, int port) {
    if (soap->fsend == traceSend && endpoint) static_cast<TraceHooks*>(soap->user)->exchange->setUrl(endpoint);
    const bool tls = endpoint && std::strncmp(endpoint, "https:", 6) == 0;
    if (tls && tCallSigpipeGuard && !*tCallSigpipeGuard) tCallSigpipeGuard->emplace();
    if (tls) return host::openSoapTls(soap, endpoint, host, port, gPlainOpen.load());
    return host::openSoapPlain(soap, endpoint, host, port, gPlainOpen.load());
}

// ---------------------------------------------------------------- request headers

using PostHeaderFunction = int (*)(struct soap*, const char*, const char*);
std::atomic<PostHeaderFunction> gPlainPostHeader{nullptr};

// The runtime, built with compression support, announces "Accept-Encoding:
// gzip,deflate" on every request. The library asks for no compression, so
// the header is left out; a reply that comes compressed all the same is still
// decoded. Every other header passes unchanged.
int postHeader(struct soap* soap, const char* key, const char* value) {
    if (key && strcasecmp(key, "Accept-Encoding") == 0) return SOAP_OK;
    return gPlainPostHeader.load()(soap, key, value);
}

// ---------------------------------------------------------------- retry pause

std::mutex gSleeperMutex;
std::function<void(int)> gSleeper;

void pauseFor(int milliseconds) {
    std::function<void(int)> sleeper;
    {
        std::lock_guard<std::mutex> lock(gSleeperMutex);
        sleeper = gSleeper;
    }
    if (sleeper)
        sleeper(milliseconds);
    else
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

// ---------------------------------------------------------------- SIGPIPE

// Writing to a connection the server has closed raises SIGPIPE, which ends a
// process that has not chosen to ignore it. Plain sockets are written with
// MSG_NOSIGNAL; TLS writes go through OpenSSL, so from the moment a call
// opens a TLS connection until it returns, SIGPIPE is blocked for the calling
// thread (host/sigpipe.h). Plain calls leave the signal mask alone (four
// system calls fewer per call).
class CallSigpipeScope {
public:
    CallSigpipeScope() : outer_(tCallSigpipeGuard) { tCallSigpipeGuard = &guard_; }
    ~CallSigpipeScope() { tCallSigpipeGuard = outer_; }
    CallSigpipeScope(const CallSigpipeScope&) = delete;
    CallSigpipeScope& operator=(const CallSigpipeScope&) = delete;

private:
    std::optional<host::SigpipeBlocker> guard_;  // released after the pointer is restored
    std::optional<host::SigpipeBlocker>* outer_;
};

// ---------------------------------------------------------------- faults

// The character content of a fault detail. The runtime keeps the detail's
// content as literal XML; a server may send plain text or wrap it in
// elements, so markup is dropped and the predefined entities and character
// references are decoded.
std::string detailText(const char* xml) {
    std::string out;
    for (const char* p = xml; *p;) {
        if (*p == '<') {
            if (std::strncmp(p, "<![CDATA[", 9) == 0) {
                const char* end = std::strstr(p + 9, "]]>");
                if (!end) {
                    out.append(p + 9);
                    break;
                }
                out.append(p + 9, end);
                p = end + 3;
                continue;
            }
            const char* end = std::strchr(p, '>');
            if (!end) break;
            p = end + 1;
            continue;
        }
        if (*p == '&') {
            const char* end = std::strchr(p, ';');
            if (end && end - p <= 10) {
                std::string entity(p + 1, end);
                static const std::pair<const char*, char> kNamed[] = {
                    {"lt", '<'}, {"gt", '>'}, {"amp", '&'}, {"quot", '"'}, {"apos", '\''}};
                bool done = false;
                for (const auto& [name, c] : kNamed)
                    if (entity == name) {
                        out.push_back(c);
                        done = true;
                    }
                if (!done && entity.size() > 1 && entity[0] == '#') {
                    unsigned long code = entity[1] == 'x' || entity[1] == 'X' ? std::strtoul(entity.c_str() + 2, nullptr, 16)
                                                                              : std::strtoul(entity.c_str() + 1, nullptr, 10);
                    std::u16string wide;
                    if (code >= 0x10000 && code <= 0x10FFFF) {
                        wide.push_back(static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10)));
                        wide.push_back(static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF)));
                    } else {
                        wide.push_back(code && code < 0x10000 ? static_cast<char16_t>(code) : u'\uFFFD');
                    }
                    out += tarn::util::ConvertStringtoUTF8(wide);
                    done = true;
                }
                if (done) {
                    p = end + 1;
                    continue;
                }
            }
        }
        out.push_back(*p++);
    }
    return out;
}

const char* faultCode(const SOAP_ENV__Fault* fault) {
    if (fault->faultcode) return fault->faultcode;
    return fault->SOAP_ENV__Code ? fault->SOAP_ENV__Code->SOAP_ENV__Value : nullptr;
}

const char* faultString(const SOAP_ENV__Fault* fault) {
    if (fault->faultstring) return fault->faultstring;
    return fault->SOAP_ENV__Reason ? fault->SOAP_ENV__Reason->SOAP_ENV__Text : nullptr;
}

const char* faultDetail(const SOAP_ENV__Fault* fault) {
    if (fault->detail && fault->detail->__any) return fault->detail->__any;
    return fault->SOAP_ENV__Detail ? fault->SOAP_ENV__Detail->__any : nullptr;
}

// The runtime reports every fault it receives as SOAP_FAULT. The retry rule
// tells a server fault (code 2: raised as SoapRequestException) from a
// client fault (code 1) by the fault code, whatever the SOAP version.
int classifyError(const struct soap* soap, int error) {
    if (error != SOAP_FAULT || !soap->fault) return error;
    const char* code = faultCode(soap->fault);
    if (!code) return error;
    const char* colon = std::strrchr(code, ':');
    const char* local = colon ? colon + 1 : code;
    if (std::strcmp(local, "Server") == 0 || std::strcmp(local, "Receiver") == 0) return SOAP_SVR_FAULT;
    if (std::strcmp(local, "Client") == 0 || std::strcmp(local, "Sender") == 0) return SOAP_CLI_FAULT;
    return error;
}

// Session IDs ("S", 32 hexadecimal digits, optionally "." and the base64
// credentials body) in a server's fault text are replaced by "***", as the
// wire trace and the HTTP roads mask them: error records reach logs and
// users, and a session ID opens the session to whoever reads it.
std::string maskSessionIds(const std::string& text) {
    auto isHex = [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; };
    auto isWord = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; };
    auto isBase64 = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '/'; };
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        size_t end = i + 33;
        const bool id = text[i] == 'S' && (i == 0 || !isWord(text[i - 1])) && end <= text.size() &&
                        std::all_of(text.begin() + i + 1, text.begin() + end, isHex) &&
                        (end == text.size() || !isWord(text[end]) || text[end] == '.');
        if (!id) {
            out.push_back(text[i++]);
            continue;
        }
        if (end < text.size() && text[end] == '.' && end + 1 < text.size() && isBase64(text[end + 1])) {
            ++end;
            while (end < text.size() && isBase64(text[end])) ++end;
            while (end < text.size() && text[end] == '=') ++end;
        }
        out += "***";
        i = end;
    }
    return out;
}

bool isLetterA_Z(char16_t c) { return c >= u'a' && c <= u'z'; }

std::u16string upperNameA_Z(std::u16string name) {
    for (char16_t& c : name)
        if (isLetterA_Z(c)) c = static_cast<char16_t>(c - u'a' + u'A');
    return name;
}

}  // namespace

// ---------------------------------------------------------------- SoapStruct

int connectTimeoutSeconds() {
    if (!gTimeoutRead.load(std::memory_order_acquire)) {
        gTimeoutSection.lockImpl(kLockTimeoutMs, true);
        try {
            if (!gTimeoutRead.load(std::memory_order_relaxed)) {
                gConnectTimeout.store(readConnectTimeoutFromRegistry(), std::memory_order_relaxed);
                gTimeoutRead.store(true, std::memory_order_release);
            }
        } catch (...) {
            gTimeoutSection.unlockImpl();
            throw;
        }
        gTimeoutSection.unlockImpl();
    }
    return gConnectTimeout.load(std::memory_order_relaxed);
}

SoapStruct::SoapStruct() : soap_(nullptr) {
    const int timeout = connectTimeoutSeconds();
    // Strings are UTF-8 both ways. Requests are written as plain trees (no
    // id/href multi-references, even if one text is used twice); replies
    // may still use them.
    soap_ = soap_new2(SOAP_IO_DEFAULT | SOAP_C_UTFSTRING, SOAP_IO_DEFAULT | SOAP_C_UTFSTRING | SOAP_XML_TREE);
    if (!soap_) throw tarn::MemoryException(1, sizeof(struct soap));
    try {
        host::prepareSoapTls(soap_);
    } catch (...) {
        soap_free(soap_);
        throw;
    }
    wire::installNamespaces(soap_);
    soap_->connect_timeout = timeout;
    soap_->send_timeout = 0;
    soap_->socket_flags = host::kSendNoSigpipe;
    soap_->recv_timeout = 0;
    // An endpoint without a host makes the runtime exchange the message over
    // the process's standard output and input instead of a connection (the
    // request, credentials included, printed; the reply awaited on stdin).
    // Without descriptors such a call fails as a transport error.
    soap_->sendfd = -1;
    soap_->recvfd = -1;
    OpenFunction expected = nullptr;
    gPlainOpen.compare_exchange_strong(expected, soap_->fopen);
    soap_->fopen = openConnection;
    PostHeaderFunction plainPostHeader = nullptr;
    gPlainPostHeader.compare_exchange_strong(plainPostHeader, soap_->fposthdr);
    soap_->fposthdr = postHeader;
    // Arrays of a reply may hold any number of items (the runtime's default
    // refuses more than 100 000). Memory stays bounded by the size of the
    // reply: an array is only allocated ahead for a size it announces up to
    // 100 000 (wire/generated_hooks.h), larger ones grow item by item.
    soap_->maxoccurs = static_cast<size_t>(INT_MAX) - 1;
}

SoapStruct::~SoapStruct() {
    if (!soap_) return;
    soap_destroy(soap_);
    soap_end(soap_);
    soap_free(soap_);
}

void SoapStruct::releaseReply() {
    soap_destroy(soap_);
    soap_end(soap_);
}

// ---------------------------------------------------------------- faults

SoapRequestException::SoapRequestException(const char* text, const struct soap* failedContext) {
    const int error = failedContext ? failedContext->error : 0;
    const SOAP_ENV__Fault* fault = failedContext ? failedContext->fault : nullptr;
    // gSOAP fills a fault of its own for failures where no reply came (a
    // refused connection, a time-out, a broken reply); only a fault the
    // server sent is reported with fault code and fault string.
    const bool serverSentFault = error == SOAP_FAULT || error == SOAP_SVR_FAULT || error == SOAP_CLI_FAULT;
    if (fault && !serverSentFault) {
        appendMessage("SOAP Error code: %d", error);
        const char* string = faultString(fault);
        const char* detail = faultDetail(fault);
        if (string && *string && detail && *detail)
            appendMessage("%s (%s)", maskSessionIds(string), maskSessionIds(detailText(detail)));
        else if (string && *string)
            appendMessage("%s", maskSessionIds(string));
    } else if (fault) {
        const char* detail = faultDetail(fault);
        if (detail && *detail) {
            std::u16string wide = tarn::util::ConvertUTF8toString(maskSessionIds(detailText(detail)));
            if (!wide.empty())
                for (const std::u16string& piece : tarn::util::splitString(wide, qor::QOR_Soap_ErrorDelimiter))
                    appendMessage(u"%ls", piece);
        }
        const char* code = faultCode(fault);
        appendMessage("SOAP Faultcode: %s. Error code: %d", code ? code : "", error);
        if (const char* string = faultString(fault)) appendMessage("SOAP Faultstring: %s", maskSessionIds(string));
    } else {
        appendMessage("SOAP Error code: %d", error);
    }
    if (text) appendMessage("%s", text);
}

// ---------------------------------------------------------------- retry rule

int callWithRetry(SoapStruct& ctx, const char* failureText, const std::function<int(struct soap*)>& call, RetryPause pause) {
    uint32_t retries = 0;
    for (;;) {
        struct soap* soap = ctx.get();
        // A SOAP 1.2 reply of an earlier call on this context switches its
        // version; every request goes out as SOAP 1.1.
        wire::installNamespaces(soap);
        soap->error = SOAP_OK;
        // A fault of an earlier call on this context must not be reported
        // with this one (its memory stays with the context).
        soap->fault = nullptr;
        int result;
        {
            CallSigpipeScope noSigpipe;
            TracedAttempt traced(soap);
            result = call(soap);
            traced.finish(soap->error != SOAP_OK ? soap->error : result);
        }
        if (result == SOAP_OK && soap->error == SOAP_OK) return 0;
        const int error = classifyError(soap, soap->error != SOAP_OK ? soap->error : result);
        soap->error = error;
        const uint32_t retryCount = std::max(settings().retryCount.load(), kMinRetryCount);
        if (error == SOAP_TCP_ERROR && retries < retryCount) {
            const int pauseMs =
                pause == RetryPause::Fixed200ms ? 200 : std::max(settings().retryPauseMs.load(), kMinRetryPauseMs);
            pauseFor(pauseMs);
            ++retries;
            continue;
        }
        if (settings().throwOnFailure.load() || error == SOAP_SVR_FAULT) throw SoapRequestException(failureText, soap);
        return error == SOAP_TCP_ERROR ? PELOX_E_CONNECTION : PELOX_E_SERVICE_CALL;
    }
}

void setRetrySleeperForTesting(std::function<void(int milliseconds)> sleeper) {
    std::lock_guard<std::mutex> lock(gSleeperMutex);
    gSleeper = std::move(sleeper);
}

// ---------------------------------------------------------------- server URL

void normaliseServerUrl(std::string& url) {
    if (url.find("http") != 0) url.insert(0, "https://");
    size_t slash = url.find('/', 8);
    if (slash == std::string::npos) slash = url.size();
    const size_t colon = url.find(':', 8);
    if (colon == std::string::npos || colon > slash) {
        const bool secure = url.size() > 4 && url[4] == 's';
        const std::string port = tarn::util::ConvertStringtoUTF8(secure ? qor::QOR_DefaultSslPort : qor::QOR_DefaultHttpPort);
        url.insert(slash, ":" + port);
    }
    slash = url.find('/', 8);
    if (slash == std::string::npos) {
        url += '/';
        slash = url.size() - 1;
    }
    if (slash == url.size() - 1) url += "qorvane/locator";
}

// ---------------------------------------------------------------- configuration

ConfigurationMap::ConfigurationMap() : map_(std::make_unique<Map>(31)) {}
ConfigurationMap::~ConfigurationMap() = default;
ConfigurationMap::ConfigurationMap(ConfigurationMap&&) noexcept = default;
ConfigurationMap& ConfigurationMap::operator=(ConfigurationMap&&) noexcept = default;

const std::vector<std::u16string>* ConfigurationMap::values(std::u16string_view name) const {
    return map_ ? map_->find(name) : nullptr;
}

const std::u16string* ConfigurationMap::first(std::u16string_view name) const {
    const auto* list = values(name);
    return list && !list->empty() ? &list->front() : nullptr;
}

void ConfigurationMap::set(std::u16string name, std::vector<std::u16string> values) {
    if (!map_) map_ = std::make_unique<Map>(31);
    name = upperNameA_Z(std::move(name));
    if (values.empty()) values.emplace_back();
    map_->put(name, std::move(values));
}

std::vector<std::pair<std::u16string, std::vector<std::u16string>>> ConfigurationMap::entries() const {
    std::vector<std::pair<std::u16string, std::vector<std::u16string>>> out;
    if (map_)
        map_->forEach([&](const WString& name, const std::vector<std::u16string>& values) {
            out.emplace_back(std::u16string(name.view()), values);
        });
    return out;
}

int fetchServerConfiguration(const std::string& serverUrl, ConfigurationMap& out) {
    if (serverUrl.empty()) return PELOX_E_NULL_ARGUMENT;
    SoapStruct ctx;
    qor__GetConfigurationSettingsResponse response;
    const int rc = callWithRetry(ctx, "soap call to GetConfigurationSettings() failed", [&](struct soap* soap) {
        return soap_call_qor__GetConfigurationSettings(soap, serverUrl.c_str(), nullptr, response);
    });
    if (rc != 0) return rc;
    ConfigurationMap map;
    for (auto& [name, values] : wire::fromArray(response.settings)) map.set(std::move(name), std::move(values));
    out = std::move(map);
    return 0;
}

int setUpEndpoints(SessionInfo& session) {
    ConfigurationMap config;
    const int rc = fetchServerConfiguration(session.serverUrl, config);
    if (rc != 0) return rc;

    auto utf8 = [&](const char16_t* key) {
        const std::u16string* value = config.first(key);
        return value ? tarn::util::ConvertStringtoUTF8(*value) : std::string();
    };
    auto wide = [&](const char16_t* key) {
        const std::u16string* value = config.first(key);
        return value ? *value : std::u16string();
    };

    if (!config.contains(qor::QOR_FILEENDPOINT)) throw tarn::Exception("Missing SOAP FileEndPoint");
    session.fileEndpoint = utf8(qor::QOR_FILEENDPOINT);
    session.xmldbEndpoint = utf8(qor::QOR_XMLDBENDPOINT);
    session.runnerEndpoint = utf8(qor::QOR_RUNNERENDPOINT);
    session.uploadEndpoint = wide(qor::QOR_UPLOADENDPOINT);
    session.downloadEndpoint = wide(qor::QOR_DOWNLOADENDPOINT);
    // Server paths keep the platform separator, which is "/" here (a Windows
    // build turns every "/" into a backslash).
    session.serverLocalRoot = wide(qor::QOR_LOCALROOT);
    session.serverJobsDirectory = wide(qor::QOR_JobsDirectory);
    const std::u16string* cluster = config.first(qor::QOR_CLUSTERMETHOD);
    session.cluster = !cluster || !cluster->empty();

    const std::u16string* version = config.first(qor::QOR_SERVERVERSION);
    if (!version) throw tarn::Exception("Missing %ls", qor::QOR_SERVERVERSION);
    const int v = tarn::util::stringToInteger(version->c_str(), nullptr, true);

    if (const std::u16string* root = config.first(qor::QOR_ROOT)) session.serverRoot = *root;
    const std::u16string* blocking = config.first(qor::QOR_BLOCKINGJOBTIMEOUT);
    session.blockingJobTimeoutMs = blocking ? static_cast<int64_t>(tarn::util::stringToInteger(blocking->c_str(), nullptr, true)) * 1000 : 0;

    session.serverIs7OrLater = v >= 7;
    session.serverIsBefore7 = v < 7;
    session.serverIs6OrLater = v >= 6;
    session.serverIs8OrLaterUpload = v >= 8;
    // The server decides where its services are; a session that began over
    // https and goes on in clear is used as configured, but not silently.
    warnOfPlainEndpoints(session.serverUrl, {{"file", session.fileEndpoint},
                                             {"XMLDB", session.xmldbEndpoint},
                                             {"runner", session.runnerEndpoint},
                                             {"upload", tarn::util::ConvertStringtoUTF8(session.uploadEndpoint)},
                                             {"download", tarn::util::ConvertStringtoUTF8(session.downloadEndpoint)}});
    return 0;
}

void warnOfPlainEndpoints(const std::string& serverUrl, const std::vector<std::pair<const char*, std::string>>& endpoints) {
    auto scheme = [](const std::string& url, const char* name) {
        const size_t n = std::strlen(name);
        if (url.size() <= n || url[n] != ':') return false;
        for (size_t i = 0; i < n; ++i)
            if (std::tolower(static_cast<unsigned char>(url[i])) != name[i]) return false;
        return true;
    };
    if (!scheme(serverUrl, "https")) return;
    std::string plain;
    for (const auto& [name, url] : endpoints)
        if (scheme(url, "http")) plain += std::string(plain.empty() ? "" : ", ") + name + " " + url;
    if (plain.empty()) return;
    const std::string text = "The server at " + serverUrl +
                             " was reached over https, but its configuration names unencrypted http endpoints (" + plain +
                             "): the session ID and the data sent to them travel in clear";
    tarn::Exception::warn("%s", text);
    host::traceNote(text);
}

int runnerEndpoint(const SessionInfo& session, std::string& endpoint) {
    if (!session.cluster && !session.runnerEndpoint.empty()) {
        endpoint = session.runnerEndpoint;
        return 0;
    }
    SoapStruct ctx;
    qor__GetEndpointResponse response;
    char* name = wire::utf8(ctx.get(), std::u16string_view(qor::QOR_RUNNERENDPOINT));
    const int rc = callWithRetry(ctx, "soap call to GetEndpoint() failed", [&](struct soap* soap) {
        return soap_call_qor__GetEndpoint(soap, session.serverUrl.c_str(), nullptr, name, response);
    });
    if (rc != 0) return rc;
    if (!response.url || !*response.url) throw tarn::Exception("Runner endpoint could not be found");
    endpoint = response.url;
    return 0;
}

}  // namespace pelox
