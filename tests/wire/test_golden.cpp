// Golden wire tests: every operation is sent through the channel to a
// loopback server; the raw request must match the hand-written expected XML
// and HTTP headers, and the hand-written reply must decode as expected.
#include <gtest/gtest.h>

#include <functional>
#include <map>

#include <libxml/parser.h>
#include <libxml/tree.h>

#include "connection/channel.h"
#include "frame/settings.h"
#include "host/property_collection.h"
#include "host/xml_functions.h"
#include "soapH.h"
#include "wire/convert.h"
#include "wire/fixtures.h"
#include "wire/loopback_server.h"
#include "wire/xml_canon.h"

using namespace pelox;
using namespace pelox::test;
using pelox::wire::fromArray;
using pelox::wire::NameValues;

namespace {

using Strings = std::vector<std::u16string>;

// Runs one operation against url inside ctx; checks the decoded reply with
// EXPECTs and returns callWithRetry's result.
using Run = std::function<int(SoapStruct& ctx, const std::string& url)>;

#define CALL(op, ...)                                                                                        \
    callWithRetry(ctx, "soap call to " #op "() failed", [&](struct soap* s) {                               \
        return soap_call_qor__##op(s, url.c_str(), nullptr, __VA_ARGS__);                                   \
    })

char* u8(SoapStruct& ctx, const char16_t* text) { return wire::utf8(ctx.get(), text); }

const std::map<std::string, Run>& operations() {
    static const std::map<std::string, Run> table = {
        {"Login",
         [](SoapStruct& ctx, const std::string& url) {
             qor__LoginResponse r;
             int rc = CALL(Login, u8(ctx, u"alice"), u8(ctx, u"p<&>\"'"), u8(ctx, u"PELOX"), u8(ctx, u"8.5.0.0"),
                           u8(ctx, u"Z\u00fcrich-\u2713"), r);
             if (rc == 0) {
                 EXPECT_STREQ(r.sessionID, "S-1");
             }
             return rc;
         }},
        {"GetEndpoint",
         [](SoapStruct& ctx, const std::string& url) {
             qor__GetEndpointResponse r;
             int rc = CALL(GetEndpoint, u8(ctx, u"RUNNERENDPOINT"), r);
             if (rc == 0) {
                 EXPECT_STREQ(r.url, "http://runner.example:8080/qorvane/runner");
             }
             return rc;
         }},
        {"GetConfigurationSettings",
         [](SoapStruct& ctx, const std::string& url) {
             qor__GetConfigurationSettingsResponse r;
             int rc = CALL(GetConfigurationSettings, r);
             if (rc == 0) {
                 std::vector<NameValues> expected = {{u"FileEndPoint", {u"http://files.example/qorvane/file"}},
                                                     {u"ClusterMethod", {}},
                                                     {u"ServerVersion", {u"7", u"extra"}}};
                 EXPECT_EQ(fromArray(r.settings), expected);
             }
             return rc;
         }},
        {"GetAllJobs",
         [](SoapStruct& ctx, const std::string& url) {
             qor__GetAllJobsResponse r;
             int rc = CALL(GetAllJobs, u8(ctx, u"S-1"), u8(ctx, u"PELOX"), 4, r);
             if (rc == 0) {
                 EXPECT_EQ(wire::arraySize(r.jobsArray), 2);
                 EXPECT_STREQ(r.jobsArray->__ptr[0].jobID, "J-1");
                 EXPECT_STREQ(r.jobsArray->__ptr[1].jobID, "J-2");
                 EXPECT_STREQ(r.jobsArray->__ptr[1].jobHostEndPoint, "http://h2/qorvane/runner");
             }
             return rc;
         }},
        {"CheckSkerrowClientVersion",
         [](SoapStruct& ctx, const std::string& url) {
             qor__CheckSkerrowClientVersionResponse r;
             int rc = CALL(CheckSkerrowClientVersion, u8(ctx, u"8.5.0.0"), r);
             if (rc == 0) {  // members out of order, an enum given as integer, boolean "1"
                 EXPECT_EQ(r.serverApiVersion, 12);
                 EXPECT_STREQ(r.serverVersion, "8.5.1");
                 EXPECT_EQ(r.versionComparisonEnum, ServerIsNewerThanClient);
                 EXPECT_EQ(r.clientCompatibleEnum, CompatibilityTrue);
                 EXPECT_TRUE(r.clientInstallDownloadsPermitted);
             }
             return rc;
         }},
        {"CheckClientTypeCompatibility",
         [](SoapStruct& ctx, const std::string& url) {
             qor__CheckSkerrowClientVersionResponse r;
             int rc = CALL(CheckClientTypeCompatibility, u8(ctx, u"PELOX"), u8(ctx, u"8.5.0.0"), 0, r);
             if (rc == 0) {
                 EXPECT_EQ(r.versionComparisonEnum, ClientIsNewerThanServer);
                 EXPECT_EQ(r.clientCompatibleEnum, CompatibilityFalse);
                 EXPECT_FALSE(r.clientInstallDownloadsPermitted);
             }
             return rc;
         }},
        {"ListMethods",
         [](SoapStruct& ctx, const std::string& url) {
             qor__ListMethodsResponse r;
             int rc = CALL(ListMethods, nullptr, r);  // a null member is left out
             if (rc == 0) {
                 EXPECT_STREQ(r.methods, "Login;GetEndpoint;CheckClientTypeCompatibility");
             }
             return rc;
         }},
        {"GetFolderContents",
         [](SoapStruct& ctx, const std::string& url) {
             qor__GetFolderContentsResponse r;
             int rc = CALL(GetFolderContents, u8(ctx, u"S-1"), u8(ctx, u"/data"), r);
             if (rc == 0) {
                 EXPECT_EQ(wire::arraySize(r.folderContents), 2);
                 const qor__FileData& big = wire::at(r.folderContents, 0);
                 EXPECT_STREQ(big.size, "12345678901234");  // beyond 32 bits, kept as text
                 EXPECT_FALSE(big.isFolder);
                 const qor__FileData& sub = wire::at(r.folderContents, 1);
                 EXPECT_STREQ(sub.name, "sub");
                 EXPECT_TRUE(sub.isFolder);
                 EXPECT_EQ(sub.size, nullptr);
             }
             return rc;
         }},
        {"DoesFileExist",
         [](SoapStruct& ctx, const std::string& url) {
             qor__DoesFileExistResponse r;
             int rc = CALL(DoesFileExist, u8(ctx, u"S-1"), u8(ctx, u"/data/a.txt"), r);
             if (rc == 0) {
                 EXPECT_TRUE(r.result);
             }
             return rc;
         }},
        {"UploadFile",
         [](SoapStruct& ctx, const std::string& url) {
             qor__EmptyResponse r;
             return CALL(UploadFile, u8(ctx, u"S-1"), u8(ctx, u"/data/up.bin"),
                         wire::toBase64(ctx.get(), std::vector<unsigned char>{0, 1, 2, 255, 254}), true, r);
         }},
        {"UploadFileZipped",
         [](SoapStruct& ctx, const std::string& url) {
             qor__EmptyResponse r;
             return CALL(UploadFileZipped, u8(ctx, u"S-1"), u8(ctx, u"/data/up.zip"),
                         wire::toBase64(ctx.get(), reinterpret_cast<const unsigned char*>("hello"), 5), false, r);
         }},
        {"DownloadFile",
         [](SoapStruct& ctx, const std::string& url) {
             qor__DownloadFileResponse r;
             int rc = CALL(DownloadFile, u8(ctx, u"S-1"), u8(ctx, u"/data/a.txt"), r);
             if (rc == 0) {
                 EXPECT_EQ(wire::fromBase64(r.data), std::vector<unsigned char>({'H', 'e', 'l', 'l', 'o'}));
             }
             return rc;
         }},
        {"DownloadFileZipped",
         [](SoapStruct& ctx, const std::string& url) {
             qor__DownloadFileZippedResponse r;
             int rc = CALL(DownloadFileZipped, u8(ctx, u"S-1"), u8(ctx, u"/data/a.zip"), r);
             if (rc == 0) {
                 EXPECT_EQ(r.zippedData, nullptr);  // absent: no buffer
             }
             return rc;
         }},
        {"LaunchBlockingJob",
         [](SoapStruct& ctx, const std::string& url) {
             qor__LaunchBlockingJobResponse r;
             auto* parameters = wire::toArrayOfNameValuePair(ctx.get(), {{u"alpha", {u"1", u"two"}}, {u"beta", {}}});
             int rc = CALL(LaunchBlockingJob, u8(ctx, u"S-1"), u8(ctx, u"Protocols/Run"), parameters, 5000, 3, r);
             if (rc == 0) {
                 EXPECT_STREQ(r.jobID, "J-9");
                 EXPECT_EQ(r.status, 6);
                 EXPECT_EQ(r.responseFlags, 3);
                 EXPECT_EQ(fromArray(r.runResults), (std::vector<NameValues>{{u"out", {u"r1", u"r2"}}}));
             }
             return rc;
         }},
        {"CreateJob",
         [](SoapStruct& ctx, const std::string& url) {
             qor__CreateJobResponse r;
             int rc = CALL(CreateJob, u8(ctx, u"S-1"), r);
             if (rc == 0) {
                 EXPECT_STREQ(r.jobID, "J-7");
             }
             return rc;
         }},
        {"ClearJob",
         [](SoapStruct& ctx, const std::string& url) {
             qor__ClearJobResponse r;
             // A relaunch sends its zipped settings (a zlib stream).
             int rc = CALL(ClearJob, u8(ctx, u"S-1"), u8(ctx, u"J-7"),
                           wire::toBase64(ctx.get(), std::vector<unsigned char>{0x78, 0x9c, 3, 0, 0, 0, 0, 1}), r);
             if (rc == 0) {
                 EXPECT_EQ(r.success, 1);
             }
             return rc;
         }},
        {"LaunchJob",
         [](SoapStruct& ctx, const std::string& url) {
             qor__LaunchJobResponse r;
             auto* parameters = wire::toArrayOfNameValuePair(ctx.get(), {{u"gamma", {u""}}});
             // The launch always sends an empty job ID hint.
             int rc = CALL(LaunchJob, u8(ctx, u"S-1"), u8(ctx, u""), u8(ctx, u"Protocols/Run"), parameters, r);
             if (rc == 0) {
                 EXPECT_STREQ(r.jobID, "J-8");
             }
             return rc;
         }},
        {"SetJobStatus",
         [](SoapStruct& ctx, const std::string& url) {
             qor__EmptyResponse r;
             return CALL(SetJobStatus, u8(ctx, u"S-1"), u8(ctx, u"J-7"), 3, r);
         }},
        {"StopJob",
         [](SoapStruct& ctx, const std::string& url) {
             qor__EmptyResponse r;
             try {
                 CALL(StopJob, u8(ctx, u"S-1"), u8(ctx, u"J-7"), r);
                 ADD_FAILURE() << "a SOAP 1.1 server fault must raise SoapRequestException";
             } catch (const SoapRequestException& e) {
                 EXPECT_EQ(e.messages(), (Strings{u"Job J-7 is not running", u"Stop refused by runner",
                                                  u"SOAP Faultcode: SOAP-ENV:Server. Error code: 2",
                                                  u"SOAP Faultstring: Job could not be stopped",
                                                  u"soap call to StopJob() failed"}));
             }
             return 0;
         }},
        {"GetJobStatus",
         [](SoapStruct& ctx, const std::string& url) {
             qor__GetJobStatusResponse r;
             int rc = CALL(GetJobStatus, u8(ctx, u"S-1"), u8(ctx, u"J-7"), r);
             if (rc == 0) {
                 EXPECT_EQ(r.status, 5);
             }
             return rc;
         }},
        {"GetJobStatistics",
         [](SoapStruct& ctx, const std::string& url) {
             qor__GetJobStatisticsResponse r;
             int rc = CALL(GetJobStatistics, u8(ctx, u"S-1"), u8(ctx, u"J-7"), u8(ctx, u"all"), r);
             if (rc == 0) {
                 EXPECT_EQ(r.time, 42);
                 EXPECT_EQ(fromArray(r.numOutsTrue), (std::vector<int>{1, 2}));
                 EXPECT_EQ(fromArray(r.numOutsFalse), (std::vector<int>{0, -1}));
                 EXPECT_EQ(fromArray(r.componentStatusFlags), std::vector<int>{});
                 EXPECT_EQ(fromArray(r.componentIDs), (Strings{u"c1", u"c2"}));
                 EXPECT_EQ(r.statusState, 2);
             }
             return rc;
         }},
        {"GetJobErrors",
         [](SoapStruct& ctx, const std::string& url) {
             qor__GetJobErrorsResponse r;
             int rc = CALL(GetJobErrors, u8(ctx, u"S-1"), u8(ctx, u"J-7"), r);
             if (rc == 0) {
                 EXPECT_EQ(fromArray(r.errors), Strings{u"Division by zero & more"});
                 EXPECT_EQ(fromArray(r.componentIDs), Strings{u"c2"});
             }
             return rc;
         }},
        {"GetJobResults",
         [](SoapStruct& ctx, const std::string& url) {
             qor__GetJobResultsResponse r;
             int rc = CALL(GetJobResults, u8(ctx, u"S-1"), u8(ctx, u"J-7"), r);
             if (rc == 0) {
                 EXPECT_EQ(fromArray(r.runResults), (std::vector<NameValues>{{u"Result", {u"\u00dcn\u00efcode \u2713"}}}));
             }
             return rc;
         }},
        {"GetJobResults2",
         [](SoapStruct& ctx, const std::string& url) {
             qor__GetJobResults2Response r;
             int rc = CALL(GetJobResults2, u8(ctx, u"S-1"), u8(ctx, u"J-7"), 1, r);
             if (rc == 0) {
                 EXPECT_EQ(fromArray(r.runResults), (std::vector<NameValues>{{u"a", {}}, {u"b", {u"x"}}}));
             }
             return rc;
         }},
        {"ReleaseJob",
         [](SoapStruct& ctx, const std::string& url) {
             qor__EmptyResponse r;
             try {
                 CALL(ReleaseJob, u8(ctx, u"S-1"), u8(ctx, u"J-7"), r);
                 ADD_FAILURE() << "a SOAP 1.2 receiver fault must raise SoapRequestException";
             } catch (const SoapRequestException& e) {
                 EXPECT_EQ(e.messages(), (Strings{u"Job J-7 is locked", u"Try again later",
                                                  u"SOAP Faultcode: SOAP-ENV:Receiver. Error code: 2",
                                                  u"SOAP Faultstring: Release failed", u"soap call to ReleaseJob() failed"}));
             }
             return 0;
         }},
        {"GetJobData",
         [](SoapStruct& ctx, const std::string& url) {
             qor__GetJobDataResponse r;
             int rc = CALL(GetJobData, u8(ctx, u"S-1"), u8(ctx, u"J-7"), u8(ctx, u"xml"), r);
             if (rc == 0) {
                 auto bytes = wire::fromBase64(r.messageXML);
                 EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "<Client/>");
             }
             return rc;
         }},
        {"PutJobData",
         [](SoapStruct& ctx, const std::string& url) {
             qor__EmptyResponse r;
             return CALL(PutJobData, u8(ctx, u"S-1"), u8(ctx, u"J-7"), u8(ctx, u"xml"),
                         wire::toBase64(ctx.get(), reinterpret_cast<const unsigned char*>("<a/>"), 4), r);
         }},
        {"MoveComponent",
         [](SoapStruct& ctx, const std::string& url) {
             qor__EmptyResponse r;
             return CALL(MoveComponent, u8(ctx, u"S-1"), u8(ctx, u"A/old"), u8(ctx, u"B/new"), r);
         }},
        {"GetComponentVersionZipped",
         [](SoapStruct& ctx, const std::string& url) {
             qor__GetComponentVersionResponse r;
             int rc = CALL(GetComponentVersionZipped, u8(ctx, u"S-1"), u8(ctx, u"A/comp"), 3, r);
             if (rc == 0) {
                 EXPECT_EQ(r.componentVersion, 3);
                 EXPECT_STREQ(r.fullName, "A/comp");
                 EXPECT_EQ(wire::fromBase64(r.componentXML), (std::vector<unsigned char>{'P', 'K', 3, 4}));
             }
             return rc;
         }},
        {"GetComponentVersions",
         [](SoapStruct& ctx, const std::string& url) {
             qor__GetComponentVersionsResponse r;
             int rc = CALL(GetComponentVersions, u8(ctx, u"S-1"), u8(ctx, u"A/comp"), r);
             if (rc == 0) {
                 EXPECT_EQ(fromArray(r.versions), (std::vector<int>{1, 2, 3}));
             }
             return rc;
         }},
        {"RegisterComponentZipped",
         [](SoapStruct& ctx, const std::string& url) {
             qor__RegisterComponentZippedResponse r;
             int rc = CALL(RegisterComponentZipped, u8(ctx, u"S-1"), u8(ctx, u"A"),
                           wire::toBase64(ctx.get(), std::vector<unsigned char>{'P', 'K', 3, 4}), r);
             if (rc == 0) {
                 EXPECT_STREQ(r.newComponentGUID, "{0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}");
             }
             return rc;
         }},
        {"UnRegisterComponent",
         [](SoapStruct& ctx, const std::string& url) {
             qor__EmptyResponse r;
             return CALL(UnRegisterComponent, u8(ctx, u"S-1"), u8(ctx, u"A/comp"), r);
         }},
        {"GetComponentNames",
         [](SoapStruct& ctx, const std::string& url) {
             qor__GetComponentNamesResponse r;
             int rc = CALL(GetComponentNames, u8(ctx, u"S-1"), u8(ctx, u"A"), r);
             if (rc == 0) {
                 EXPECT_EQ(fromArray(r.componentNames), (Strings{u"x", u"y"}));
             }
             return rc;
         }},
        {"GetProtocolNames",
         [](SoapStruct& ctx, const std::string& url) {
             qor__GetProtocolNamesResponse r;
             int rc = CALL(GetProtocolNames, u8(ctx, u"S-1"), u8(ctx, u"A"), -1, r);
             if (rc == 0) {
                 EXPECT_EQ(fromArray(r.protocolNames), Strings{u"A/proto"});
             }
             return rc;
         }},
        {"GetFolderNames",
         [](SoapStruct& ctx, const std::string& url) {
             qor__GetFolderNamesResponse r;
             int rc = CALL(GetFolderNames, u8(ctx, u"S-1"), u8(ctx, u""), r);
             if (rc == 0) {
                 EXPECT_EQ(wire::arraySize(r.folderNames), 0);  // absent array: size 0
             }
             return rc;
         }},
        {"GetCalculableProperties",
         [](SoapStruct& ctx, const std::string& url) {
             qor__GetCalculablePropertiesResponse r;
             int rc = CALL(GetCalculableProperties, u8(ctx, u"S-1"), r);
             if (rc == 0) {
                 EXPECT_EQ(fromArray(r.calcProperties), (Strings{u"MW", u"LogP"}));
             }
             return rc;
         }},
        {"GetCalculablePropertiesByCategory",
         [](SoapStruct& ctx, const std::string& url) {
             qor__GetCalculablePropertiesByCategoryResponse r;
             int rc = CALL(GetCalculablePropertiesByCategory, u8(ctx, u"S-1"), r);
             if (rc == 0) {
                 EXPECT_EQ(fromArray(r.calculabesByCategory), (std::vector<NameValues>{{u"Physical", {u"MW", u"LogP"}}}));
             }
             return rc;
         }},
        {"GetComponentInfo",
         [](SoapStruct& ctx, const std::string& url) {
             qor__GetComponentInfoResponse r;
             int rc = CALL(GetComponentInfo, u8(ctx, u"S-1"), u8(ctx, u"A/comp"), r);
             if (rc == 0) {
                 EXPECT_STREQ(r.description, "Does things");
                 EXPECT_EQ(wire::arraySize(r.parameters), 1);
                 const qor__ParameterInfo& p = wire::at(r.parameters, 0);
                 EXPECT_STREQ(p.class_, "Input");
                 EXPECT_TRUE(p.required);
                 EXPECT_FALSE(p.multipleSelect);
                 EXPECT_EQ(fromArray(p.legalValues), (Strings{u"v", u"w"}));
             }
             return rc;
         }},
        {"FindParameterInfo2",
         [](SoapStruct& ctx, const std::string& url) {
             qor__FindParameterInfoResponse2 r;
             int rc = CALL(FindParameterInfo2, u8(ctx, u"S-1"), u8(ctx, u"A/comp"), u8(ctx, u"p1"), 0, r);
             if (rc == 0) {
                 EXPECT_STREQ(r.name, "p1");
                 EXPECT_TRUE(r.implementation);
                 EXPECT_FALSE(r.required);
                 EXPECT_EQ(fromArray(r.members), Strings{u"m1"});
                 EXPECT_EQ(r.values, nullptr);
             }
             return rc;
         }},
        {"GetComponentInfo2",
         [](SoapStruct& ctx, const std::string& url) {
             qor__GetComponentInfoResponse2 r;
             int rc = CALL(GetComponentInfo2, u8(ctx, u"S-1"), u8(ctx, u"A/comp"), 1, r);
             if (rc == 0) {
                 EXPECT_EQ(wire::arraySize(r.parameters), 2);
                 EXPECT_TRUE(wire::at(r.parameters, 0).multipleSelect);
                 EXPECT_TRUE(wire::at(r.parameters, 1).implementation);
                 EXPECT_EQ(fromArray(wire::at(r.parameters, 1).values), Strings{u"7"});
             }
             return rc;
         }},
        {"ValidateParameters",
         [](SoapStruct& ctx, const std::string& url) {
             qor__ValidateParametersResponse r;
             int rc = CALL(ValidateParameters, u8(ctx, u"S-1"), u8(ctx, u"A/comp"),
                           wire::toBase64(ctx.get(), std::vector<unsigned char>{1, 2, 3}),
                           wire::toArrayOfNameValuePair(ctx.get(), {{u"p1", {u"v1"}}}), r);
             if (rc == 0) {  // item elements, then validationState
                 EXPECT_EQ(r.__sizeitem, 2);
                 if (r.__sizeitem != 2) return -1;
                 EXPECT_STREQ(r.item[0].invalidDetails, "too big");
                 EXPECT_FALSE(r.item[0].isValid);
                 EXPECT_TRUE(r.item[0].legalValuesAreEnforced);
                 EXPECT_EQ(fromArray(r.item[0].legalValues), Strings{u"1"});
                 EXPECT_STREQ(r.item[1].disabledDetails, "not used");
                 EXPECT_FALSE(r.item[1].isEnabled);
                 EXPECT_EQ(wire::fromBase64(r.validationState), (std::vector<unsigned char>{4, 5, 6}));
             }
             return rc;
         }},
        {"GetHWAddress",
         [](SoapStruct& ctx, const std::string& url) {
             qor__GetHWAddressResponse r;
             int rc = CALL(GetHWAddress, u8(ctx, u"S-1"), r);
             if (rc == 0) {
                 EXPECT_STREQ(r.hwAddress, "00:11:22:33:44:55");
             }
             return rc;
         }},
    };
    return table;
}

std::vector<std::string> operationNames() {
    std::vector<std::string> names;
    for (const auto& [name, run] : operations()) names.push_back(name);
    return names;
}

class GoldenWire : public ::testing::TestWithParam<std::string> {};

TEST(GoldenWireTable, CoversEveryOperationOfTheServiceDefinition) {
    std::ifstream in(PELOX_SERVICE_DEFINITION);
    std::string line;
    size_t operationsDeclared = 0;
    while (std::getline(in, line))
        if (line.rfind("int qor__", 0) == 0) {
            ++operationsDeclared;
            std::string name = line.substr(9, line.find('(') - 9);
            EXPECT_TRUE(operations().count(name)) << name << " has no golden test";
        }
    EXPECT_EQ(operationsDeclared, 42u);
    EXPECT_EQ(operations().size(), 42u);
}

TEST_P(GoldenWire, RequestMatchesAndReplyDecodes) {
    const std::string op = GetParam();
    LoopbackServer server(replyFixture(op));
    const std::string path = "/qorvane/" + op;
    {
        SoapStruct ctx;
        EXPECT_EQ(operations().at(op)(ctx, server.url(path)), 0);
    }
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u) << "one connection per call";
    const std::string& request = requests[0];

    // HTTP: POST to the endpoint's path, the SOAP 1.1 content type, a correct
    // Content-Length, an empty SOAPAction, no keep-alive, no compression.
    EXPECT_EQ(request.substr(0, request.find("\r\n")), "POST " + path + " HTTP/1.1");
    EXPECT_EQ(headerValue(request, "Content-Type"), "text/xml; charset=utf-8");
    EXPECT_EQ(headerValue(request, "Content-Length"), std::to_string(bodyOf(request).size()));
    EXPECT_EQ(headerValue(request, "SOAPAction"), "\"\"");
    EXPECT_EQ(headerValue(request, "Transfer-Encoding"), "\x01");
    EXPECT_EQ(headerValue(request, "Content-Encoding"), "\x01");
    EXPECT_NE(headerValue(request, "Connection"), "keep-alive");
    // Exactly these headers, in this order: in particular no Accept-Encoding,
    // since the library asks for no compressed replies.
    std::vector<std::string> names;
    const std::string head = headerOf(request);
    for (size_t line = head.find("\r\n"); line != std::string::npos && line + 2 < head.size(); line = head.find("\r\n", line + 2)) {
        const size_t colon = head.find(':', line + 2);
        if (colon == std::string::npos || colon > head.find("\r\n", line + 2)) break;
        names.push_back(head.substr(line + 2, colon - line - 2));
    }
    EXPECT_EQ(names, (std::vector<std::string>{"Host", "User-Agent", "Content-Type", "Content-Length", "Connection", "SOAPAction"}));
    EXPECT_EQ(headerValue(request, "User-Agent"), "gSOAP/2.8");

    const std::string body = bodyOf(request);
    EXPECT_EQ(body.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n", 0), 0u) << body.substr(0, 60);
    EXPECT_EQ(canonicalXml(body), canonicalXml(expectedRequest(op))) << body;
}

// The text of the first element (or attribute, after "@") named name, in a
// document parsed as strictly as a conforming server parser would; a
// document it refuses gives "PARSE ERROR: ...".
std::string strictlyParsed(const std::string& xml, const std::string& name) {
    xmlDocPtr doc = xmlReadMemory(xml.data(), static_cast<int>(xml.size()), "strict.xml", nullptr, XML_PARSE_NONET);
    if (!doc) {
        const xmlError* error = xmlGetLastError();
        return "PARSE ERROR: " + std::string(error && error->message ? error->message : "unknown");
    }
    const bool attribute = name[0] == '@';
    const std::string wanted = attribute ? name.substr(1) : name;
    std::string found = "(absent)";
    std::function<bool(xmlNode*)> walk = [&](xmlNode* node) {
        for (; node; node = node->next) {
            if (node->type != XML_ELEMENT_NODE) continue;
            xmlChar* text = nullptr;
            if (attribute && xmlHasProp(node, BAD_CAST wanted.c_str()))
                text = xmlGetProp(node, BAD_CAST wanted.c_str());
            else if (!attribute && wanted == reinterpret_cast<const char*>(node->name))
                text = xmlNodeGetContent(node);
            if (text) {
                found = reinterpret_cast<const char*>(text);
                xmlFree(text);
                return true;
            }
            if (walk(node->children)) return true;
        }
        return false;
    };
    walk(xmlDocGetRootElement(doc));
    xmlFreeDoc(doc);
    return found;
}

// Text holding characters XML 1.0 forbids (the escape sequences of a
// program's coloured output, U+FFFE, a NUL) still gives documents that a
// conforming parser accepts, with U+FFFD in their place and nothing after a
// NUL lost: requests, whether their text came as UTF-16 or as UTF-8 bytes
// (one not UTF-8 at all), and property collections written back as job data.
TEST(WellFormedXml, ForbiddenCharactersBecomeReplacementCharacters) {
    const std::u16string awkward = u"red \x1b[31mtext\x1b[0m \x01 \uFFFE\uFFFF tab\t" + std::u16string(1, u'\0') + u"after";
    const std::string expected = "red \uFFFD[31mtext\uFFFD[0m \uFFFD \uFFFD\uFFFD tab\t\uFFFDafter";

    LoopbackServer server(replyFixture("Login"));
    {
        SoapStruct ctx;
        qor__LoginResponse r;
        char utf8Bytes[] = "raw\x02\xEF\xBF\xBE\xFF!";
        ASSERT_EQ(callWithRetry(ctx, "x", [&](struct soap* s) {
                      return soap_call_qor__Login(s, server.url().c_str(), nullptr, wire::utf8(s, std::u16string_view(awkward)),
                                                  utf8Bytes, nullptr, nullptr, nullptr, r);
                  }),
                  0);
    }
    const std::string request = bodyOf(server.requests().at(0));
    EXPECT_EQ(strictlyParsed(request, "name"), expected) << request;
    EXPECT_EQ(strictlyParsed(request, "password"), "raw\uFFFD\uFFFD\uFFFD!") << request;

    auto collection = host::CPropertyCollection::newInstance();
    collection->setTexts(u"Stdout" + std::u16string(1, u'\0') + u"\x07", {awkward, u"plain"});
    host::Bytes written;
    host::CXMLWriterFunctions().WriteToBuffer(written, *collection, false, nullptr);
    const std::string document(written.begin(), written.end());
    EXPECT_EQ(strictlyParsed(document, "@key"), "Stdout\uFFFD\uFFFD") << document;
    EXPECT_EQ(strictlyParsed(document, "value"), expected) << document;
}

INSTANTIATE_TEST_SUITE_P(Operations, GoldenWire, ::testing::ValuesIn(operationNames()),
                         [](const ::testing::TestParamInfo<std::string>& info) { return info.param; });

}  // namespace
