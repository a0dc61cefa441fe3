// The job record: what the library keeps about one job it knows, from its
// creation, launch or reconnection until it is released. Records are shared
// (std::shared_ptr) so that a record removed from the job registry stays
// valid, with its lock, until the export that holds the lock lets go.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/tarn_context.h"
#include "peloxImp.h"

namespace pelox {

struct JobInfo {
    std::string jobEndpoint;            // runner endpoint the job lives at (UTF-8)
    int32_t state = PELOX_JOB_UNKNOWN;  // 1500..1508, or 0 when created and never launched
    std::u16string pendingInstructions; // client instruction text waiting for the host
    tarn::ForcedCriticalSection lock;   // held by an export while it works on the record
    bool deferToHost = false;           // option 2
    bool handleClientSteps = false;     // option 1
    bool report1508 = false;            // option 4
    bool previewClientSteps = false;    // option 32
    bool stepPreviewed = false;         // the waiting step was shown to the host; the next poll carries it out
    std::vector<unsigned char> previewedStep;  // the description that was shown (empty when it could not be read)
    bool previewedStepReadable = false; // the description shown could be read (only such a step is ever run)
    // The state 1502 came from a blocking launch, not from a poll: the
    // waiting step has not been handled yet, so the next poll asks the
    // server and carries it out instead of resuming the job first.
    bool stepNotYetHandled = false;

    // Forgets everything about a waiting step (a fresh launch).
    void forgetWaitingStep() {
        pendingInstructions.clear();
        stepPreviewed = false;
        previewedStep.clear();
        previewedStepReadable = false;
        stepNotYetHandled = false;
    }

    // Sets the option flags from job option bits (2 does not imply 1
    // here; the launch adds that itself).
    void setOptions(int32_t flags) {
        deferToHost = (flags & PELOX_JOB_DEFER_TO_HOST) != 0;
        handleClientSteps = (flags & PELOX_JOB_HANDLE_CLIENT_STEPS) != 0;
        report1508 = (flags & PELOX_JOB_REPORT_1508) != 0;
        previewClientSteps = (flags & PELOX_JOB_PREVIEW_CLIENT_STEPS) != 0;
    }
};

// Maps a server job state to the job state code 1500..1508:
// 0,1 -> 1500; 2,10,11 -> 1501; 3 -> 1502; 4 -> 1503; 5 -> 1504; 6 -> 1505;
// 7,8,9 -> 1506; 12 -> 1508 with report1508, else 1501; anything else -> 1507.
int32_t mapServerJobState(int32_t serverState, bool report1508);

}  // namespace pelox
