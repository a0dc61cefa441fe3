// Replies that are not what the operation expects: each one ends in a status
// code or the expected exception, and never in a crash.
#include <gtest/gtest.h>

#include <functional>
#include <map>

#include "connection/channel.h"
#include "frame/settings.h"
#include "host/compress.h"
#include "host/tarn_util.h"
#include "soapH.h"
#include "wire/convert.h"
#include "wire/fixtures.h"
#include "wire/loopback_server.h"

using namespace pelox;
using namespace pelox::test;

namespace {

class BadReplies : public ::testing::Test {
protected:
    void TearDown() override { settings().throwOnFailure = false; }

    // Sends GetJobStatus to a server answering with raw; returns the result.
    static int getJobStatus(const std::string& raw, int* status = nullptr) {
        LoopbackServer server(raw);
        SoapStruct ctx;
        qor__GetJobStatusResponse r;
        int rc = callWithRetry(ctx, "soap call to GetJobStatus() failed", [&](struct soap* s) {
            return soap_call_qor__GetJobStatus(s, server.url().c_str(), nullptr, wire::utf8(ctx.get(), u"S-1"),
                                               wire::utf8(ctx.get(), u"J-7"), r);
        });
        if (status) *status = r.status;
        return rc;
    }
};

TEST_F(BadReplies, FailuresWithoutAFaultReturnMinus973) {
    EXPECT_EQ(getJobStatus(replyFixture("NeitherResponseNorFault")), -973);
    EXPECT_EQ(getJobStatus(replyFixture("Truncated")), -973);
    EXPECT_EQ(getJobStatus(replyFixture("Http500")), -973);
    EXPECT_EQ(getJobStatus(replyFixture("ClosedMidReply")), -973);
    EXPECT_EQ(getJobStatus(std::string()), -973);  // closed before any byte
    EXPECT_EQ(getJobStatus("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello"), -973);
}

TEST_F(BadReplies, ThrowOnFailureRaisesWithTheRuntimesErrorAndTheCallText) {
    settings().throwOnFailure = true;
    for (const char* fixture : {"NeitherResponseNorFault", "Truncated", "Http500", "ClosedMidReply"}) {
        try {
            getJobStatus(replyFixture(fixture));
            ADD_FAILURE() << fixture << " did not raise";
        } catch (const SoapRequestException& e) {
            ASSERT_GE(e.getMessageTotal(), 2u) << fixture;
            EXPECT_EQ(e.messages().back(), u"soap call to GetJobStatus() failed") << fixture;
            EXPECT_TRUE(e.joined(u"\n").find(u"Error code: ") != std::u16string::npos) << fixture;
        }
    }
}

TEST_F(BadReplies, ServerFaultInAnHttp500IsRaisedWithItsDetail) {
    std::string body = readFixture("StopJob.reply.xml");
    try {
        getJobStatus(httpReply(body, 500));
        ADD_FAILURE() << "no exception";
    } catch (const SoapRequestException& e) {
        EXPECT_EQ(e.getErrorMessage(0), u"Job J-7 is not running");
        EXPECT_EQ(e.getErrorMessage(2), u"SOAP Faultcode: SOAP-ENV:Server. Error code: 2");
    }
}

// A session ID a server quotes in its fault (credentials part included) is
// masked in the error record, wherever in the fault it stands.
TEST_F(BadReplies, SessionIdsInAFaultAreMasked) {
    const std::string sid = "S0123456789ABCDEF0123456789abcdef.VXNlcj1hbm4KWG1sZGI+/w==";
    std::string body = readFixture("StopJob.reply.xml");
    body.replace(body.find("Job J-7 is not running"), 22, "Unknown session ID '" + sid + "'");
    const size_t faultString = body.find("</faultstring>");
    ASSERT_NE(faultString, std::string::npos);
    body.insert(faultString, " (" + sid.substr(0, 33) + ")");
    try {
        getJobStatus(httpReply(body, 500));
        ADD_FAILURE() << "no exception";
    } catch (const SoapRequestException& e) {
        const std::u16string all = e.joined(u"\n");
        EXPECT_EQ(e.getErrorMessage(0), u"Unknown session ID '***'");
        EXPECT_EQ(all.find(u"0123456789ABCDEF"), std::u16string::npos) << tarn::util::ConvertStringtoUTF8(all);
        EXPECT_EQ(all.find(u"VXNlcj1hbm4"), std::u16string::npos);
        EXPECT_NE(all.find(u"(***)"), std::u16string::npos) << tarn::util::ConvertStringtoUTF8(all);
    }
}

TEST_F(BadReplies, ClientFaultIsAFailureCodeUnlessThrowingIsOn) {
    EXPECT_EQ(getJobStatus(replyFixture("ClientFault")), -973);
    settings().throwOnFailure = true;
    try {
        getJobStatus(replyFixture("ClientFault"));
        ADD_FAILURE() << "no exception";
    } catch (const SoapRequestException& e) {
        EXPECT_EQ(e.messages(), (std::vector<std::u16string>{u"Session S-1 is not known",
                                                              u"SOAP Faultcode: SOAP-ENV:Client. Error code: 1",
                                                              u"SOAP Faultstring: Unknown session",
                                                              u"soap call to GetJobStatus() failed"}));
    }
}

TEST_F(BadReplies, FaultOfAnEarlierCallIsNotReportedAgain) {
    settings().throwOnFailure = true;
    LoopbackServer faulty(replyFixture("ClientFault"));
    LoopbackServer broken(replyFixture("Http500"));
    SoapStruct ctx;
    qor__GetJobStatusResponse r;
    auto call = [&](const LoopbackServer& server) {
        return callWithRetry(ctx, "x", [&](struct soap* s) {
            return soap_call_qor__GetJobStatus(s, server.url().c_str(), nullptr, nullptr, nullptr, r);
        });
    };
    EXPECT_THROW(call(faulty), SoapRequestException);
    try {
        call(broken);
        ADD_FAILURE() << "no exception";
    } catch (const SoapRequestException& e) {
        EXPECT_EQ(e.joined(u"\n").find(u"Session S-1"), std::u16string::npos);
    }
}

TEST_F(BadReplies, EnumOutsideItsRangeFailsTheCall) {
    std::string body = readFixture("CheckSkerrowClientVersion.reply.xml");
    body.replace(body.find("<clientCompatibleEnum>1<"), 24, "<clientCompatibleEnum>9<");
    LoopbackServer server(httpReply(body));
    SoapStruct ctx;
    qor__CheckSkerrowClientVersionResponse r;
    EXPECT_EQ(callWithRetry(ctx, "x", [&](struct soap* s) {
                  return soap_call_qor__CheckSkerrowClientVersion(s, server.url().c_str(), nullptr, nullptr, r);
              }),
              -973);
}

// Replies in forms other SOAP stacks send and the emulator never does. Each
// either decodes in full or fails the call: none may pass for a success with
// its data lost.
TEST_F(BadReplies, RepliesOfOtherStacksDecodeInFullOrFail) {
    auto envelope = [](const std::string& body) {
        return httpReply(
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<e:Envelope xmlns:e=\"http://schemas.xmlsoap.org/soap/envelope/\" "
            "xmlns:enc=\"http://schemas.xmlsoap.org/soap/encoding/\" xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
            "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" xmlns:q=\"urn:qorvane:workflow-server\">" +
            body + "</e:Envelope>");
    };
    auto names = [](const std::string& arrayType, int count) {
        std::string items;
        for (int i = 0; i < count; ++i) items += "<item>n" + std::to_string(i) + "</item>";
        return "<e:Body><q:GetComponentNamesResponse><componentNames xsi:type=\"enc:Array\" enc:arrayType=\"" + arrayType +
               "\">" + items + "</componentNames></q:GetComponentNamesResponse></e:Body>";
    };
    // Each operation answers the reply and gives what it decoded as text.
    using Decode = std::function<int(const std::string& url, std::string& decoded)>;
    const std::map<std::string, Decode> operations = {
        {"GetJobStatus", [](const std::string& url, std::string& decoded) {
             SoapStruct ctx;
             qor__GetJobStatusResponse r;
             const int rc = callWithRetry(ctx, "soap call to GetJobStatus() failed", [&](struct soap* s) {
                 return soap_call_qor__GetJobStatus(s, url.c_str(), nullptr, nullptr, nullptr, r);
             });
             decoded = std::to_string(r.status);
             return rc;
         }},
        {"GetEndpoint", [](const std::string& url, std::string& decoded) {
             SoapStruct ctx;
             qor__GetEndpointResponse r;
             const int rc = callWithRetry(ctx, "soap call to GetEndpoint() failed", [&](struct soap* s) {
                 return soap_call_qor__GetEndpoint(s, url.c_str(), nullptr, nullptr, r);
             });
             decoded = r.url ? r.url : "(null)";
             return rc;
         }},
        {"StopJob", [](const std::string& url, std::string&) {
             SoapStruct ctx;
             qor__EmptyResponse r;
             return callWithRetry(ctx, "soap call to StopJob() failed", [&](struct soap* s) {
                 return soap_call_qor__StopJob(s, url.c_str(), nullptr, nullptr, nullptr, r);
             });
         }},
        {"CheckSkerrowClientVersion", [](const std::string& url, std::string& decoded) {
             SoapStruct ctx;
             qor__CheckSkerrowClientVersionResponse r;
             const int rc = callWithRetry(ctx, "soap call to CheckClientVersion() failed", [&](struct soap* s) {
                 return soap_call_qor__CheckSkerrowClientVersion(s, url.c_str(), nullptr, nullptr, r);
             });
             decoded = r.serverVersion ? r.serverVersion : "(null)";
             return rc;
         }},
        {"GetComponentNames", [](const std::string& url, std::string& decoded) {
             SoapStruct ctx;
             qor__GetComponentNamesResponse r;
             const int rc = callWithRetry(ctx, "soap call to GetComponentNames() failed", [&](struct soap* s) {
                 return soap_call_qor__GetComponentNames(s, url.c_str(), nullptr, nullptr, nullptr, r);
             });
             const auto values = wire::fromArray(r.componentNames);
             decoded = std::to_string(values.size()) + (values.empty() ? "" : " " + tarn::util::ConvertStringtoUTF8(values.back()));
             return rc;
         }},
        {"GetJobResults", [](const std::string& url, std::string& decoded) {
             SoapStruct ctx;
             qor__GetJobResultsResponse r;
             const int rc = callWithRetry(ctx, "soap call to GetJobResults() failed", [&](struct soap* s) {
                 return soap_call_qor__GetJobResults(s, url.c_str(), nullptr, nullptr, nullptr, r);
             });
             for (const auto& [name, values] : wire::fromArray(r.runResults))
                 decoded += tarn::util::ConvertStringtoUTF8(name) + "=" + std::to_string(values.size()) + ";";
             return rc;
         }},
    };
    struct Case {
        const char* what;
        const char* operation;
        std::string body;
        int rc;
        std::string decoded;
    };
    const Case cases[] = {
        // A Body without the response element holds no answer at all.
        {"empty Body, int member", "GetJobStatus", "<e:Body></e:Body>", -973, "0"},
        {"self-closed Body, string member", "GetEndpoint", "<e:Body/>", -973, "(null)"},
        {"empty Body, no result", "StopJob", "<e:Body>\n</e:Body>", -973, ""},
        {"empty Body, record members", "CheckSkerrowClientVersion", "<e:Body/>", -973, "(null)"},
        {"empty Body, array member", "GetComponentNames", "<e:Body></e:Body>", -973, "0"},
        {"empty response element", "StopJob", "<e:Body><q:EmptyResponse/></e:Body>", 0, ""},
        // Members are matched by their local name, whatever their prefix.
        {"prefixed int member", "GetJobStatus", "<e:Body><q:GetJobStatusResponse><q:status>5</q:status></q:GetJobStatusResponse></e:Body>", 0, "5"},
        {"prefixed string member", "GetEndpoint", "<e:Body><q:GetEndpointResponse><q:url>http://r/x</q:url></q:GetEndpointResponse></e:Body>", 0, "http://r/x"},
        // Arrays of any size, with or without their size.
        {"array of 150 001 items", "GetComponentNames", names("xsd:string[150001]", 150001), 0, "150001 n150000"},
        {"array without a size", "GetComponentNames", names("xsd:string[]", 3), 0, "3 n2"},
        // A size over 100 000 is not allocated ahead (a hostile reply could
        // announce billions): the array holds the items that came.
        {"array announcing more than it holds", "GetComponentNames", names("xsd:string[100001]", 2), 0, "2 n1"},
        {"record array without a size", "GetJobResults",
         "<e:Body><q:GetJobResultsResponse><runResults xsi:type=\"enc:Array\" enc:arrayType=\"q:NameValuePair[]\">"
         "<item><name>a</name><values enc:arrayType=\"xsd:string[]\"><item>1</item><item>2</item></values></item>"
         "<item><name>b</name></item></runResults></q:GetJobResultsResponse></e:Body>",
         0, "a=2;b=0;"},
    };
    for (const Case& c : cases) {
        LoopbackServer server(envelope(c.body));
        std::string decoded;
        EXPECT_EQ(operations.at(c.operation)(server.url(), decoded), c.rc) << c.what;
        EXPECT_EQ(decoded, c.decoded) << c.what;
    }

    // Requests do not ask for compression, but a compressed reply still
    // decodes.
    {
        const std::string plain = bodyOf(envelope(names("xsd:string[2]", 2)));
        host::Bytes zipped;
        host::vcCompress(5, /*zlib=*/true, false).Compress(zipped, host::Bytes(plain.begin(), plain.end()));
        LoopbackServer server("HTTP/1.1 200 OK\r\nContent-Type: text/xml; charset=utf-8\r\nContent-Encoding: deflate\r\n"
                              "Content-Length: " + std::to_string(zipped.size()) + "\r\nConnection: close\r\n\r\n" +
                              std::string(zipped.begin(), zipped.end()));
        std::string decoded;
        EXPECT_EQ(operations.at("GetComponentNames")(server.url(), decoded), 0);
        EXPECT_EQ(decoded, "2 n1");
    }

    // With throw-on-failure on, an empty Body is raised with a message that
    // says what was wrong.
    settings().throwOnFailure = true;
    LoopbackServer server(envelope("<e:Body/>"));
    std::string decoded;
    try {
        operations.at("StopJob")(server.url(), decoded);
        ADD_FAILURE() << "no exception";
    } catch (const SoapRequestException& e) {
        EXPECT_EQ(e.messages(), (std::vector<std::u16string>{
                                    u"SOAP Error code: 6",
                                    u"The reply held no response (The Body of the reply holds neither the response element "
                                    u"nor a SOAP Fault)",
                                    u"soap call to StopJob() failed"}));
    }
}

TEST_F(BadReplies, RequestAfterASoap12ReplyOnTheSameContextIsSoap11) {
    LoopbackServer server(replyFixture("GetEndpoint"));
    SoapStruct ctx;
    for (int i = 0; i < 2; ++i) {
        qor__GetEndpointResponse r;
        EXPECT_EQ(callWithRetry(ctx, "x", [&](struct soap* s) {
                      return soap_call_qor__GetEndpoint(s, server.url().c_str(), nullptr, wire::utf8(ctx.get(), u"N"), r);
                  }),
                  0);
    }
    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    for (const auto& request : requests) {
        EXPECT_NE(request.find("xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\""), std::string::npos);
        EXPECT_EQ(request.find("2003/05"), std::string::npos);
        EXPECT_EQ(headerValue(request, "Content-Type"), "text/xml; charset=utf-8");
    }
}

}  // namespace
