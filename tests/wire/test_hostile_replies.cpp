// Damaged replies: every reply fixture cut short at many places and with
// bytes overwritten. Each call ends in a status code (or a raised fault) and
// never in a crash; the sanitizer build checks the memory handling on the way.
#include <gtest/gtest.h>

#include <mutex>
#include <random>

#include "connection/channel.h"
#include "soapH.h"
#include "wire/fixtures.h"
#include "wire/loopback_server.h"

using namespace pelox;
using namespace pelox::test;

namespace {

class Hostile : public ::testing::Test {
protected:
    Hostile()
        : server_([this](const std::string&) {
              std::lock_guard<std::mutex> lock(mutex_);
              return reply_;
          }) {}

    // Sends the operation whose reply the fixture answers, with the server
    // answering body; returns the status (1 for a raised fault).
    int send(const std::string& body) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            reply_ = httpReply(body);
        }
        const std::string url = server_.url();
        SoapStruct ctx;
        try {
            qor__GetComponentInfoResponse2 info;
            qor__ValidateParametersResponse validation;
            qor__GetConfigurationSettingsResponse settings;
            switch (kind_) {
                case 0:
                    return callWithRetry(ctx, "x", [&](struct soap* s) {
                        return soap_call_qor__GetComponentInfo2(s, url.c_str(), nullptr, nullptr, nullptr, 0, info);
                    });
                case 1:
                    return callWithRetry(ctx, "x", [&](struct soap* s) {
                        return soap_call_qor__ValidateParameters(s, url.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr, validation);
                    });
                default:
                    return callWithRetry(ctx, "x", [&](struct soap* s) {
                        return soap_call_qor__GetConfigurationSettings(s, url.c_str(), nullptr, settings);
                    });
            }
        } catch (const SoapRequestException&) {
            return 1;
        }
    }

    int kind_ = 0;
    std::mutex mutex_;
    std::string reply_;
    LoopbackServer server_;
};

TEST_F(Hostile, CutAndDamagedRepliesEndInAStatus) {
    const char* fixtures[] = {"GetComponentInfo2.reply.xml", "ValidateParameters.reply.xml", "GetConfigurationSettings.reply.xml"};
    std::mt19937 random(20261208);
    for (kind_ = 0; kind_ < 3; ++kind_) {
        const std::string body = readFixture(fixtures[kind_]);
        ASSERT_EQ(send(body), 0) << fixtures[kind_];
        for (size_t cut = 0; cut <= body.rfind("</"); cut += 13) EXPECT_NE(send(body.substr(0, cut)), 0) << fixtures[kind_] << " cut at " << cut;
        for (int round = 0; round < 60; ++round) {
            std::string damaged = body;
            for (int i = 0; i < 3; ++i) damaged[random() % damaged.size()] = static_cast<char>(random() % 256);
            const int rc = send(damaged);
            EXPECT_TRUE(rc == 0 || rc == 1 || rc == -973) << rc;
        }
    }
}

}  // namespace
