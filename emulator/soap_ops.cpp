// The service operations of the emulator: the functions that the generated
// skeleton (soap_serve) calls for each request element. Each one checks that
// its endpoint offers it, applies injected faults, and answers from the
// server's state; any error becomes a SOAP fault.
#include "server.h"
#include "soapH.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

namespace fs = std::filesystem;
using namespace emu;

namespace {

Server& srv(struct soap* soap) { return *static_cast<Request*>(soap->user)->server; }

// Keeps the fault for the reply, which the server writes itself (see
// Server::handleSoap); the SOAP layer only learns that the call failed.
int faultOut(struct soap* soap, const Fault& f) {
    auto& io = *static_cast<Request*>(soap->user);
    io.handlerFault = true;
    io.clientFault = f.clientFault;
    io.faultString = f.what();
    io.faultDetail = f.pieces.empty() ? std::string(f.what()) : join(f.pieces, "|#|");
    const char* text = soap_strdup(soap, f.what());
    if (f.clientFault) return soap_sender_fault(soap, text, nullptr);
    return soap_receiver_fault(soap, text, nullptr);
}

int currentFault(struct soap* soap) {
    try {
        throw;
    } catch (const Fault& f) {
        return faultOut(soap, f);
    } catch (const std::exception& e) {
        Fault f(e.what());
        f.httpStatus = 500;
        return faultOut(soap, f);
    } catch (...) {
        Fault f("internal error");
        f.httpStatus = 500;
        return faultOut(soap, f);
    }
}

char* str(struct soap* soap, const std::string& s) { return soap_strdup(soap, s.c_str()); }
std::string text(const char* s) { return s ? std::string(s) : std::string(); }

ArrayOfString* strings(struct soap* soap, const std::vector<std::string>& v) {
    auto* a = soap_new_ArrayOfString(soap);
    a->__size = int(v.size());
    a->__ptr = static_cast<char**>(soap_malloc(soap, sizeof(char*) * (v.size() + 1)));
    for (size_t i = 0; i < v.size(); ++i) a->__ptr[i] = str(soap, v[i]);
    return a;
}

ArrayOfInt* ints(struct soap* soap, const std::vector<int>& v) {
    auto* a = soap_new_ArrayOfInt(soap);
    a->__size = int(v.size());
    a->__ptr = static_cast<int*>(soap_malloc(soap, sizeof(int) * (v.size() + 1)));
    for (size_t i = 0; i < v.size(); ++i) a->__ptr[i] = v[i];
    return a;
}

xsd__base64Binary* bytes(struct soap* soap, const std::string& b) {
    auto* x = soap_new_xsd__base64Binary(soap);
    x->__size = int(b.size());
    x->__ptr = static_cast<unsigned char*>(soap_malloc(soap, b.size() + 1));
    std::memcpy(x->__ptr, b.data(), b.size());
    return x;
}

std::string fromBytes(const xsd__base64Binary* b) {
    if (!b || !b->__ptr || b->__size <= 0) return {};
    return std::string(reinterpret_cast<const char*>(b->__ptr), size_t(b->__size));
}

// The decoded bytes where the SOAP context holds them (no copy: file
// contents can be large).
std::string_view viewOf(const xsd__base64Binary* b) {
    if (!b || !b->__ptr || b->__size <= 0) return {};
    return std::string_view(reinterpret_cast<const char*>(b->__ptr), size_t(b->__size));
}

ArrayOfNameValuePair* pairs(struct soap* soap, const NamedValues& v) {
    auto* a = soap_new_ArrayOfNameValuePair(soap);
    a->__size = int(v.size());
    a->__ptr = v.empty() ? nullptr : soap_new_qor__NameValuePair(soap, int(v.size()));
    for (size_t i = 0; i < v.size(); ++i) {
        a->__ptr[i].name = str(soap, v[i].first);
        a->__ptr[i].values = strings(soap, v[i].second);
    }
    return a;
}

NamedValues fromPairs(const ArrayOfNameValuePair* a) {
    NamedValues out;
    if (!a || !a->__ptr) return out;
    for (int i = 0; i < a->__size; ++i) {
        Values vals;
        if (auto* v = a->__ptr[i].values; v && v->__ptr)
            for (int k = 0; k < v->__size; ++k) vals.push_back(text(v->__ptr[k]));
        out.emplace_back(text(a->__ptr[i].name), std::move(vals));
    }
    return out;
}

const Session& needSession(struct soap* soap, const char* id) {
    const Session& s = srv(soap).session(id);
    static_cast<Request*>(soap->user)->session = s.id;
    return s;
}

Endpoint endpointOf(struct soap* soap) { return static_cast<Request*>(soap->user)->endpoint; }
std::string pathOf(struct soap* soap) { return static_cast<Request*>(soap->user)->path; }

std::shared_ptr<Job> needJob(struct soap* soap, const Session& s, const char* jobID) {
    return srv(soap).jobs().find(s.user, text(jobID), pathOf(soap));
}

bool zlibForm(struct soap* soap) { return srv(soap).profile().major() >= 7; }

void fillParam2(struct soap* soap, qor__ParameterInfo2& out, const ParameterDef& p) {
    out.name = str(soap, p.name);
    out.help = str(soap, p.help);
    out.type = str(soap, p.type);
    out.class_ = str(soap, p.klass);
    out.required = p.required;
    out.multipleSelect = p.multipleSelect;
    out.implementation = p.implementation;
    out.members = strings(soap, p.members);
    out.values = strings(soap, p.values);
    out.legalValues = strings(soap, p.legalValues);
}

}  // namespace

#define OP_BEGIN(NAME)                              \
    try {                                           \
        Request& req = srv(soap).begin(soap, NAME); \
        (void)req;
#define OP_END                     \
    }                              \
    catch (...) {                  \
        return currentFault(soap); \
    }                              \
    return SOAP_OK;

// ------------------------------------------------------------------ locator

int qor__Login(struct soap* soap, char* name, char* password, char* clientType, char* clientVersion,
               char* clientMachine, qor__LoginResponse& response) {
    OP_BEGIN("Login")
    if (!name || !*name) fail("Login failed: no user name", 403);
    Session s = srv(soap).login(name, text(password), text(clientType), text(clientMachine));
    req.session = s.id;
    response.sessionID = str(soap, s.id);
    (void)clientVersion;
    OP_END
}

int qor__GetEndpoint(struct soap* soap, char* name, qor__GetEndpointResponse& response) {
    OP_BEGIN("GetEndpoint")
    std::string n = text(name);
    Server& s = srv(soap);
    if (iequals(n, "RUNNERENDPOINT"))
        response.url = str(soap, s.nextRunner());
    else if (iequals(n, "FILEENDPOINT"))
        response.url = str(soap, s.endpointUrl(Endpoint::File));
    else if (iequals(n, "XMLDBENDPOINT"))
        response.url = str(soap, s.endpointUrl(Endpoint::Xmldb));
    else if (iequals(n, "LOCATORENDPOINT"))
        response.url = str(soap, s.endpointUrl(Endpoint::Locator));
    else
        response.url = str(soap, "");
    OP_END
}

int qor__GetConfigurationSettings(struct soap* soap, qor__GetConfigurationSettingsResponse& response) {
    OP_BEGIN("GetConfigurationSettings")
    response.settings = pairs(soap, srv(soap).configuration());
    OP_END
}

int qor__GetAllJobs(struct soap* soap, char* sessionID, char* clientType, int flags,
                    qor__GetAllJobsResponse& response) {
    OP_BEGIN("GetAllJobs")
    const Session& s = needSession(soap, sessionID);
    auto jobs = srv(soap).jobs().jobsOf(s.user);
    auto* a = soap_new_ArrayOfJob(soap);
    a->__size = int(jobs.size());
    a->__ptr = jobs.empty() ? nullptr : soap_new_qor__Job(soap, int(jobs.size()));
    for (size_t i = 0; i < jobs.size(); ++i) {
        a->__ptr[i].jobID = str(soap, jobs[i]->id);
        a->__ptr[i].jobHostEndPoint = str(soap, srv(soap).baseUrl() + jobs[i]->endpointPath);
    }
    response.jobsArray = a;
    (void)clientType;
    (void)flags;
    OP_END
}

static void fillServerInfo(struct soap* soap, qor__ServerInfo& r) {
    Profile p = srv(soap).profile();
    r.serverApiVersion = p.major();
    r.serverVersion = str(soap, p.compatServerVersion.empty() ? p.serverVersion : p.compatServerVersion);
    r.versionComparisonEnum = static_cast<qor__VersionComparison>(p.versionComparison);
    r.clientCompatibleEnum = static_cast<qor__VersionCompatibility>(p.compatibility);
    r.clientInstallDownloadsPermitted = false;
}

int qor__CheckSkerrowClientVersion(struct soap* soap, char* clientVersion,
                                   qor__CheckSkerrowClientVersionResponse& response) {
    OP_BEGIN("CheckSkerrowClientVersion")
    fillServerInfo(soap, response);
    (void)clientVersion;
    OP_END
}

int qor__CheckClientTypeCompatibility(struct soap* soap, char* clientType, char* clientVersion, int flags1,
                                      qor__CheckSkerrowClientVersionResponse& response) {
    OP_BEGIN("CheckClientTypeCompatibility")
    fillServerInfo(soap, response);
    (void)clientType;
    (void)clientVersion;
    (void)flags1;
    OP_END
}

int qor__ListMethods(struct soap* soap, char* sessionID, qor__ListMethodsResponse& response) {
    OP_BEGIN("ListMethods")
    if (sessionID && *sessionID) needSession(soap, sessionID);
    response.methods = str(soap, join(srv(soap).methodsOf(endpointOf(soap)), ";"));
    OP_END
}

// ------------------------------------------------------------------ file

// A client path of the file operations, relative to the server root.
static fs::path serverPath(struct soap* soap, const char* path) { return srv(soap).rootJail().locate(text(path)); }

int qor__GetFolderContents(struct soap* soap, char* sessionID, char* folderPath,
                           qor__GetFolderContentsResponse& response) {
    OP_BEGIN("GetFolderContents")
    needSession(soap, sessionID);
    const Jail& root = srv(soap).rootJail();
    auto dir = serverPath(soap, folderPath);
    if (!root.isFolder(dir)) fail("Folder not found: " + text(folderPath), 404);
    // Links are described by their targets inside the root; others are not listed.
    auto entries = root.list(dir);
    auto* a = soap_new_ArrayOfFileData(soap);
    a->__size = int(entries.size());
    a->__ptr = entries.empty() ? nullptr : soap_new_qor__FileData(soap, int(entries.size()));
    for (size_t i = 0; i < entries.size(); ++i) {
        const auto& e = entries[i];
        a->__ptr[i].name = str(soap, e.name);
        a->__ptr[i].isFolder = e.isFolder;
        a->__ptr[i].size = str(soap, std::to_string(e.size));
        a->__ptr[i].lastModified = str(soap, isoTime(e.modified));
    }
    response.folderContents = a;
    OP_END
}

int qor__DoesFileExist(struct soap* soap, char* sessionID, char* folderPath, qor__DoesFileExistResponse& response) {
    OP_BEGIN("DoesFileExist")
    needSession(soap, sessionID);
    try {
        response.result = srv(soap).rootJail().exists(serverPath(soap, folderPath));
    } catch (const Fault& f) {
        if (f.httpStatus != 404) throw;  // a missing folder on the way: the file does not exist
        response.result = false;
    }
    OP_END
}

int qor__UploadFile(struct soap* soap, char* sessionID, char* destinationPath, xsd__base64Binary* data, bool append,
                    qor__EmptyResponse& response) {
    OP_BEGIN("UploadFile")
    needSession(soap, sessionID);
    srv(soap).rootJail().write(serverPath(soap, destinationPath), viewOf(data), append);
    (void)response;
    OP_END
}

int qor__UploadFileZipped(struct soap* soap, char* sessionID, char* destinationPath, xsd__base64Binary* zippedData,
                          bool append, qor__EmptyResponse& response) {
    OP_BEGIN("UploadFileZipped")
    needSession(soap, sessionID);
    auto path = serverPath(soap, destinationPath);
    // Inflated before the file is touched: damaged data leaves it as it was.
    srv(soap).rootJail().write(path, decompress(viewOf(zippedData), srv(soap).maxBody()), append);
    (void)response;
    OP_END
}

int qor__DownloadFile(struct soap* soap, char* sessionID, char* sourcePath, qor__DownloadFileResponse& response) {
    OP_BEGIN("DownloadFile")
    needSession(soap, sessionID);
    response.data = bytes(soap, srv(soap).rootJail().read(serverPath(soap, sourcePath), srv(soap).maxBody()));
    OP_END
}

int qor__DownloadFileZipped(struct soap* soap, char* sessionID, char* sourcePath,
                            qor__DownloadFileZippedResponse& response) {
    OP_BEGIN("DownloadFileZipped")
    needSession(soap, sessionID);
    auto data = srv(soap).rootJail().read(serverPath(soap, sourcePath), srv(soap).maxBody());
    response.zippedData = bytes(soap, compress(data, zlibForm(soap)));
    OP_END
}

int qor__GetHWAddress(struct soap* soap, char* sessionID, qor__GetHWAddressResponse& response) {
    OP_BEGIN("GetHWAddress")
    needSession(soap, sessionID);
    std::string local = localHardwareAddress();
    // A locally administered address that no interface of this machine has.
    std::string foreign = local == "02:51:6f:72:76:61" ? "02:51:6f:72:76:62" : "02:51:6f:72:76:61";
    response.hwAddress = str(soap, srv(soap).profile().hwLocal && !local.empty() ? local : foreign);
    OP_END
}

// ------------------------------------------------------------------ runner

// The fault kind "no-job-id": the job is made or launched, but the reply
// does not say under which ID.
static bool withheldJobId(const Request& req) { return req.fault && req.fault->kind == "no-job-id"; }

int qor__LaunchBlockingJob(struct soap* soap, char* sessionID, char* protocolName, ArrayOfNameValuePair* parameters,
                           int msTimeout, int flags, qor__LaunchBlockingJobResponse& response) {
    OP_BEGIN("LaunchBlockingJob")
    const Session& s = needSession(soap, sessionID);
    auto& engine = srv(soap).jobs();
    auto job = engine.launch(s.user, pathOf(soap), "", text(protocolName), fromPairs(parameters));
    int timeout = msTimeout > 0 ? msTimeout : srv(soap).profile().blockingTimeoutSeconds * 1000;
    bool settled = engine.waitSettled(job, timeout);
    int responseFlags = 0;
    if (!settled) {
        responseFlags |= 1;  // JobHasTimedOut
        if (!(flags & 2)) engine.stop(job);  // not ContinueJobAfterTimeout
    }
    int status = engine.status(*job);
    response.jobID = withheldJobId(req) ? nullptr : str(soap, job->id);
    response.status = status;
    response.runResults = pairs(soap, engine.results(*job));
    if (settled && (flags & 1) && status != state::WaitingForClient && status != state::Paused) {
        engine.release(job);  // ReleaseJobUponCompletion
        responseFlags |= 2;   // JobHasBeenReleased
    }
    response.responseFlags = responseFlags;
    OP_END
}

int qor__CreateJob(struct soap* soap, char* sessionID, qor__CreateJobResponse& response) {
    OP_BEGIN("CreateJob")
    const Session& s = needSession(soap, sessionID);
    const std::string id = srv(soap).jobs().create(s.user, pathOf(soap))->id;
    response.jobID = withheldJobId(req) ? nullptr : str(soap, id);
    OP_END
}

int qor__ClearJob(struct soap* soap, char* sessionID, char* jobID, xsd__base64Binary* zippedSettings,
                  qor__ClearJobResponse& response) {
    OP_BEGIN("ClearJob")
    const Session& s = needSession(soap, sessionID);
    response.success = 0;
    std::shared_ptr<Job> job;
    try {
        job = needJob(soap, s, jobID);
    } catch (const Fault&) {
        return SOAP_OK;  // unknown job: not cleared
    }
    std::string settings = fromBytes(zippedSettings);
    if (!settings.empty()) {
        try {
            PropertyCollection::fromXml(decompress(settings, 16u << 20));
        } catch (const std::exception&) {
            return SOAP_OK;  // undecodable settings: not cleared
        }
    }
    response.success = srv(soap).jobs().clear(job) ? 1 : 0;
    OP_END
}

int qor__LaunchJob(struct soap* soap, char* sessionID, char* jobIDHint, char* protocolName,
                   ArrayOfNameValuePair* parameters, qor__LaunchJobResponse& response) {
    OP_BEGIN("LaunchJob")
    const Session& s = needSession(soap, sessionID);
    if (!protocolName || !*protocolName) fail("LaunchJob needs a protocol name");
    auto job = srv(soap).jobs().launch(s.user, pathOf(soap), text(jobIDHint), protocolName, fromPairs(parameters));
    response.jobID = withheldJobId(req) ? nullptr : str(soap, job->id);
    OP_END
}

int qor__SetJobStatus(struct soap* soap, char* sessionID, char* jobID, int status, qor__EmptyResponse& response) {
    OP_BEGIN("SetJobStatus")
    const Session& s = needSession(soap, sessionID);
    srv(soap).jobs().setStatus(needJob(soap, s, jobID), status);
    (void)response;
    OP_END
}

int qor__StopJob(struct soap* soap, char* sessionID, char* jobID, qor__EmptyResponse& response) {
    OP_BEGIN("StopJob")
    const Session& s = needSession(soap, sessionID);
    srv(soap).jobs().stop(needJob(soap, s, jobID));
    (void)response;
    OP_END
}

int qor__GetJobStatus(struct soap* soap, char* sessionID, char* jobID, qor__GetJobStatusResponse& response) {
    OP_BEGIN("GetJobStatus")
    const Session& s = needSession(soap, sessionID);
    response.status = srv(soap).jobs().status(*needJob(soap, s, jobID));
    OP_END
}

int qor__GetJobStatistics(struct soap* soap, char* sessionID, char* jobID, char* hint,
                          qor__GetJobStatisticsResponse& response) {
    OP_BEGIN("GetJobStatistics")
    const Session& s = needSession(soap, sessionID);
    auto st = srv(soap).jobs().statistics(*needJob(soap, s, jobID));
    response.time = st.time;
    response.statusState = st.state;
    response.numOutsTrue = ints(soap, st.outsTrue);
    response.numOutsFalse = ints(soap, st.outsFalse);
    response.componentStatusFlags = ints(soap, st.flags);
    response.componentIDs = strings(soap, st.ids);
    (void)hint;
    OP_END
}

int qor__GetJobErrors(struct soap* soap, char* sessionID, char* jobID, qor__GetJobErrorsResponse& response) {
    OP_BEGIN("GetJobErrors")
    const Session& s = needSession(soap, sessionID);
    auto errs = srv(soap).jobs().errors(*needJob(soap, s, jobID));
    std::vector<std::string> messages, ids;
    for (auto& [m, id] : errs) {
        messages.push_back(m);
        ids.push_back(id);
    }
    response.errors = strings(soap, messages);
    response.componentIDs = strings(soap, ids);
    OP_END
}

int qor__GetJobResults(struct soap* soap, char* sessionID, char* jobID, qor__GetJobResultsResponse& response) {
    OP_BEGIN("GetJobResults")
    const Session& s = needSession(soap, sessionID);
    response.runResults = pairs(soap, srv(soap).jobs().results(*needJob(soap, s, jobID)));
    OP_END
}

int qor__GetJobResults2(struct soap* soap, char* sessionID, char* jobID, int flags,
                        qor__GetJobResults2Response& response) {
    OP_BEGIN("GetJobResults2")
    const Session& s = needSession(soap, sessionID);
    response.runResults = pairs(soap, srv(soap).jobs().results(*needJob(soap, s, jobID)));
    (void)flags;
    OP_END
}

int qor__ReleaseJob(struct soap* soap, char* sessionID, char* jobID, qor__EmptyResponse& response) {
    OP_BEGIN("ReleaseJob")
    const Session& s = needSession(soap, sessionID);
    srv(soap).jobs().release(needJob(soap, s, jobID));
    (void)response;
    OP_END
}

int qor__GetJobData(struct soap* soap, char* sessionID, char* jobID, char* messageFormat,
                    qor__GetJobDataResponse& response) {
    OP_BEGIN("GetJobData")
    const Session& s = needSession(soap, sessionID);
    response.messageXML = bytes(soap, srv(soap).jobs().getData(*needJob(soap, s, jobID), text(messageFormat)));
    OP_END
}

int qor__PutJobData(struct soap* soap, char* sessionID, char* jobID, char* messageFormat,
                    xsd__base64Binary* messageXML, qor__EmptyResponse& response) {
    OP_BEGIN("PutJobData")
    const Session& s = needSession(soap, sessionID);
    if (!messageFormat || !*messageFormat) fail("PutJobData needs a data name");
    srv(soap).jobs().putData(*needJob(soap, s, jobID), messageFormat, fromBytes(messageXML));
    (void)response;
    OP_END
}

// ------------------------------------------------------------------ XMLDB

int qor__MoveComponent(struct soap* soap, char* sessionID, char* oldComponentLocation, char* newComponentLocation,
                       qor__EmptyResponse& response) {
    OP_BEGIN("MoveComponent")
    needSession(soap, sessionID);
    srv(soap).catalogue().move(text(oldComponentLocation), text(newComponentLocation));
    (void)response;
    OP_END
}

int qor__GetComponentVersionZipped(struct soap* soap, char* sessionID, char* componentName, int componentVersion,
                                   qor__GetComponentVersionResponse& response) {
    OP_BEGIN("GetComponentVersionZipped")
    needSession(soap, sessionID);
    Component c = srv(soap).catalogue().loadVersion(text(componentName), componentVersion);
    response.componentVersion = c.version;
    response.fullName = str(soap, c.fullName);
    response.componentXML = bytes(soap, compress(c.xml, zlibForm(soap)));
    OP_END
}

int qor__GetComponentVersions(struct soap* soap, char* sessionID, char* componentName,
                              qor__GetComponentVersionsResponse& response) {
    OP_BEGIN("GetComponentVersions")
    needSession(soap, sessionID);
    response.versions = ints(soap, srv(soap).catalogue().versions(text(componentName)));
    OP_END
}

int qor__RegisterComponentZipped(struct soap* soap, char* sessionID, char* folder, xsd__base64Binary* componentXML,
                                 qor__RegisterComponentZippedResponse& response) {
    OP_BEGIN("RegisterComponentZipped")
    const Session& s = needSession(soap, sessionID);
    auto xml = decompress(fromBytes(componentXML), 64u << 20);
    response.newComponentGUID = str(soap, srv(soap).catalogue().registerComponent(text(folder), xml, s.user));
    OP_END
}

int qor__UnRegisterComponent(struct soap* soap, char* sessionID, char* fullComponentPath,
                             qor__EmptyResponse& response) {
    OP_BEGIN("UnRegisterComponent")
    needSession(soap, sessionID);
    srv(soap).catalogue().unregister(text(fullComponentPath));
    (void)response;
    OP_END
}

int qor__GetComponentNames(struct soap* soap, char* sessionID, char* folder,
                           qor__GetComponentNamesResponse& response) {
    OP_BEGIN("GetComponentNames")
    needSession(soap, sessionID);
    response.componentNames = strings(soap, srv(soap).catalogue().componentNames(text(folder), false));
    OP_END
}

int qor__GetProtocolNames(struct soap* soap, char* sessionID, char* folder, int flags,
                          qor__GetProtocolNamesResponse& response) {
    OP_BEGIN("GetProtocolNames")
    needSession(soap, sessionID);
    response.protocolNames = strings(soap, srv(soap).catalogue().componentNames(text(folder), true));
    (void)flags;
    OP_END
}

int qor__GetFolderNames(struct soap* soap, char* sessionID, char* folder, qor__GetFolderNamesResponse& response) {
    OP_BEGIN("GetFolderNames")
    needSession(soap, sessionID);
    response.folderNames = strings(soap, srv(soap).catalogue().folderNames(text(folder)));
    OP_END
}

// Calculable properties by category: <catalogue>/calculable-properties.xml
// when present, else a built-in set.
static NamedValues calculableProperties(Server& s) {
    NamedValues out;
    const Jail& catalogue = s.catalogue().jail();
    if (catalogue.isFile(".calculable-properties")) {
        for (auto& line : split(catalogue.read(".calculable-properties", 1u << 20), '\n')) {
            auto colon = line.find(':');
            if (colon == std::string::npos) continue;
            Values v;
            for (auto& p : split(line.substr(colon + 1), ','))
                if (!trim(p).empty()) v.push_back(trim(p));
            out.emplace_back(trim(line.substr(0, colon)), v);
        }
        return out;
    }
    out.emplace_back("Molecular", Values{"MolecularWeight", "HeavyAtomCount", "RotatableBonds"});
    out.emplace_back("Physical", Values{"LogP", "PolarSurfaceArea"});
    out.emplace_back("Identity", Values{"Formula", "CanonicalName"});
    return out;
}

int qor__GetCalculableProperties(struct soap* soap, char* sessionID, qor__GetCalculablePropertiesResponse& response) {
    OP_BEGIN("GetCalculableProperties")
    needSession(soap, sessionID);
    Values all;
    for (auto& [cat, names] : calculableProperties(srv(soap))) all.insert(all.end(), names.begin(), names.end());
    response.calcProperties = strings(soap, all);
    OP_END
}

int qor__GetCalculablePropertiesByCategory(struct soap* soap, char* sessionID,
                                           qor__GetCalculablePropertiesByCategoryResponse& response) {
    OP_BEGIN("GetCalculablePropertiesByCategory")
    needSession(soap, sessionID);
    response.calculabesByCategory = pairs(soap, calculableProperties(srv(soap)));
    OP_END
}

int qor__GetComponentInfo(struct soap* soap, char* sessionID, char* componentName,
                          qor__GetComponentInfoResponse& response) {
    OP_BEGIN("GetComponentInfo")
    needSession(soap, sessionID);
    Component c = srv(soap).catalogue().load(text(componentName));
    response.fullName = str(soap, c.fullName);
    response.description = str(soap, c.prop("Description"));
    response.usage = str(soap, c.prop("Usage"));
    response.comment = str(soap, c.prop("Comment"));
    std::vector<const ParameterDef*> shown;
    for (auto& p : c.parameters)
        if (!p.implementation) shown.push_back(&p);
    int n = int(shown.size()) + 2;
    auto* a = soap_new_ParameterInfoArray(soap);
    a->__size = n;
    a->__ptr = soap_new_qor__ParameterInfo(soap, n);
    for (size_t i = 0; i < shown.size(); ++i) {
        const ParameterDef& p = *shown[i];
        auto& o = a->__ptr[i];
        o.name = str(soap, p.name);
        o.help = str(soap, p.help);
        o.type = str(soap, p.type);
        o.class_ = str(soap, p.klass);
        o.required = p.required;
        o.multipleSelect = p.multipleSelect;
        o.values = strings(soap, p.values);
        o.legalValues = strings(soap, p.legalValues);
    }
    // The first generation carries the GUID and the exports as hidden
    // parameters.
    auto& guid = a->__ptr[n - 2];
    guid.name = str(soap, "ComponentGUID");
    guid.class_ = str(soap, "hidden");
    guid.type = str(soap, "text");
    guid.values = strings(soap, {c.prop("ComponentGUID")});
    auto& exports = a->__ptr[n - 1];
    exports.name = str(soap, "WebExports");
    exports.class_ = str(soap, "hidden");
    exports.type = str(soap, "text");
    exports.values = strings(soap, {c.prop("WebExports")});
    response.parameters = a;
    OP_END
}

int qor__FindParameterInfo2(struct soap* soap, char* sessionID, char* componentName, char* parameterName, int flags,
                            qor__FindParameterInfoResponse2& response) {
    OP_BEGIN("FindParameterInfo2")
    needSession(soap, sessionID);
    Component c = srv(soap).catalogue().load(text(componentName));
    std::string n = text(parameterName);
    if (n == "ComponentGUID" || n == "WebExports") {
        response.name = str(soap, n);
        response.class_ = str(soap, "hidden");
        response.type = str(soap, "text");
        response.values = strings(soap, {c.prop(n)});
    } else if (const ParameterDef* p = c.parameter(n)) {
        fillParam2(soap, response, *p);
    } else {
        fail("Parameter '" + n + "' not found in " + c.fullName, 404);
    }
    (void)flags;
    OP_END
}

int qor__GetComponentInfo2(struct soap* soap, char* sessionID, char* componentName, int flags,
                           qor__GetComponentInfoResponse2& response) {
    OP_BEGIN("GetComponentInfo2")
    needSession(soap, sessionID);
    Component c = srv(soap).catalogue().load(text(componentName));
    response.fullName = str(soap, c.fullName);
    response.description = str(soap, c.prop("Description"));
    response.usage = str(soap, c.prop("Usage"));
    response.comment = str(soap, c.prop("Comment"));
    auto* a = soap_new_ParameterInfoArray2(soap);
    a->__size = int(c.parameters.size());
    a->__ptr = c.parameters.empty() ? nullptr : soap_new_qor__ParameterInfo2(soap, a->__size);
    for (size_t i = 0; i < c.parameters.size(); ++i) fillParam2(soap, a->__ptr[i], c.parameters[i]);
    response.parameters = a;
    (void)flags;
    OP_END
}

int qor__ValidateParameters(struct soap* soap, char* sessionID, char* componentName,
                            xsd__base64Binary* validationState, ArrayOfNameValuePair* parameterValues,
                            qor__ValidateParametersResponse& response) {
    OP_BEGIN("ValidateParameters")
    needSession(soap, sessionID);
    Server& s = srv(soap);
    Component c = s.catalogue().load(text(componentName));
    // The state handed out by the previous call must come back unchanged.
    std::string given = fromBytes(validationState);
    if (!given.empty()) {
        auto parts = split(given, ';');
        bool ok = parts.size() == 3 && parts[0] == "QVS1" &&
                  s.validationState(c.fullName, std::strtoul(parts[1].c_str(), nullptr, 10)) == given;
        if (!ok) fail("Validation state does not belong to " + c.fullName);
    }
    std::map<std::string, std::vector<std::string>> values;
    for (auto& [n, v] : fromPairs(parameterValues)) values[n] = v;
    auto verdicts = validate(c, values);
    response.__sizeitem = int(verdicts.size());
    response.item = verdicts.empty() ? nullptr : soap_new_qor__ValidateParametersInfo(soap, response.__sizeitem);
    for (size_t i = 0; i < verdicts.size(); ++i) {
        auto& o = response.item[i];
        const Verdict& v = verdicts[i];
        o.name = str(soap, v.name);
        o.isValid = v.isValid;
        o.invalidDetails = str(soap, v.invalidDetails);
        o.isEnabled = v.isEnabled;
        o.disabledDetails = str(soap, v.disabledDetails);
        o.legalValues = strings(soap, v.legalValues);
        o.legalValuesAreEnforced = v.enforced;
    }
    response.validationState = bytes(soap, s.validationState(c.fullName, s.nextValidationCounter()));
    OP_END
}
