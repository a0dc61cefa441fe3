// Job monitoring: pelox_getJobStatus (which also carries out the client
// steps of a waiting job), pelox_getJobErrors, pelox_getJobResults.
#include <string>
#include <utility>

#include "connection/channel.h"
#include "frame/frame.h"
#include "jobs/client/dispatcher.h"
#include "jobs/job_service.h"
#include "peloxImp.h"
#include "registry/access.h"
#include "soapH.h"
#include "transfer/file_data.h"
#include "transfer/runner_data.h"
#include "wire/convert.h"

using namespace pelox;
using wire::utf8;

namespace {

// The job waits for the client (1502): carry out its client step here, hand
// its instructions to the host, or just resume it.
int carryOutWaitingStep(const SessionInfo& session, const std::u16string& sessionId, const std::u16string& jobId,
                        JobInfo& job, const host::Bytes* description = nullptr) {
    if (!job.handleClientSteps) return internalContinueJob(sessionId, jobId, job);
    RunnerData runner(jobId, sessionId, job.jobEndpoint);
    FileData files(session, sessionId);
    if (job.deferToHost) {
        CDeferringComponentDispatcher dispatcher;
        job.pendingInstructions.clear();
        dispatcher.RunClientComponent(runner, files, session.userName, description);
        job.pendingInstructions = dispatcher.Instructions();
        // Instructions for the host keep the job waiting until the host
        // continues it (or the next poll does).
        if (!job.pendingInstructions.empty()) return PELOX_OK;
        return internalContinueJob(sessionId, jobId, job);
    }
    CClientComponentDispatcher dispatcher;
    dispatcher.RunClientComponent(runner, files, session.userName, description);
    // The step's errors went to the server as job data; the job goes on.
    return internalContinueJob(sessionId, jobId, job);
}

// The poll found the job waiting for the client. A job that previews its
// steps first shows the step to the host as its pending instructions and
// stays waiting; the next poll carries it out.
int handleWaitingJob(const SessionInfo& session, const std::u16string& sessionId, const std::u16string& jobId,
                     JobInfo& job) {
    if (job.handleClientSteps && job.previewClientSteps) {
        RunnerData runner(jobId, sessionId, job.jobEndpoint);
        auto preview = CClientComponentDispatcher::PreviewClientComponent(runner, session.userName, job.deferToHost);
        job.pendingInstructions = std::move(preview.text);
        job.previewedStep = std::move(preview.description);
        job.previewedStepReadable = preview.readable;
        job.stepPreviewed = true;
        return PELOX_OK;
    }
    return carryOutWaitingStep(session, sessionId, jobId, job);
}

// The poll after a preview, with the job still waiting: carry out exactly
// the bytes that were shown, never a later fetch. When the server describes
// another step by now (another client resumed the job meanwhile), that one
// is shown instead and nothing runs. A description that could not be read
// when it was shown and still cannot be read is reported to the server as
// the step's failure, as the step itself would have, and the job goes on.
int carryOutPreviewedStep(const SessionInfo& session, const std::u16string& sessionId, const std::u16string& jobId,
                          JobInfo& job) {
    RunnerData runner(jobId, sessionId, job.jobEndpoint);
    auto now = CClientComponentDispatcher::PreviewClientComponent(runner, session.userName, job.deferToHost);
    if (now.readable && job.previewedStepReadable && now.description == job.previewedStep) {
        job.previewedStep.clear();
        job.previewedStepReadable = false;
        return carryOutWaitingStep(session, sessionId, jobId, job, &now.description);
    }
    if (!now.readable && !job.previewedStepReadable) {
        job.previewedStep.clear();
        CClientComponentDispatcher().ReportFailure(runner, now.failure);
        return internalContinueJob(sessionId, jobId, job);
    }
    job.pendingInstructions = std::move(now.text);
    job.previewedStep = std::move(now.description);
    job.previewedStepReadable = now.readable;
    job.stepPreviewed = true;
    return PELOX_OK;
}

// Result pairs in order: a pair without a value list is skipped; a name that
// comes twice is listed twice and keeps the values of its last occurrence.
void copyResults(const ArrayOfNameValuePair* pairs, ResultInfo& out) {
    for (int i = 0; i < wire::arraySize(pairs); ++i) {
        const qor__NameValuePair& pair = pairs->__ptr[i];
        if (!pair.values) continue;
        const std::u16string name = wire::toWide(pair.name);
        out.appendName(name);
        StringArray& values = out.entry(name);
        values.clear();
        for (const std::u16string& value : wire::fromArray(pair.values)) frame::append(values, value);
    }
}

}  // namespace

extern "C" {

PELOX_API int32_t pelox_getJobStatus(const pelox_char* sessionId, const pelox_char* jobId, int32_t* state,
                                     int32_t messages) {
    return frame::runExport(/*initialising=*/false, [&]() -> int32_t {
        // A null state pointer is refused rather than written through.
        if (!state) return PELOX_E_NULL_ARGUMENT;
        *state = PELOX_JOB_UNKNOWN;
        auto out = registry::outputStringArray(messages);
        if (!out) return PELOX_E_NO_STRING_ARRAY;
        if (!sessionId || !jobId) return PELOX_E_NULL_ARGUMENT;
        const std::u16string sid = frame::toU16(sessionId);
        const std::u16string id = frame::toU16(jobId);
        HeldJob job;
        if (!registry::findJob(id, job)) return PELOX_E_NO_JOB;
        SessionInfo session;
        if (!registry::copySession(sid, session)) return PELOX_E_NO_SESSION;

        // A step shown to the host at the last poll is carried out by this
        // one, once the server confirms that the job still waits for it (a
        // job stopped meanwhile has its step dropped). Instructions the host
        // did not act on by the next poll: resume. A job that a blocking
        // launch left waiting has its step still to come: this poll asks
        // the server and carries it out.
        const bool waiting = job->state == PELOX_JOB_WAITING_FOR_CLIENT;
        const bool previewedStepDue = waiting && job->stepPreviewed;
        if (waiting && !previewedStepDue && !job->stepNotYetHandled) internalContinueJob(sid, id, *job);

        int serverState = 0;
        {
            SoapStruct ctx;
            qor__GetJobStatusResponse answer;
            const int rc = callWithRetry(ctx, "soap call to GetJobStatus() failed", [&](struct soap* s) {
                return soap_call_qor__GetJobStatus(s, job->jobEndpoint.c_str(), "", utf8(s, sid), utf8(s, id), answer);
            });
            if (rc != 0) return rc;
            serverState = answer.status;
        }
        job->stepNotYetHandled = false;
        // Server state 11: paused, waiting to be resumed.
        if (serverState == 11) internalContinueJob(sid, id, *job);
        job->state = mapServerJobState(serverState, job->report1508);
        if (previewedStepDue) {
            job->stepPreviewed = false;
            job->pendingInstructions.clear();
            if (job->state == PELOX_JOB_WAITING_FOR_CLIENT) carryOutPreviewedStep(session, sid, id, *job);
        } else if (job->state == PELOX_JOB_WAITING_FOR_CLIENT) {
            handleWaitingJob(session, sid, id, *job);
        }
        *state = job->state;

        SoapStruct ctx;
        qor__GetJobStatisticsResponse answer;
        const int rc = callWithRetry(ctx, "soap call to GetJobStatistics() failed", [&](struct soap* s) {
            return soap_call_qor__GetJobStatistics(s, job->jobEndpoint.c_str(), "", utf8(s, sid), utf8(s, id),
                                                   utf8(s, u""), answer);
        });
        if (rc != 0) return rc;
        // A status message travels as a first step whose counts are both
        // -9999 and whose component ID is the text.
        constexpr int kMessageMarker = -9999;
        if (wire::arraySize(answer.numOutsFalse) > 0 && wire::arraySize(answer.numOutsTrue) > 0 &&
            answer.numOutsFalse->__ptr[0] == kMessageMarker && answer.numOutsTrue->__ptr[0] == kMessageMarker)
            frame::append(*out, wire::toWide(wire::at(answer.componentIDs, 0)));
        return PELOX_OK;
    });
}

PELOX_API int32_t pelox_getJobErrors(const pelox_char* sessionId, const pelox_char* jobId, int32_t errors,
                                     int32_t componentIds) {
    return frame::runExport(/*initialising=*/false, [&]() -> int32_t {
        auto outputs = registry::outputStringArraysInTurn<2>({errors, componentIds});
        if (!outputs) return PELOX_E_NO_STRING_ARRAY;
        if (!sessionId || !jobId) return PELOX_E_NULL_ARGUMENT;
        const std::u16string id = frame::toU16(jobId);
        HeldJob job;
        if (!registry::findJob(id, job)) return PELOX_E_NO_JOB;
        switch (job->state) {
            case PELOX_JOB_FINISHED:
            case PELOX_JOB_STATE_5:
            case PELOX_JOB_STATE_6:
            case PELOX_JOB_ENDED:
            case PELOX_JOB_UNKNOWN:
                break;
            default:
                return PELOX_E_JOB_STATE;
        }
        const std::u16string sid = frame::toU16(sessionId);
        SoapStruct ctx;
        qor__GetJobErrorsResponse answer;
        const int rc = callWithRetry(ctx, "soap call to GetJobErrors() failed", [&](struct soap* s) {
            return soap_call_qor__GetJobErrors(s, job->jobEndpoint.c_str(), "", utf8(s, sid), utf8(s, id), answer);
        });
        if (rc != 0) return rc;
        for (const std::u16string& text : wire::fromArray(answer.errors)) frame::append(outputs[0], text);
        for (const std::u16string& component : wire::fromArray(answer.componentIDs)) frame::append(outputs[1], component);
        return PELOX_OK;
    });
}

PELOX_API int32_t pelox_getJobResults(const pelox_char* sessionId, const pelox_char* jobId, int32_t resultInfo) {
    return frame::runExport(/*initialising=*/false, [&]() -> int32_t {
        auto out = registry::outputResultInfo(resultInfo);
        if (!out) return PELOX_E_NO_RESULT_INFO;
        if (!sessionId || !jobId) return PELOX_E_NULL_ARGUMENT;
        const std::u16string sid = frame::toU16(sessionId);
        const std::u16string id = frame::toU16(jobId);
        HeldJob job;
        if (!registry::findJob(id, job)) return PELOX_E_NO_JOB;
        SessionInfo session;
        if (!registry::copySession(sid, session)) return PELOX_E_NO_SESSION;

        SoapStruct ctx;
        const char* endpoint = job->jobEndpoint.c_str();
        if (session.hasJobResults2) {
            qor__GetJobResults2Response answer;
            const int rc = callWithRetry(ctx, "soap call to GetJobResults2() failed", [&](struct soap* s) {
                return soap_call_qor__GetJobResults2(s, endpoint, "", utf8(s, sid), utf8(s, id), 0, answer);
            });
            if (rc != 0) return rc;
            copyResults(answer.runResults, *out);
        } else {
            qor__GetJobResultsResponse answer;
            const int rc = callWithRetry(ctx, "soap call to GetJobResults() failed", [&](struct soap* s) {
                return soap_call_qor__GetJobResults(s, endpoint, "", utf8(s, sid), utf8(s, id), answer);
            });
            if (rc != 0) return rc;
            copyResults(answer.runResults, *out);
        }
        return PELOX_OK;
    });
}

}  // extern "C"
