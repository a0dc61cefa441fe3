#include "jobs/job_record.h"

namespace pelox {

int32_t mapServerJobState(int32_t serverState, bool report1508) {
    switch (serverState) {
        case 0:
        case 1:
            return 1500;
        case 2:
        case 10:
        case 11:
            return 1501;
        case 3:
            return 1502;
        case 4:
            return 1503;
        case 5:
            return 1504;
        case 6:
            return 1505;
        case 7:
        case 8:
        case 9:
            return 1506;
        case 12:
            return report1508 ? 1508 : 1501;
        default:
            return kJobStateUnknown;
    }
}

}  // namespace pelox
