// The service channel: one SOAP call context per operation, the connection
// set-up, the retry rule and the way a failed call becomes a status code or
// a SoapRequestException. Every service operation goes through here.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "connection/session_info.h"
#include "frame/containers/hash_map.h"
#include "host/tarn_exception.h"

struct soap;

namespace pelox {

// The holder of one SOAP call context: SOAP 1.1 with the service namespace
// table, a fresh connection per call, Content-Length framing, no compression,
// the process-wide connect time-out, TLS for https endpoints. Destroying it
// frees every record that replies brought.
class SoapStruct {
public:
    SoapStruct();
    ~SoapStruct();
    SoapStruct(const SoapStruct&) = delete;
    SoapStruct& operator=(const SoapStruct&) = delete;
    struct soap* get() const { return soap_; }
    // Frees everything allocated in the context: the records of the last
    // reply and request values built with the wire:: helpers (the context
    // stays usable).
    void releaseReply();

private:
    struct soap* soap_;
};

// A failed service call, with the fault's detail pieces, fault code and
// string (or the runtime's error code) and the caller's text as messages.
class SoapRequestException : public tarn::Exception {
public:
    SoapRequestException(const char* text, const struct soap* failedContext);
    void rethrow() const override { throw *this; }
};

// The process-wide connect time-out in seconds (default 2), read once from
// the registry value "SoapConnectTimeOut" under HKCU\SOFTWARE\Qorvane.
int connectTimeoutSeconds();

// How long to pause between connection retries.
enum class RetryPause { Configured, Fixed200ms };

// Makes call(ctx) under the retry rule: a connection failure is retried up to
// the configured retry count with a pause in between; then, on failure,
// throws SoapRequestException(failureText) when throw-on-failure is on or the
// server sent a SOAP fault, else returns -974 (no connection) or -973 (any
// other error). Returns 0 on success; the reply's records stay in ctx until
// ctx.releaseReply() or ctx's destruction.
int callWithRetry(SoapStruct& ctx, const char* failureText, const std::function<int(struct soap*)>& call,
                  RetryPause pause = RetryPause::Configured);

// Normalises a server URL in place (UTF-8): https:// in front when it does
// not begin with "http", the default port when none is given, and
// "qorvane/locator" when the path is only "/".
void normaliseServerUrl(std::string& url);

// The server configuration, read into the library's hash map (31 buckets to
// start with, names hashed and compared with A-Z folded): names upper-cased
// (a-z only), a later duplicate overwrites the values of the earlier one,
// every name has at least one value. Its walk (bucket by bucket from the
// first, each bucket from its front) is the order in which the configuration
// export lists the settings.
class ConfigurationMap {
public:
    ConfigurationMap();
    ~ConfigurationMap();
    ConfigurationMap(ConfigurationMap&&) noexcept;
    ConfigurationMap& operator=(ConfigurationMap&&) noexcept;

    // The first value of a name (case-insensitive), or nullptr when absent.
    const std::u16string* first(std::u16string_view name) const;
    const std::vector<std::u16string>* values(std::u16string_view name) const;
    bool contains(std::u16string_view name) const { return values(name) != nullptr; }
    void set(std::u16string name, std::vector<std::u16string> values);
    // Every setting, in the map's walk order.
    std::vector<std::pair<std::u16string, std::vector<std::u16string>>> entries() const;

private:
    using Map = HashMap<std::vector<std::u16string>, WStringNoCaseKey>;
    std::unique_ptr<Map> map_;
};

// Fetches the configuration from a normalised server URL with
// GetConfigurationSettings. Returns 0, -991 (url empty), -974, -973, or throws.
int fetchServerConfiguration(const std::string& serverUrl, ConfigurationMap& out);

// Fills the session's endpoints, paths and version flags from the
// configuration at session.serverUrl. Returns 0 or a status code; throws
// "Missing SOAP FileEndPoint" / "Missing %ls" on an incomplete configuration.
int setUpEndpoints(SessionInfo& session);

// The runner endpoint to use for this session (configured one, or asked from
// the locator with GetEndpoint). Returns 0 or a status code; throws "Runner
// endpoint could not be found" on an empty answer.
int runnerEndpoint(const SessionInfo& session, std::string& endpoint);

// When serverUrl is https and some of the named endpoints are plain http,
// writes a warning naming them into the error log and the wire trace: the
// session ID then travels to them in clear. They are still used.
void warnOfPlainEndpoints(const std::string& serverUrl, const std::vector<std::pair<const char*, std::string>>& endpoints);

// Test support: replaces the pause between connection retries so that tests
// can count pauses instead of sleeping. An empty function restores the real
// sleep. Not used by the library itself.
void setRetrySleeperForTesting(std::function<void(int milliseconds)> sleeper);

}  // namespace pelox
