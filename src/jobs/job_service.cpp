#include "jobs/job_service.h"

#include "connection/channel.h"
#include "host/property_collection.h"
#include "host/qor_keys.h"
#include "host/xml_functions.h"
#include "peloxImp.h"
#include "soapH.h"
#include "wire/convert.h"

namespace pelox {

int internalContinueJob(std::u16string_view sessionId, std::u16string_view jobId, JobInfo& job) {
    return tarn::annotate(u"peloxImp", u"internalContinueJob", [&]() -> int {
        SoapStruct ctx;
        qor__EmptyResponse answer;
        const int rc = callWithRetry(ctx, "soap call to SetJobStatus() failed", [&](struct soap* s) {
            return soap_call_qor__SetJobStatus(s, job.jobEndpoint.c_str(), "", wire::utf8(s, sessionId),
                                               wire::utf8(s, jobId), 2, answer);
        });
        if (rc != 0) return rc;
        job.state = PELOX_JOB_RUNNING;
        job.pendingInstructions.clear();
        job.stepPreviewed = false;  // a step resumed past is skipped, not carried out later
        job.previewedStep.clear();
        job.previewedStepReadable = false;
        return PELOX_OK;
    });
}

host::Bytes clearJobSettings(bool zlibForm) {
    auto settings = host::CPropertyCollection::newInstance();
    // The checkpoint entry names itself and is switched off; the run
    // information directory entry is 0.
    settings->setText(qor::QOR_ComponentCheckpoint, qor::QOR_ComponentCheckpoint);
    settings->setInteger(qor::QOR_Dir_RunInfo, 0);
    host::Bytes xml;
    host::CXMLWriterFunctions().WriteToBuffer(xml, *settings, false, nullptr);
    host::Bytes zipped;
    host::vcCompress(5, zlibForm, false).Compress(zipped, xml);
    return zipped;
}

}  // namespace pelox
