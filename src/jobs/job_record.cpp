#include "jobs/job_record.h"

namespace pelox {

int32_t mapServerJobState(int32_t serverState, bool report1508) {
    switch (serverState) {
        case 0:
        case 1:
            return PELOX_JOB_FINISHED;
        case 2:
        case 10:
        case 11:
            return PELOX_JOB_RUNNING;
        case 3:
            return PELOX_JOB_WAITING_FOR_CLIENT;
        case 4:
            return PELOX_JOB_STATE_4;
        case 5:
            return PELOX_JOB_STATE_5;
        case 6:
            return PELOX_JOB_STATE_6;
        case 7:
        case 8:
        case 9:
            return PELOX_JOB_ENDED;
        case 12:
            return report1508 ? PELOX_JOB_STATE_12 : PELOX_JOB_RUNNING;
        default:
            return PELOX_JOB_UNKNOWN;
    }
}

}  // namespace pelox
