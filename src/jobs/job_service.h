// Service calls about one job that more than one export makes: resuming a
// job that waits for the client, and the settings a relaunch clears a job
// with.
#pragma once

#include <string_view>

#include "host/compress.h"
#include "jobs/job_record.h"

namespace pelox {

// Resumes the job (SetJobStatus with state 2) at the record's endpoint.
// On success the record's state becomes PELOX_JOB_RUNNING and its pending
// instruction text is emptied; a transport failure returns
// PELOX_E_CONNECTION or PELOX_E_SERVICE_CALL and changes nothing; a raised
// exception passes on with the context "internalContinueJob".
int internalContinueJob(std::u16string_view sessionId, std::u16string_view jobId, JobInfo& job);

// The compressed property collection sent with ClearJob: the component
// checkpoint entry and the run-information directory entry.
host::Bytes clearJobSettings(bool zlibForm);

}  // namespace pelox
