// Job creation and launch: pelox_createJob, pelox_launchJob,
// pelox_launchProtocol.
#include <algorithm>
#include <climits>
#include <string>

#include "catalogue/protocol_info.h"
#include "connection/channel.h"
#include "frame/frame.h"
#include "jobs/job_service.h"
#include "peloxImp.h"
#include "registry/access.h"
#include "soapH.h"
#include "wire/convert.h"

using namespace pelox;
using wire::utf8;

namespace {

// A job the server named must be findable again: where no record of the
// caller's is at hand, an empty identifier is refused instead of registering
// a record nobody can address.
std::u16string requireJobId(const char* jobId) {
    std::u16string id = wire::toWide(jobId);
    if (id.empty()) throw tarn::Exception("The server returned no job ID");
    return id;
}

// ClearJob for a job that ran before. Returns a status code; `cleared`
// receives the server's answer.
int clearJob(const SessionInfo& session, const std::u16string& sessionId, const std::u16string& jobId,
             const std::string& endpoint, bool& cleared) {
    const host::Bytes settings = clearJobSettings(session.serverIs7OrLater);
    SoapStruct ctx;
    qor__ClearJobResponse answer;
    const int rc = callWithRetry(ctx, "soap call to ClearJob() failed", [&](struct soap* s) {
        return soap_call_qor__ClearJob(s, endpoint.c_str(), "", utf8(s, sessionId), utf8(s, jobId),
                                       settings.empty() ? nullptr : wire::toBase64(s, settings), answer);
    });
    cleared = answer.success != 0;
    return rc;
}

}  // namespace

extern "C" {

PELOX_API int32_t pelox_createJob(const pelox_char* sessionId, int32_t jobIdString, int32_t flags) {
    return frame::runExport(/*initialising=*/false, [&]() -> int32_t {
        if (!sessionId) return PELOX_E_NULL_ARGUMENT;
        auto out = registry::outputString(jobIdString);
        if (!out) return PELOX_E_NO_STRING;
        const std::u16string sid = frame::toU16(sessionId);
        SessionInfo session;
        if (!registry::copySession(sid, session)) return PELOX_E_NO_SESSION;
        if (!session.serverIs6OrLater) return PELOX_E_SERVER_VERSION;
        std::string endpoint;
        int rc = runnerEndpoint(session, endpoint);
        if (rc != 0) return rc;

        SoapStruct ctx;
        qor__CreateJobResponse answer;
        rc = callWithRetry(ctx, "soap call to CreateJob() failed", [&](struct soap* s) {
            return soap_call_qor__CreateJob(s, endpoint.c_str(), "", utf8(s, sid), answer);
        });
        if (rc != 0) return rc;
        const std::u16string id = requireJobId(answer.jobID);
        frame::setText(*out, id);
        HeldJob job;
        registry::insertJob(id, job);
        job->jobEndpoint = endpoint;
        job->setOptions(flags);  // here 2 does not imply 1
        job->state = PELOX_JOB_CREATED;
        return PELOX_OK;
    });
}

PELOX_API int32_t pelox_launchJob(const pelox_char* sessionId, const pelox_char* protocolName, int32_t protocolInfo,
                                  int32_t flags, int32_t jobIdString, const pelox_char* jobId) {
    return frame::runExport(/*initialising=*/false, [&]() -> int32_t {
        auto out = registry::outputString(jobIdString);
        if (!out) return PELOX_E_NO_STRING;
        if (!sessionId || !protocolName) return PELOX_E_NULL_ARGUMENT;
        const std::u16string sid = frame::toU16(sessionId);
        SessionInfo session;
        if (!registry::copySession(sid, session)) return PELOX_E_NO_SESSION;
        auto info = registry::lockProtocolInfo(protocolInfo);
        if (!info) return PELOX_E_NO_PROTOCOL_INFO;
        if (flags & PELOX_JOB_DEFER_TO_HOST) flags |= PELOX_JOB_HANDLE_CLIENT_STEPS;
        const bool blocking = (flags & PELOX_JOB_BLOCKING) != 0;

        // The job to launch into: a known job when an identifier is given
        // (a blocking launch always makes a new one).
        HeldJob job;
        std::string endpoint;
        const std::u16string target = blocking ? std::u16string() : frame::toU16(jobId);
        if (!target.empty()) {
            if (!registry::findJob(target, job)) return PELOX_E_NO_JOB;
            endpoint = job->jobEndpoint;
        } else {
            const int rc = runnerEndpoint(session, endpoint);
            if (rc != 0) return rc;
        }

        // A job that ran before is cleared on the server first.
        if (job && job->state != PELOX_JOB_CREATED) {
            bool cleared = false;
            const int rc = clearJob(session, sid, target, endpoint, cleared);
            if (rc != 0) return rc;
            job->state = PELOX_JOB_CREATED;
            if (!cleared) return PELOX_E_LAUNCH;
        }

        // A validation notice (at or below -1000) is no error: it is
        // returned after the launch.
        int32_t notice = 0;
        if (!(flags & PELOX_JOB_SKIP_VALIDATION)) {
            const int v = info->validate();
            if (v <= -1000) notice = v;
            else if (v != 0) return v;
        }
        const NameValueList list = info->buildNameValueList(flags, NameValueForm::Launch);
        if (!(flags & PELOX_JOB_SKIP_VALIDATION) && !list.complete) return PELOX_E_UNKNOWN_TYPE;
        const std::u16string protocol = frame::toU16(protocolName);

        SoapStruct ctx;
        if (blocking) {
            qor__LaunchBlockingJobResponse answer;
            const int rc = callWithRetry(ctx, "soap call to LaunchBlockingJob() failed", [&](struct soap* s) {
                // The session record is read afresh for every attempt.
                SessionInfo current;
                if (!registry::copySession(sid, current)) current = session;
                const int timeout = static_cast<int>(std::clamp<int64_t>(current.blockingJobTimeoutMs, 0, INT_MAX));
                return soap_call_qor__LaunchBlockingJob(s, endpoint.c_str(), "", utf8(s, sid), utf8(s, protocol),
                                                        wire::toArrayOfNameValuePair(s, list.pairs), timeout,
                                                        /*ContinueJobAfterTimeout*/ 2, answer);
            });
            if (rc != 0) return rc;
            const bool released = (answer.responseFlags & /*JobHasBeenReleased*/ 2) != 0;
            if (!released) frame::setText(*out, requireJobId(answer.jobID));
            // A job the server already released cannot be addressed again:
            // no record is kept for it.
            if (released) return notice;
            registry::insertJob(out->view(), job);
            job->jobEndpoint = endpoint;
            job->setOptions(flags);
            job->forgetWaitingStep();
            job->state = mapServerJobState(answer.status, job->report1508);
            // A blocking launch comes back as soon as the job waits for the
            // client; that step is carried out by the first poll.
            job->stepNotYetHandled = job->state == PELOX_JOB_WAITING_FOR_CLIENT;
            return notice;
        }

        qor__LaunchJobResponse answer;
        const int rc = callWithRetry(ctx, "soap call to LaunchJob() failed", [&](struct soap* s) {
            return soap_call_qor__LaunchJob(s, endpoint.c_str(), "", utf8(s, sid), utf8(s, target), utf8(s, protocol),
                                            wire::toArrayOfNameValuePair(s, list.pairs), answer);
        });
        if (rc != 0) return rc;
        // A launch into a known job needs no identifier back: the job runs
        // under the one the caller gave, and its record is already there.
        const std::u16string id = job && wire::toWide(answer.jobID).empty() ? target : requireJobId(answer.jobID);
        frame::setText(*out, id);
        if (!job) registry::insertJob(id, job);
        job->jobEndpoint = endpoint;
        job->setOptions(flags);
        job->forgetWaitingStep();
        job->state = PELOX_JOB_FINISHED;  // launched
        return notice;
    });
}

PELOX_API int32_t pelox_launchProtocol(const pelox_char* sessionId, const pelox_char* protocolName,
                                       int32_t protocolInfo, int32_t flags, int32_t jobIdString) {
    return pelox_launchJob(sessionId, protocolName, protocolInfo, flags, jobIdString, nullptr);
}

}  // extern "C"
