// Allocation failure in the manner of SQLite's fault simulation: for every
// export, the library's container allocations (tarn::AllocBase) fail from
// the 1st, 2nd, ... allocation of a call onwards until the call gets through.
// Each failing call ends in a status code (the failure value for exports
// that return none), never pretends success, and the next ordinary call,
// from another thread, works: nothing stays locked or half-built. Leaks are
// left to the AddressSanitizer build.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "host/alloc_base.h"
#include "reliability/export_table.h"

using namespace pelox::reliability;

namespace {

constexpr long kBudget = 200000;

// Allocations still allowed under the armed switch (at most kBudget): they
// are taken and given back, so the switch must be re-armed afterwards.
long allowanceLeft() {
    std::vector<void*> blocks;
    for (long n = 0; n < kBudget; ++n) {
        void* b = tarn::AllocBase::_alloc(1);
        if (!b) break;
        blocks.push_back(b);
    }
    for (void* b : blocks) tarn::AllocBase::_free(b);
    return static_cast<long>(blocks.size());
}

// Which allocation numbers to fail: all of them for short calls, else the
// first 32 and 32 spread over the rest.
std::vector<long> failurePoints(long count) {
    std::vector<long> points;
    for (long n = 0; n < count && n < 32; ++n) points.push_back(n);
    for (long k = 1; count > 32 && k <= 32; ++k) points.push_back(32 + (count - 32) * k / 33);
    points.erase(std::unique(points.begin(), points.end()), points.end());
    return points;
}

// Fresh output objects before each run: a reused object keeps its buffers
// and would let later calls get through with fewer allocations.
void renew(Handles& h) {
    peloxImp_removeObject(PELOX_OBJECT_STRING, h.str);
    h.str = peloxImp_createObject(PELOX_OBJECT_STRING);
    for (int32_t* handle : {&h.arr, &h.arr2, &h.arr3}) {
        peloxImp_removeObject(PELOX_OBJECT_STRING_ARRAY, *handle);
        *handle = peloxImp_createObject(PELOX_OBJECT_STRING_ARRAY);
    }
    for (int32_t* handle : {&h.info, &h.waitInfo}) {
        peloxImp_removeObject(PELOX_OBJECT_PROTOCOL_INFO, *handle);
        *handle = peloxImp_createObject(PELOX_OBJECT_PROTOCOL_INFO);
    }
    peloxImp_removeObject(PELOX_OBJECT_RESULT_INFO, h.result);  // only emptied
    h.result = peloxImp_createObject(PELOX_OBJECT_RESULT_INFO);
    EXPECT_EQ(pelox_getProtocolParameters(h.sid.c_str(), u"Examples/Add Numbers", h.info, 0), 0);
    EXPECT_EQ(pelox_getProtocolParameters(h.sid.c_str(), u"Tests/Wait", h.waitInfo, 0), 0);
}

}  // namespace

TEST(AllocationFailure, EveryExportFailsCleanlyAtEveryAllocation) {
    Fixture f({"--hw-address", "foreign"});
    Handles h(f, 0);
    static const std::set<std::string> notStatus = {"peloxImp_createObject", "peloxImp_removeObject", "string_getText",
                                                    "string_getBoolValue", "stringArray_getTextAtIndex"};
    long failedCalls = 0, largest = 0;
    std::string largestName;
    for (const Row& r : exportRows()) {
        SCOPED_TRACE(r.name);
        // How many allocations an ordinary call makes.
        renew(h);
        if (r.prepare) r.prepare(f, h);
        tarn::AllocBase::failAfter(kBudget);
        int32_t rc = r.call(f, h, Args{});
        const long count = kBudget - allowanceLeft();
        tarn::AllocBase::failAfter(-1);
        ASSERT_EQ(rc, r.expected) << errorText(rc);
        if (count > largest) largest = count, largestName = r.name;

        for (long n : failurePoints(count)) {
            const std::string where = std::string(r.name) + ", allocation " + std::to_string(n + 1) + " of " +
                                      std::to_string(count);
            renew(h);
            if (r.prepare) r.prepare(f, h);
            tarn::AllocBase::failAfter(n);
            rc = r.call(f, h, Args{});
            const bool failed = tarn::AllocBase::refusals() > 0;
            tarn::AllocBase::failAfter(-1);
            // A call that reused buffers may need fewer allocations than
            // the first one and meet no failure.
            if (!failed) continue;
            ++failedCalls;
            EXPECT_NE(rc, r.expected) << where << ": a failed allocation reported as success";
            if (!notStatus.count(r.name)) {
                // The error record itself needs memory: -984 when even that fails.
                EXPECT_TRUE(rc == PELOX_E_UNEXPECTED || rc > 0) << where << ": " << rc;
                if (rc > 0) {
                    EXPECT_NE(errorText(rc).find("Unable to allocate"), std::string::npos) << where;
                }
            }
            const int32_t next = onOtherThread([&] {
                if (r.prepare) r.prepare(f, h);
                return r.call(f, h, Args{});
            });
            EXPECT_EQ(next, r.expected) << where << ", the call after: " << errorText(next);
        }
    }
    std::cout << failedCalls << " calls with failing allocations; most allocations in one call: " << largest << " ("
              << largestName << ")\n";
}
