// The retry rule, the server configuration, the session's endpoints and the
// runner endpoint, against loopback servers.
#include <gtest/gtest.h>

#include "connection/channel.h"
#include "connection/config_walk.h"
#include "frame/settings.h"
#include "host/tarn_util.h"
#include "soapH.h"
#include "wire/convert.h"
#include "wire/loopback_server.h"

using namespace pelox;
using namespace pelox::test;

namespace {

class Channel : public ::testing::Test {
protected:
    void SetUp() override {
        setRetrySleeperForTesting([this](int ms) { pauses_.push_back(ms); });
    }
    void TearDown() override {
        setRetrySleeperForTesting({});
        settings().retryCount = kMinRetryCount;
        settings().retryPauseMs = kMinRetryPauseMs;
        settings().throwOnFailure = false;
    }

    // GetJobStatus against url, counting the attempts.
    int getJobStatus(const std::string& url, RetryPause pause = RetryPause::Configured) {
        SoapStruct ctx;
        qor__GetJobStatusResponse r;
        return callWithRetry(
            ctx, "soap call to GetJobStatus() failed",
            [&](struct soap* s) {
                ++attempts_;
                return soap_call_qor__GetJobStatus(s, url.c_str(), nullptr, wire::utf8(ctx.get(), u"S"), wire::utf8(ctx.get(), u"J"), r);
            },
            pause);
    }

    std::vector<int> pauses_;
    int attempts_ = 0;
};

// A GetConfigurationSettings reply with the given pairs.
std::string configurationReply(const std::vector<std::pair<std::string, std::vector<std::string>>>& pairs) {
    std::string body =
        "<?xml version=\"1.0\"?><s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
        "xmlns:q=\"urn:qorvane:workflow-server\"><s:Body><q:GetConfigurationSettingsResponse><settings>";
    for (const auto& [name, values] : pairs) {
        body += "<item><name>" + name + "</name>";
        if (!values.empty()) {
            body += "<values>";
            for (const auto& v : values) body += "<item>" + v + "</item>";
            body += "</values>";
        }
        body += "</item>";
    }
    return httpReply(body + "</settings></q:GetConfigurationSettingsResponse></s:Body></s:Envelope>");
}

std::string endpointReply(const std::string& url) {
    return httpReply(
        "<?xml version=\"1.0\"?><s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
        "xmlns:q=\"urn:qorvane:workflow-server\"><s:Body><q:GetEndpointResponse><url>" +
        url + "</url></q:GetEndpointResponse></s:Body></s:Envelope>");
}

TEST_F(Channel, UnreachableServerIsTriedRetryCountPlusOneTimes) {
    settings().retryCount = 12;
    settings().retryPauseMs = 250;
    const std::string url = "http://127.0.0.1:" + std::to_string(closedPort()) + "/qorvane/runner";
    EXPECT_EQ(getJobStatus(url), -974);
    EXPECT_EQ(attempts_, 13);
    EXPECT_EQ(pauses_, std::vector<int>(12, 250));

    // The pause of the rename call is fixed; the count still comes from the settings.
    attempts_ = 0;
    pauses_.clear();
    EXPECT_EQ(getJobStatus(url, RetryPause::Fixed200ms), -974);
    EXPECT_EQ(attempts_, 13);
    EXPECT_EQ(pauses_, std::vector<int>(12, 200));
}

TEST_F(Channel, RetryCountAndPauseAreReadAtEachStep) {
    const std::string url = "http://127.0.0.1:" + std::to_string(closedPort()) + "/";
    setRetrySleeperForTesting([this](int ms) {
        pauses_.push_back(ms);
        if (pauses_.size() == 3) settings().retryPauseMs = 300;
    });
    EXPECT_EQ(getJobStatus(url), -974);
    EXPECT_EQ(attempts_, 11);
    ASSERT_EQ(pauses_.size(), 10u);
    EXPECT_EQ(pauses_[2], 200);
    EXPECT_EQ(pauses_[3], 300);
}

TEST_F(Channel, UnreachableServerRaisesWhenThrowingIsOn) {
    settings().throwOnFailure = true;
    const std::string url = "http://127.0.0.1:" + std::to_string(closedPort()) + "/";
    try {
        getJobStatus(url);
        ADD_FAILURE() << "no exception";
    } catch (const SoapRequestException& e) {
        // No reply came: the runtime's error code and its description, never
        // the fault lines of a server's answer.
        const std::u16string text = e.joined(u"\n");
        EXPECT_EQ(e.messages().front(), u"SOAP Error code: 28") << tarn::util::ConvertStringtoUTF8(text);
        EXPECT_EQ(text.find(u"Faultcode"), std::u16string::npos) << tarn::util::ConvertStringtoUTF8(text);
#ifdef _WIN32
        // Winsock's description of WSAECONNREFUSED ("No connection could be
        // made because the target machine actively refused it.").
        EXPECT_NE(text.find(u"refused"), std::u16string::npos) << tarn::util::ConvertStringtoUTF8(text);
#else
        EXPECT_NE(text.find(u"Connection refused"), std::u16string::npos) << tarn::util::ConvertStringtoUTF8(text);
#endif
        EXPECT_EQ(e.messages().back(), u"soap call to GetJobStatus() failed");
    }
    EXPECT_EQ(attempts_, 11);
}

TEST_F(Channel, OtherTransportErrorsAreNotRetried) {
    LoopbackServer server(std::string("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n"));
    EXPECT_EQ(getJobStatus(server.url()), -973);
    EXPECT_EQ(attempts_, 1);
    EXPECT_TRUE(pauses_.empty());
}

TEST_F(Channel, ExceptionWithoutAFaultNamesTheErrorCode) {
    SoapStruct ctx;
    ctx.get()->error = SOAP_HTTP_ERROR;
    SoapRequestException e("soap call to Login() failed", ctx.get());
    EXPECT_EQ(e.messages(), (std::vector<std::u16string>{u"SOAP Error code: 29", u"soap call to Login() failed"}));
}

TEST_F(Channel, ConfigurationNamesAreUpperCasedAndLaterDuplicatesWin) {
    LoopbackServer server(configurationReply({{"fileEndPoint", {"http://a/file"}},
                                              {"Empty", {}},
                                              {"FILEENDPOINT", {"http://b/file", "second"}},
                                              {"\xC3\xA4mixed", {"x"}}}));
    ConfigurationMap config;
    ASSERT_EQ(fetchServerConfiguration(server.url(), config), 0);
    std::vector<std::u16string> names;
    for (const auto& entry : config.entries()) names.push_back(entry.first);
    // (only a-z are upper-cased)
    EXPECT_EQ(names, pelox::testsupport::configurationWalk({u"FILEENDPOINT", u"EMPTY", u"\u00e4MIXED"}));
    EXPECT_EQ(*config.values(u"fileendpoint"), (std::vector<std::u16string>{u"http://b/file", u"second"}));
    EXPECT_EQ(*config.values(u"EMPTY"), std::vector<std::u16string>{u""});
    EXPECT_EQ(config.first(u"missing"), nullptr);

    EXPECT_EQ(fetchServerConfiguration("", config), -991);
}

TEST_F(Channel, ConfigurationIsWalkedInTheOrderOfItsHashMap) {
    // 30 names: the map grows from 31 to 67 buckets on the 24th, and the
    // walk then differs from the order the server sent.
    std::vector<std::pair<std::string, std::vector<std::string>>> pairs;
    std::vector<std::u16string> sent;
    for (int i = 0; i < 30; ++i) {
        const std::string name = "SETTING" + std::to_string(i * 7) + (i % 2 ? "X" : "YZ");
        pairs.push_back({name, {std::to_string(i)}});
        sent.push_back(tarn::util::ConvertUTF8toString(name));
    }
    pairs.push_back({"setting0yz", {"again"}});  // the same name: its place and new values
    LoopbackServer server(configurationReply(pairs));
    ConfigurationMap config;
    ASSERT_EQ(fetchServerConfiguration(server.url(), config), 0);
    std::vector<std::u16string> walked;
    for (const auto& entry : config.entries()) walked.push_back(entry.first);
    EXPECT_EQ(walked, pelox::testsupport::configurationWalk(sent));
    EXPECT_NE(walked, sent);
    EXPECT_EQ(*config.values(u"SETTING0YZ"), std::vector<std::u16string>{u"again"});
}

TEST_F(Channel, EndpointsFromTheConfiguration) {
    LoopbackServer server(configurationReply({{"FILEENDPOINT", {"http://f/qorvane/file"}},
                                              {"XMLDBENDPOINT", {"http://x/qorvane/xmldb"}},
                                              {"RUNNERENDPOINT", {"http://r/qorvane/runner"}},
                                              {"UPLOADENDPOINT", {"http://u/upload"}},
                                              {"DOWNLOADENDPOINT", {"http://d/download"}},
                                              {"LOCALROOT", {"/srv/qorvane"}},
                                              {"JobsDirectory", {"/srv/qorvane/jobs"}},
                                              {"CLUSTERMETHOD", {""}},
                                              {"SERVERVERSION", {"8"}},
                                              {"ROOT", {"http://host:9944/"}},
                                              {"BLOCKINGJOBTIMEOUT", {"3000000"}}}));
    SessionInfo session;
    session.serverUrl = server.url();
    ASSERT_EQ(setUpEndpoints(session), 0);
    EXPECT_EQ(session.fileEndpoint, "http://f/qorvane/file");
    EXPECT_EQ(session.xmldbEndpoint, "http://x/qorvane/xmldb");
    EXPECT_EQ(session.runnerEndpoint, "http://r/qorvane/runner");
    EXPECT_EQ(session.uploadEndpoint, u"http://u/upload");
    EXPECT_EQ(session.downloadEndpoint, u"http://d/download");
    EXPECT_EQ(session.serverLocalRoot, u"/srv/qorvane");
    EXPECT_EQ(session.serverJobsDirectory, u"/srv/qorvane/jobs");
    EXPECT_FALSE(session.cluster);
    EXPECT_EQ(session.serverRoot, u"http://host:9944/");
    EXPECT_EQ(session.blockingJobTimeoutMs, 3000000000LL);  // no 32-bit overflow
    EXPECT_TRUE(session.serverIs7OrLater && session.serverIs6OrLater && session.serverIs8OrLaterUpload);
    EXPECT_FALSE(session.serverIsBefore7);
}

TEST_F(Channel, MinimalConfigurationClearsWhatIsAbsent) {
    LoopbackServer server(configurationReply({{"FILEENDPOINT", {"http://f/file"}}, {"SERVERVERSION", {"6"}}}));
    SessionInfo session;
    session.serverUrl = server.url();
    session.xmldbEndpoint = "stale";
    session.serverJobsDirectory = u"stale";
    session.cluster = false;
    ASSERT_EQ(setUpEndpoints(session), 0);
    EXPECT_EQ(session.xmldbEndpoint, "");
    EXPECT_EQ(session.serverJobsDirectory, u"");
    EXPECT_TRUE(session.cluster);  // absent: runners come from the locator
    EXPECT_EQ(session.blockingJobTimeoutMs, 0);
    EXPECT_TRUE(session.serverIsBefore7 && session.serverIs6OrLater);
    EXPECT_FALSE(session.serverIs7OrLater || session.serverIs8OrLaterUpload);
}

TEST_F(Channel, IncompleteConfigurationRaises) {
    const std::pair<std::vector<std::pair<std::string, std::vector<std::string>>>, std::u16string> cases[] = {
        {{{"SERVERVERSION", {"8"}}}, u"Missing SOAP FileEndPoint"},
        {{{"FILEENDPOINT", {"http://f"}}}, u"Missing SERVERVERSION"},
    };
    for (const auto& [pairs, message] : cases) {
        LoopbackServer server(configurationReply(pairs));
        SessionInfo session;
        session.serverUrl = server.url();
        try {
            setUpEndpoints(session);
            ADD_FAILURE() << "no exception";
        } catch (const tarn::Exception& e) {
            EXPECT_EQ(e.getErrorMessage(0), message);
        }
    }
}

TEST_F(Channel, RunnerEndpointIsConfiguredOrAskedFromTheLocator) {
    LoopbackServer locator([](const std::string& request) {
        return endpointReply(request.find("<name>RUNNERENDPOINT</name>") != std::string::npos ? "http://r2/runner" : "");
    });
    SessionInfo session;
    session.serverUrl = locator.url();
    session.runnerEndpoint = "http://r1/runner";
    session.cluster = false;
    std::string endpoint;
    ASSERT_EQ(runnerEndpoint(session, endpoint), 0);
    EXPECT_EQ(endpoint, "http://r1/runner");
    EXPECT_TRUE(locator.requests().empty());

    session.cluster = true;
    ASSERT_EQ(runnerEndpoint(session, endpoint), 0);
    EXPECT_EQ(endpoint, "http://r2/runner");
    session.cluster = false;
    session.runnerEndpoint.clear();
    ASSERT_EQ(runnerEndpoint(session, endpoint), 0);
    EXPECT_EQ(locator.requests().size(), 2u);
}

TEST_F(Channel, EmptyRunnerAnswerRaises) {
    LoopbackServer locator(endpointReply(""));
    SessionInfo session;
    session.serverUrl = locator.url();
    std::string endpoint;
    try {
        runnerEndpoint(session, endpoint);
        ADD_FAILURE() << "no exception";
    } catch (const tarn::Exception& e) {
        EXPECT_EQ(e.getErrorMessage(0), u"Runner endpoint could not be found");
    }
}

}  // namespace
