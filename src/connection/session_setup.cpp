#include "peloxImp.h"
#include "connection/session_setup.h"

#include <algorithm>

#include "soapH.h"
#include "wire/convert.h"
#include "connection/channel.h"
#include "host/credentials.h"
#include "host/ip_resolver.h"
#include "host/qor_keys.h"
#include "host/tarn_context.h"
#include "host/tarn_util.h"

namespace pelox {


namespace {

bool listed(const std::vector<std::string>& names, std::string_view name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

// Makes a call whose request texts are UTF-8 already (the gSOAP stubs take
// char*, the texts stay owned by the caller).
char* mut(const std::string& s) { return const_cast<char*>(s.c_str()); }

}  // namespace

std::string clientTypeText(std::u16string_view clientTypeSuffix) {
    return "{pelox} " + tarn::util::ConvertStringtoUTF8(clientTypeSuffix);
}

std::u16string shortUserName(std::u16string_view userName) {
    // Linear in the name's length, however many separators it holds.
    const size_t cut = userName.find_last_of(u"/\\");
    return std::u16string(cut == std::u16string_view::npos ? userName : userName.substr(cut + 1));
}

int listMethods(const std::string& endpoint, const char* sessionId, std::vector<std::string>& names) {
    names.clear();
    SoapStruct ctx;
    qor__ListMethodsResponse response;
    const int rc = callWithRetry(ctx, "soap call to ListMethods() failed", [&](struct soap* s) {
        return soap_call_qor__ListMethods(s, endpoint.c_str(), "", const_cast<char*>(sessionId), response);
    });
    if (rc != 0) return rc;
    if (response.methods)
        names = tarn::util::splitString(std::string_view(response.methods),
                                        tarn::util::ConvertStringtoUTF8(qor::QOR_qorListMethodsDelimiter));
    return 0;
}

int checkClientCompatibility(const std::string& locatorUrl, const std::string& clientType,
                             const std::string& clientVersion) {
    std::vector<std::string> methods;
    int rc = listMethods(locatorUrl, nullptr, methods);
    if (rc != 0) return rc;

    SoapStruct ctx;
    qor__CheckSkerrowClientVersionResponse info;
    if (listed(methods, "CheckClientTypeCompatibility")) {
        rc = callWithRetry(ctx, "soap call to CheckClientTypeCompatibility() failed", [&](struct soap* s) {
            return soap_call_qor__CheckClientTypeCompatibility(s, locatorUrl.c_str(), "", mut(clientType),
                                                               mut(clientVersion), 0, info);
        });
        if (rc != 0) return rc;
        if (info.clientCompatibleEnum == CompatibilityTrue) return 0;
        return info.versionComparisonEnum == ClientIsNewerThanServer ? 0 : PELOX_E_SERVER_VERSION;
    }
    rc = callWithRetry(ctx, "soap call to CheckClientVersion() failed", [&](struct soap* s) {
        return soap_call_qor__CheckSkerrowClientVersion(s, locatorUrl.c_str(), "", mut(clientVersion), info);
    });
    if (rc != 0) return rc;
    if (info.clientCompatibleEnum == CompatibilityTrue) return 0;
    const std::string_view version = info.serverVersion ? info.serverVersion : "";
    return (version.starts_with("5.1.") || version.starts_with("5.0.")) ? 0 : PELOX_E_SERVER_VERSION;
}

int loginCall(const std::string& locatorUrl, const std::string& name, const std::string& password,
              const std::string& clientType, const std::string& clientVersion, const std::string& clientMachine,
              std::string& sessionId) {
    SoapStruct ctx;
    qor__LoginResponse response;
    const int rc = callWithRetry(ctx, "soap call to Login() failed", [&](struct soap* s) {
        return soap_call_qor__Login(s, locatorUrl.c_str(), "", mut(name), mut(password), mut(clientType),
                                    mut(clientVersion), mut(clientMachine), response);
    });
    if (rc != 0) return rc;
    sessionId = response.sessionID ? response.sessionID : "";
    return 0;
}

namespace {

int setXmldbEndPoint(SessionInfo& session, std::u16string_view sessionId) {
    return tarn::annotate(u"SessionInfo", u"SetXmldbEndPoint", [&]() -> int {
        pelox::host::CCredentials credentials;
        credentials.SetCredentialsString(sessionId);
        credentials.DecryptBody();
        const std::string fromCredentials = credentials.GetXMLDBEndPoint();
        if (!fromCredentials.empty()) {
            session.xmldbEndpoint = fromCredentials;
            warnOfPlainEndpoints(session.serverUrl, {{"XMLDB (from the session's credentials)", fromCredentials}});
        }
        if (session.xmldbEndpoint.empty()) throw tarn::Exception("Missing SOAP XmldbEndPoint");

        const std::string id = tarn::util::ConvertStringtoUTF8(sessionId);
        std::vector<std::string> methods;
        const int rc = listMethods(session.xmldbEndpoint, id.c_str(), methods);
        if (rc != 0) return rc;
        session.hasComponentInfo2 = listed(methods, "GetComponentInfo2") && listed(methods, "ValidateParameters");
        session.hasFindParameterInfo2 = listed(methods, "FindParameterInfo2");
        session.hasProtocolNames = listed(methods, "GetProtocolNames");
        session.hasCalculablePropertiesByCategory = listed(methods, "GetCalculablePropertiesByCategory");
        return 0;
    });
}

int setRunnerCapabilities(SessionInfo& session, std::u16string_view sessionId) {
    return tarn::annotate(u"SessionInfo", u"SetRunnerEndPoint", [&]() -> int {
        std::string runner;
        int rc = runnerEndpoint(session, runner);
        if (rc != 0) return rc;
        const std::string id = tarn::util::ConvertStringtoUTF8(sessionId);
        std::vector<std::string> methods;
        rc = listMethods(runner, id.c_str(), methods);
        if (rc != 0) return rc;
        session.hasJobResults2 = listed(methods, "GetJobResults2");
        return 0;
    });
}

int setServerLocality(SessionInfo& session, std::u16string_view sessionId) {
    return tarn::annotate(u"SessionInfo", u"SetServerIsLocal", [&]() -> int {
        const std::string id = tarn::util::ConvertStringtoUTF8(sessionId);
        SoapStruct ctx;
        qor__GetHWAddressResponse response;
        const int rc = callWithRetry(ctx, "soap call to GetHWAddress() failed", [&](struct soap* s) {
            return soap_call_qor__GetHWAddress(s, session.fileEndpoint.c_str(), "", mut(id), response);
        });
        if (rc != 0) return rc;
        session.serverIsLocal =
            response.hwAddress && pelox::host::CIPResolver::IsHWAddressOnLocalMachine(std::string_view(response.hwAddress),
                                                                                      session.fileEndpoint);
        return 0;
    });
}

}  // namespace

int setUpSession(SessionInfo& session, std::u16string_view sessionId) {
    int rc = tarn::annotate(u"SessionInfo", u"SetUpEndpoints", [&] { return setUpEndpoints(session); });
    if (rc != 0) return rc;
    rc = setXmldbEndPoint(session, sessionId);
    if (rc != 0) return rc;
    rc = setRunnerCapabilities(session, sessionId);
    if (rc != 0) return rc;
    return setServerLocality(session, sessionId);
}

}  // namespace pelox
