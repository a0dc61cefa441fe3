// Replies that are not what the operation expects: each one ends in a status
// code or the expected exception, and never in a crash.
#include <gtest/gtest.h>

#include "connection/channel.h"
#include "frame/settings.h"
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
