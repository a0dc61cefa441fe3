// Reply decoding of every service operation through the real channel: a
// SoapStruct and callWithRetry, with the context's transport hooks replaced so
// that the request goes nowhere and the reply is read from the fuzz input.
// Each decoded reply is then read back into the library's values with the
// wire:: conversions, as the domain code does; a raised fault is turned into
// its messages.
//
// Input: the operation's name, a newline, then the raw HTTP reply (status
// line, headers, body). An unknown name picks an operation by its bytes.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "connection/channel.h"
#include "host/tarn_util.h"
#include "frame/settings.h"
#include "soapH.h"
#include "wire/convert.h"

using namespace pelox;

namespace {

// The reply bytes of the current input, read by the receive hook.
struct Feed {
    const char* data = nullptr;
    size_t size = 0;
    size_t position = 0;
};

// A real descriptor for the context to hold as its "socket": the runtime may
// set its blocking mode, but never reads or writes it (the hooks do).
int placeholderSocket() {
    static const int fd = [] {
        int pair[2] = {-1, -1};
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return -1;
        return pair[0];
    }();
    return fd;
}

SOAP_SOCKET openHook(struct soap*, const char*, const char*, int) { return placeholderSocket(); }
int sendHook(struct soap*, const char*, size_t) { return SOAP_OK; }
size_t receiveHook(struct soap* soap, char* buffer, size_t size) {
    auto* feed = static_cast<Feed*>(soap->user);
    // Small pieces so that the runtime's buffer refills are exercised too.
    size_t n = std::min<size_t>(std::min<size_t>(size, feed->size - feed->position), 4096);
    std::memcpy(buffer, feed->data + feed->position, n);
    feed->position += n;
    return n;
}
int closeHook(struct soap* soap) {
    soap->socket = SOAP_INVALID_SOCKET;
    return SOAP_OK;
}
int closeSocketHook(struct soap*, SOAP_SOCKET) { return SOAP_OK; }
int shutdownSocketHook(struct soap*, SOAP_SOCKET, int) { return SOAP_OK; }

void touch(const std::u16string& text) {
    volatile size_t sink = text.size();
    (void)sink;
}
void touch(const char* text) { touch(wire::toWide(text)); }
void touch(const ArrayOfString* array) {
    for (const auto& text : wire::fromArray(array)) touch(text);
}
void touch(const ArrayOfInt* array) {
    volatile size_t sink = wire::fromArray(array).size();
    (void)sink;
}
void touch(const ArrayOfNameValuePair* array) {
    for (const auto& [name, values] : wire::fromArray(array)) {
        touch(name);
        for (const auto& value : values) touch(value);
    }
}
void touch(const xsd__base64Binary* data) {
    volatile size_t sink = wire::fromBase64(data).size();
    (void)sink;
}
template <class Info>
void touchParameter(const Info& p) {
    touch(p.name);
    touch(p.help);
    touch(p.type);
    touch(p.class_);
    touch(p.values);
    touch(p.legalValues);
}
template <class Component>
void touchComponent(Component& c) {
    touch(c.fullName);
    touch(c.description);
    touch(c.usage);
    touch(c.comment);
    for (int i = 0; i < wire::arraySize(c.parameters); ++i) touchParameter(wire::at(c.parameters, i));
}

using Call = std::function<int(SoapStruct&, const char* url)>;

#define OP(name, Response, ...)                                                                              \
    {#name, [](SoapStruct& ctx, const char* url) {                                                           \
         Response r;                                                                                          \
         const int rc = callWithRetry(ctx, "soap call to " #name "() failed", [&](struct soap* s) {          \
             return soap_call_qor__##name(s, url, nullptr, __VA_ARGS__);                                     \
         });                                                                                                  \
         if (rc == 0) readReply(r);                                                                                \
         return rc;                                                                                           \
     }}

// The readers of each response record.
void readReply(qor__LoginResponse& r) { touch(r.sessionID); }
void readReply(qor__GetEndpointResponse& r) { touch(r.url); }
void readReply(qor__GetConfigurationSettingsResponse& r) {
    ConfigurationMap map;
    for (auto& [name, values] : wire::fromArray(r.settings)) map.set(std::move(name), std::move(values));
}
void readReply(qor__GetAllJobsResponse& r) {
    for (int i = 0; i < wire::arraySize(r.jobsArray); ++i) {
        touch(wire::at(r.jobsArray, i).jobID);
        touch(wire::at(r.jobsArray, i).jobHostEndPoint);
    }
}
void readReply(qor__CheckSkerrowClientVersionResponse& r) { touch(r.serverVersion); }
void readReply(qor__ListMethodsResponse& r) {
    if (r.methods) tarn::util::splitString(std::string_view(r.methods), ";");
}
void readReply(qor__GetFolderContentsResponse& r) {
    for (int i = 0; i < wire::arraySize(r.folderContents); ++i) {
        const qor__FileData& f = wire::at(r.folderContents, i);
        touch(f.name);
        touch(f.size);
        touch(f.lastModified);
    }
}
void readReply(qor__DoesFileExistResponse&) {}
void readReply(qor__EmptyResponse&) {}
void readReply(qor__DownloadFileResponse& r) { touch(r.data); }
void readReply(qor__DownloadFileZippedResponse& r) { touch(r.zippedData); }
void readReply(qor__LaunchBlockingJobResponse& r) {
    touch(r.jobID);
    touch(r.runResults);
}
void readReply(qor__CreateJobResponse& r) { touch(r.jobID); }
void readReply(qor__ClearJobResponse&) {}
void readReply(qor__LaunchJobResponse& r) { touch(r.jobID); }
void readReply(qor__GetJobStatusResponse&) {}
void readReply(qor__GetJobStatisticsResponse& r) {
    touch(r.numOutsTrue);
    touch(r.numOutsFalse);
    touch(r.componentStatusFlags);
    touch(r.componentIDs);
}
void readReply(qor__GetJobErrorsResponse& r) {
    touch(r.errors);
    touch(r.componentIDs);
}
void readReply(qor__GetJobResultsResponse& r) { touch(r.runResults); }
void readReply(qor__GetJobResults2Response& r) { touch(r.runResults); }
void readReply(qor__GetJobDataResponse& r) { touch(r.messageXML); }
void readReply(qor__GetComponentVersionResponse& r) {
    touch(r.fullName);
    touch(r.componentXML);
}
void readReply(qor__GetComponentVersionsResponse& r) { touch(r.versions); }
void readReply(qor__RegisterComponentZippedResponse& r) { touch(r.newComponentGUID); }
void readReply(qor__GetComponentNamesResponse& r) { touch(r.componentNames); }
void readReply(qor__GetProtocolNamesResponse& r) { touch(r.protocolNames); }
void readReply(qor__GetFolderNamesResponse& r) { touch(r.folderNames); }
void readReply(qor__GetCalculablePropertiesResponse& r) { touch(r.calcProperties); }
void readReply(qor__GetCalculablePropertiesByCategoryResponse& r) { touch(r.calculabesByCategory); }
void readReply(qor__GetComponentInfoResponse& r) { touchComponent(r); }
void readReply(qor__GetComponentInfoResponse2& r) {
    touchComponent(r);
    for (int i = 0; i < wire::arraySize(r.parameters); ++i) touch(wire::at(r.parameters, i).members);
}
void readReply(qor__FindParameterInfoResponse2& r) {
    touchParameter(r);
    touch(r.members);
}
void readReply(qor__ValidateParametersResponse& r) {
    touch(r.validationState);
    for (int i = 0; r.item && i < r.__sizeitem; ++i) {
        touch(r.item[i].name);
        touch(r.item[i].invalidDetails);
        touch(r.item[i].disabledDetails);
        touch(r.item[i].legalValues);
    }
}
void readReply(qor__GetHWAddressResponse& r) { touch(r.hwAddress); }

const std::vector<std::pair<std::string, Call>>& operations() {
    static const std::vector<std::pair<std::string, Call>> table = {
        OP(Login, qor__LoginResponse, nullptr, nullptr, nullptr, nullptr, nullptr, r),
        OP(GetEndpoint, qor__GetEndpointResponse, nullptr, r),
        OP(GetConfigurationSettings, qor__GetConfigurationSettingsResponse, r),
        OP(GetAllJobs, qor__GetAllJobsResponse, nullptr, nullptr, 0, r),
        OP(CheckSkerrowClientVersion, qor__CheckSkerrowClientVersionResponse, nullptr, r),
        OP(CheckClientTypeCompatibility, qor__CheckSkerrowClientVersionResponse, nullptr, nullptr, 0, r),
        OP(ListMethods, qor__ListMethodsResponse, nullptr, r),
        OP(GetFolderContents, qor__GetFolderContentsResponse, nullptr, nullptr, r),
        OP(DoesFileExist, qor__DoesFileExistResponse, nullptr, nullptr, r),
        OP(UploadFile, qor__EmptyResponse, nullptr, nullptr, nullptr, false, r),
        OP(UploadFileZipped, qor__EmptyResponse, nullptr, nullptr, nullptr, false, r),
        OP(DownloadFile, qor__DownloadFileResponse, nullptr, nullptr, r),
        OP(DownloadFileZipped, qor__DownloadFileZippedResponse, nullptr, nullptr, r),
        OP(GetHWAddress, qor__GetHWAddressResponse, nullptr, r),
        OP(LaunchBlockingJob, qor__LaunchBlockingJobResponse, nullptr, nullptr, nullptr, 0, 0, r),
        OP(CreateJob, qor__CreateJobResponse, nullptr, r),
        OP(ClearJob, qor__ClearJobResponse, nullptr, nullptr, nullptr, r),
        OP(LaunchJob, qor__LaunchJobResponse, nullptr, nullptr, nullptr, nullptr, r),
        OP(SetJobStatus, qor__EmptyResponse, nullptr, nullptr, 0, r),
        OP(StopJob, qor__EmptyResponse, nullptr, nullptr, r),
        OP(GetJobStatus, qor__GetJobStatusResponse, nullptr, nullptr, r),
        OP(GetJobStatistics, qor__GetJobStatisticsResponse, nullptr, nullptr, nullptr, r),
        OP(GetJobErrors, qor__GetJobErrorsResponse, nullptr, nullptr, r),
        OP(GetJobResults, qor__GetJobResultsResponse, nullptr, nullptr, r),
        OP(GetJobResults2, qor__GetJobResults2Response, nullptr, nullptr, 0, r),
        OP(ReleaseJob, qor__EmptyResponse, nullptr, nullptr, r),
        OP(GetJobData, qor__GetJobDataResponse, nullptr, nullptr, nullptr, r),
        OP(PutJobData, qor__EmptyResponse, nullptr, nullptr, nullptr, nullptr, r),
        OP(MoveComponent, qor__EmptyResponse, nullptr, nullptr, nullptr, r),
        OP(GetComponentVersionZipped, qor__GetComponentVersionResponse, nullptr, nullptr, 0, r),
        OP(GetComponentVersions, qor__GetComponentVersionsResponse, nullptr, nullptr, r),
        OP(RegisterComponentZipped, qor__RegisterComponentZippedResponse, nullptr, nullptr, nullptr, r),
        OP(UnRegisterComponent, qor__EmptyResponse, nullptr, nullptr, r),
        OP(GetComponentNames, qor__GetComponentNamesResponse, nullptr, nullptr, r),
        OP(GetProtocolNames, qor__GetProtocolNamesResponse, nullptr, nullptr, 0, r),
        OP(GetFolderNames, qor__GetFolderNamesResponse, nullptr, nullptr, r),
        OP(GetCalculableProperties, qor__GetCalculablePropertiesResponse, nullptr, r),
        OP(GetCalculablePropertiesByCategory, qor__GetCalculablePropertiesByCategoryResponse, nullptr, r),
        OP(GetComponentInfo, qor__GetComponentInfoResponse, nullptr, nullptr, r),
        OP(FindParameterInfo2, qor__FindParameterInfoResponse2, nullptr, nullptr, nullptr, 0, r),
        OP(GetComponentInfo2, qor__GetComponentInfoResponse2, nullptr, nullptr, 0, r),
        OP(ValidateParameters, qor__ValidateParametersResponse, nullptr, nullptr, nullptr, nullptr, r),
    };
    return table;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const size_t newline = input.find('\n');
    if (newline == std::string_view::npos) return 0;
    const std::string_view name = input.substr(0, newline);
    const auto& table = operations();
    const std::pair<std::string, Call>* entry = nullptr;
    for (const auto& candidate : table)
        if (name == candidate.first) entry = &candidate;
    if (!entry) {
        size_t sum = 0;
        for (char c : name) sum += static_cast<unsigned char>(c);
        entry = &table[sum % table.size()];
    }

    Feed feed{input.data() + newline + 1, size - newline - 1, 0};
    // The retry rule pauses between connection attempts; nothing to wait for.
    static const bool noPause = [] {
        setRetrySleeperForTesting([](int) {});
        return true;
    }();
    (void)noPause;

    SoapStruct ctx;
    struct soap* soap = ctx.get();
    soap->user = &feed;
    soap->fopen = openHook;
    soap->fsend = sendHook;
    soap->frecv = receiveHook;
    soap->fclose = closeHook;
    soap->fclosesocket = closeSocketHook;
    soap->fshutdownsocket = shutdownSocketHook;
    // PELOX_FUZZ_VERBOSE=1 prints each input's outcome (for checking seeds).
    static const bool verbose = std::getenv("PELOX_FUZZ_VERBOSE") != nullptr;
    std::string outcome;
    try {
        outcome = std::to_string(entry->second(ctx, "http://fuzz.invalid:8080/qorvane/locator"));
    } catch (const SoapRequestException& e) {
        outcome = tarn::util::ConvertStringtoUTF8(e.joined(u" | "));
    } catch (const tarn::Exception& e) {
        // A conversion that refuses a reply (for example an index out of
        // bounds) is a handled outcome.
        outcome = tarn::util::ConvertStringtoUTF8(e.joined(u" | "));
    }
    if (verbose) std::fprintf(stderr, "%s: %s\n", entry->first.c_str(), outcome.c_str());
    return 0;
}
