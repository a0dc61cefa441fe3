// Job control: pelox_stopJob, pelox_releaseJob, pelox_continueJob,
// pelox_reconnectToJob, and the host's side of deferred client steps,
// pelox_getClientInstructions.
#include <string>

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

// An endpoint text from the server, one byte per character; a character
// above 255 raises "Unable to convert character 0x%x".
std::string narrowEndpoint(const char* utf8Text) {
    const std::u16string wide = wire::toWide(utf8Text);
    std::string out;
    out.reserve(wide.size());
    for (char16_t c : wide) {
        if (c > 255) throw tarn::Exception("Unable to convert character 0x%x", static_cast<unsigned>(c));
        out += static_cast<char>(c);
    }
    return out;
}

}  // namespace

extern "C" {

PELOX_API int32_t pelox_stopJob(const pelox_char* sessionId, const pelox_char* jobId) {
    return frame::runExport(/*initialising=*/false, [&]() -> int32_t {
        if (!sessionId || !jobId) return PELOX_E_NULL_ARGUMENT;
        const std::u16string id = frame::toU16(jobId);
        HeldJob job;
        if (!registry::findJob(id, job)) return PELOX_E_NO_JOB;
        const std::u16string sid = frame::toU16(sessionId);
        SoapStruct ctx;
        qor__EmptyResponse answer;
        // The record keeps its state: the next poll reports the stopped job.
        const int rc = callWithRetry(ctx, "soap call to StopJob() failed", [&](struct soap* s) {
            return soap_call_qor__StopJob(s, job->jobEndpoint.c_str(), "", utf8(s, sid), utf8(s, id), answer);
        });
        // A step shown to the host is never carried out for a job it stopped.
        if (rc == 0) job->stepPreviewed = false;
        return rc;
    });
}

PELOX_API int32_t pelox_releaseJob(const pelox_char* sessionId, const pelox_char* jobId) {
    return frame::runExport(/*initialising=*/false, [&]() -> int32_t {
        if (!sessionId || !jobId) return PELOX_E_NULL_ARGUMENT;
        const std::u16string id = frame::toU16(jobId);
        HeldJob job;
        if (!registry::findJob(id, job)) return PELOX_E_NO_JOB;
        const std::u16string sid = frame::toU16(sessionId);
        SoapStruct ctx;
        qor__EmptyResponse answer;
        const int rc = callWithRetry(ctx, "soap call to ReleaseJob() failed", [&](struct soap* s) {
            return soap_call_qor__ReleaseJob(s, job->jobEndpoint.c_str(), "", utf8(s, sid), utf8(s, id), answer);
        });
        if (rc != 0) return rc;  // the record stays
        registry::removeJob(id, job);
        return PELOX_OK;
    });
}

PELOX_API int32_t pelox_continueJob(const pelox_char* sessionId, const pelox_char* jobId) {
    return frame::runExport(/*initialising=*/false, [&]() -> int32_t {
        if (!sessionId || !jobId) return PELOX_E_NULL_ARGUMENT;
        const std::u16string id = frame::toU16(jobId);
        HeldJob job;
        if (!registry::findJob(id, job)) return PELOX_E_NO_JOB;
        if (job->state != PELOX_JOB_WAITING_FOR_CLIENT) return PELOX_OK;
        return internalContinueJob(frame::view(sessionId), id, *job);
    });
}

PELOX_API int32_t pelox_reconnectToJob(const pelox_char* sessionId, const pelox_char* jobId, int32_t flags) {
    return frame::runExport(/*initialising=*/false, [&]() -> int32_t {
        if (!sessionId || !jobId) return PELOX_E_NULL_ARGUMENT;
        const std::u16string sid = frame::toU16(sessionId);
        SessionInfo session;
        if (!registry::copySession(sid, session)) return PELOX_E_NO_SESSION;
        if (flags & PELOX_JOB_DEFER_TO_HOST) flags |= PELOX_JOB_HANDLE_CLIENT_STEPS;
        const std::u16string id = frame::toU16(jobId);
        {
            HeldJob known;
            if (registry::findJob(id, known)) {
                known->setOptions(flags);
                return PELOX_OK;
            }
        }

        SoapStruct ctx;
        qor__GetAllJobsResponse answer;
        const int rc = callWithRetry(ctx, "soap call to GetAllJobs() failed", [&](struct soap* s) {
            return soap_call_qor__GetAllJobs(s, session.serverUrl.c_str(), "", utf8(s, sid),
                                             utf8(s, session.clientTypeSuffix), 4, answer);
        });
        if (rc != 0) return rc;
        // The first job whose identifier matches exactly (letter case counts).
        const qor__Job* found = nullptr;
        for (int i = 0; i < wire::arraySize(answer.jobsArray) && !found; ++i)
            if (wire::toWide(answer.jobsArray->__ptr[i].jobID) == id) found = &answer.jobsArray->__ptr[i];
        if (!found) return PELOX_E_NO_JOB;
        const std::string endpoint = narrowEndpoint(found->jobHostEndPoint);
        HeldJob job;
        registry::insertJob(id, job);
        job->jobEndpoint = endpoint;
        job->setOptions(flags);
        job->state = PELOX_JOB_UNKNOWN;
        return PELOX_OK;
    });
}

PELOX_API int32_t pelox_getClientInstructions(int32_t instructionString, const pelox_char* jobId) {
    return frame::runExport(/*initialising=*/false, [&]() -> int32_t {
        auto out = registry::outputString(instructionString);
        if (!out) return PELOX_E_NO_STRING;
        if (!jobId) return PELOX_E_NULL_ARGUMENT;
        HeldJob job;
        if (!registry::findJob(frame::view(jobId), job)) return PELOX_E_NO_JOB;
        if (job->state != PELOX_JOB_WAITING_FOR_CLIENT) return PELOX_E_NOT_WAITING_FOR_CLIENT;
        // The text is handed over once.
        frame::setText(*out, job->pendingInstructions);
        job->pendingInstructions.clear();
        return PELOX_OK;
    });
}

}  // extern "C"
