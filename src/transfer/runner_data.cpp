#include "transfer/runner_data.h"

#include <utility>

#include "soapH.h"
#include "wire/convert.h"
#include "connection/channel.h"
#include "host/tarn_context.h"

namespace pelox {

RunnerData::RunnerData(std::u16string job, std::u16string session, std::string endpoint)
    : jobId(std::move(job)), sessionId(std::move(session)), jobEndpoint(std::move(endpoint)) {}

const std::u16string& RunnerData::GetJobId() const { return jobId; }

void RunnerData::GetJobData(const std::u16string& job, const std::u16string& dataName, host::Bytes& out) {
    tarn::annotate(u"RunnerData", u"GetJobData", [&] {
        constexpr const char* kFailure = "soap call to GetJobData() failed";
        SoapStruct ctx;
        qor__GetJobDataResponse answer;
        const int rc = callWithRetry(ctx, kFailure, [&](struct soap* s) {
            return soap_call_qor__GetJobData(s, jobEndpoint.c_str(), "", wire::utf8(s, sessionId), wire::utf8(s, job),
                                             wire::utf8(s, dataName), answer);
        });
        if (rc != 0) throw SoapRequestException(kFailure, ctx.get());
        out = wire::fromBase64(answer.messageXML);
    });
}

void RunnerData::PutJobData(const std::u16string& job, const std::u16string& dataName, const host::Bytes& bytes) {
    tarn::annotate(u"RunnerData", u"PutJobData", [&] {
        constexpr const char* kFailure = "soap call to PutJobData() failed";
        SoapStruct ctx;
        qor__EmptyResponse answer;
        const int rc = callWithRetry(ctx, kFailure, [&](struct soap* s) {
            return soap_call_qor__PutJobData(s, jobEndpoint.c_str(), "", wire::utf8(s, sessionId), wire::utf8(s, job),
                                             wire::utf8(s, dataName), wire::toBase64(s, bytes), answer);
        });
        if (rc != 0) throw SoapRequestException(kFailure, ctx.get());
    });
}

}  // namespace pelox
