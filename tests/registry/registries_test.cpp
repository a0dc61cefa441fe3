// Error record store, object registries, result infos, sessions and jobs.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "frame/error_cache.h"
#include "registry/registries.h"

using namespace pelox;

namespace {

tarn::Exception twoMessages(const char* first) {
    tarn::Exception e(first);
    e.appendMessage(u"%ls::%ls", u"Inner", u"step");
    return e;
}

}  // namespace

TEST(ErrorCache, NumbersRecordsFromOneAndReadsThemOnce) {
    ErrorCache cache(10);
    EXPECT_EQ(cache.addError(twoMessages("first")), 1);
    EXPECT_EQ(cache.addError(twoMessages("second")), 2);
    StringArray out;
    ASSERT_TRUE(cache.errorForHandle(1, out));
    ASSERT_EQ(out.count(), 2u);
    EXPECT_EQ(out[0].view(), u"first");
    EXPECT_EQ(out[1].view(), u"Inner::step");
    EXPECT_FALSE(cache.errorForHandle(1, out));  // read once
    EXPECT_EQ(out.count(), 0u);                  // and the output is emptied
    EXPECT_TRUE(cache.errorForHandle(2, out));
    EXPECT_EQ(cache.addError(tarn::Exception("third")), 3);  // identifiers are not reused
}

TEST(ErrorCache, KeepsOnlyTheNewestRecordsUpToCapacity) {
    ErrorCache cache(10);
    for (int i = 1; i <= 11; ++i) EXPECT_EQ(cache.addError(tarn::Exception("failure %d", i)), i);
    StringArray out;
    EXPECT_FALSE(cache.errorForHandle(1, out));  // pushed out by the eleventh
    for (int i = 2; i <= 11; ++i) EXPECT_TRUE(cache.errorForHandle(i, out)) << i;
    EXPECT_EQ(cache.recordCount(), 0u);

    // Capacity 0 means 1: only the newest record survives.
    cache.resize(0);
    EXPECT_EQ(cache.capacity(), 1u);
    const int32_t a = cache.addError(tarn::Exception("a"));
    const int32_t b = cache.addError(tarn::Exception("b"));
    EXPECT_FALSE(cache.errorForHandle(a, out));
    EXPECT_TRUE(cache.errorForHandle(b, out));

    // Shrinking drops the oldest at once.
    cache.resize(5);
    int32_t ids[5];
    for (int32_t& id : ids) id = cache.addError(tarn::Exception("x"));
    cache.resize(2);
    EXPECT_EQ(cache.recordCount(), 2u);
    EXPECT_FALSE(cache.errorForHandle(ids[2], out));
    EXPECT_TRUE(cache.errorForHandle(ids[3], out));
    EXPECT_TRUE(cache.errorForHandle(ids[4], out));
}

TEST(ErrorCache, ReadRecordsStillCountTowardsTheCapacity) {
    // The identifier list keeps read identifiers until trimming pushes them out.
    ErrorCache cache(2);
    const int32_t a = cache.addError(tarn::Exception("a"));
    StringArray out;
    EXPECT_TRUE(cache.errorForHandle(a, out));
    const int32_t b = cache.addError(tarn::Exception("b"));
    const int32_t c = cache.addError(tarn::Exception("c"));
    EXPECT_TRUE(cache.errorForHandle(b, out));
    EXPECT_TRUE(cache.errorForHandle(c, out));
}

TEST(ObjectRegistry, HandlesPerTypeNeverReused) {
    ObjectRegistry<WString> strings;
    ObjectRegistry<StringArray> arrays;
    EXPECT_EQ(arrays.create(), 1);
    EXPECT_EQ(arrays.create(), 2);
    EXPECT_EQ(strings.create(), 1);
    {
        Guard g(arrays.lock());
        EXPECT_TRUE(arrays.remove(2));
        EXPECT_EQ(arrays.find(2), nullptr);
        EXPECT_NE(arrays.find(1), nullptr);
    }
    EXPECT_EQ(arrays.create(), 3);
    EXPECT_EQ(arrays.count(), 2u);
}

TEST(ResultInfo, NamesInOrderCaseInsensitiveValues) {
    ResultInfo r;
    r.setValues(u"Alpha", std::vector<std::u16string>{u"1", u"2"});
    r.appendValue(u"beta", u"x");
    r.appendValue(u"ALPHA", u"3");  // same name, other case
    EXPECT_EQ(r.nameCount(), 2u);
    EXPECT_EQ(r.names()[0].view(), u"Alpha");
    EXPECT_EQ(r.names()[1].view(), u"beta");
    const StringArray* alpha = r.find(u"alpha");
    ASSERT_NE(alpha, nullptr);
    EXPECT_EQ(toVector(*alpha), (std::vector<std::u16string>{u"1", u"2", u"3"}));
    r.setValues(u"BETA", std::vector<std::u16string>{u"y"});
    EXPECT_EQ(toVector(*r.find(u"Beta")), std::vector<std::u16string>{u"y"});
    r.clear();
    EXPECT_EQ(r.nameCount(), 0u);
    EXPECT_EQ(r.find(u"alpha"), nullptr);
    // A reused node starts empty.
    r.appendValue(u"gamma", u"g");
    EXPECT_EQ(r.find(u"gamma")->count(), 1u);
}

TEST(SessionRegistry, PutContainsCopy) {
    SessionRegistry reg;
    SessionInfo s;
    s.userName = u"ann";
    EXPECT_FALSE(reg.contains(u"S1"));
    reg.put(u"S1", s);
    EXPECT_TRUE(reg.contains(u"S1"));
    EXPECT_FALSE(reg.contains(u"s1"));  // identifiers are case-sensitive
    SessionInfo copy;
    ASSERT_TRUE(reg.copy(u"S1", copy));
    EXPECT_EQ(copy.userName, u"ann");
    s.userName = u"bob";
    reg.put(u"S1", s);  // overwrite does not touch the copy
    EXPECT_EQ(copy.userName, u"ann");
    SessionInfo none;
    EXPECT_FALSE(reg.copy(u"S2", none));
}

TEST(JobRegistry, FindInsertRemoveWithHeldLock) {
    JobInfoHashLock jobs;
    HeldJob slot;
    EXPECT_FALSE(jobs.find(u"J1", slot));
    EXPECT_FALSE(slot);
    bool created = false;
    ASSERT_TRUE(jobs.insert(u"J1", slot, &created));
    EXPECT_TRUE(created);
    EXPECT_EQ(slot->state, 1507);
    slot->state = 1500;
    ASSERT_TRUE(jobs.insert(u"J1", slot, &created));  // the slot moves to the same record
    EXPECT_FALSE(created);
    EXPECT_EQ(slot->state, 1500);
    slot.release();

    HeldJob removed;
    ASSERT_TRUE(jobs.remove(u"J1", removed));
    EXPECT_EQ(jobs.size(), 0u);
    EXPECT_EQ(removed->state, 1500);  // still valid after removal
    HeldJob other;
    EXPECT_FALSE(jobs.find(u"J1", other));
    EXPECT_FALSE(jobs.remove(u"J1", other));
}

TEST(JobRegistry, RecordLockSerialisesHoldersButNotOtherJobs) {
    JobInfoHashLock jobs;
    HeldJob a;
    ASSERT_TRUE(jobs.insert(u"A", a));
    std::atomic<bool> gotA{false}, gotB{false};
    std::thread t([&] {
        HeldJob b;
        gotB = jobs.insert(u"B", b);  // another job: no wait
        HeldJob a2;
        gotA = jobs.find(u"A", a2);   // waits until A is released
    });
    for (int i = 0; i < 200 && !gotB; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_TRUE(gotB);
    EXPECT_FALSE(gotA);
    a.release();
    t.join();
    EXPECT_TRUE(gotA);
}

TEST(JobRegistry, RemovedWhileWaitingIsNotFound) {
    JobInfoHashLock jobs;
    HeldJob holder;
    ASSERT_TRUE(jobs.insert(u"J", holder));
    std::atomic<int> result{-1};
    std::thread t([&] {
        HeldJob w;
        result = jobs.find(u"J", w) ? 1 : 0;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    // The holder releases the job while another thread waits for it.
    ASSERT_TRUE(jobs.remove(u"J", holder));
    holder.release();
    t.join();
    EXPECT_EQ(result, 0);
}

TEST(JobState, ServerStateMapping) {
    const int32_t expected[] = {1500, 1500, 1501, 1502, 1503, 1504, 1505, 1506, 1506, 1506, 1501, 1501};
    for (int s = 0; s < 12; ++s) EXPECT_EQ(mapServerJobState(s, false), expected[s]) << s;
    EXPECT_EQ(mapServerJobState(12, false), 1501);
    EXPECT_EQ(mapServerJobState(12, true), 1508);
    EXPECT_EQ(mapServerJobState(13, true), 1507);
    EXPECT_EQ(mapServerJobState(-1, false), 1507);
    JobInfo j;
    j.setOptions(2 | 4);
    EXPECT_TRUE(j.deferToHost);
    EXPECT_FALSE(j.handleClientSteps);
    EXPECT_TRUE(j.report1508);
}
