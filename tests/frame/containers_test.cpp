// The library's own containers: growth steps, buffer reuse, index checks and
// the hash map's bucket growth and node reuse.
#include <gtest/gtest.h>

#include <vector>

#include "frame/containers/array.h"
#include "frame/containers/hash_map.h"
#include "frame/containers/wide_string.h"
#include "host/alloc_base.h"

using namespace pelox;

namespace {
std::u16string firstMessage(const tarn::Exception& e) { return e.getErrorMessage(0); }
}  // namespace

TEST(WideString, GrowthSteps) {
    WString s;
    EXPECT_EQ(s.makeRoom(0), nullptr);  // nothing allocated for 0 units
    EXPECT_EQ(s.capacity(), 0u);
    s.makeRoom(1);
    EXPECT_EQ(s.capacity(), 16u);
    WString t;
    t.makeRoom(20);
    EXPECT_EQ(t.capacity(), 32u);
    WString big;
    big.makeRoom(2000000);
    EXPECT_EQ(big.capacity(), 2097152u);
    EXPECT_EQ(WString::grownCapacity(15, 0), 16u);
    EXPECT_EQ(WString::grownCapacity(16, 0), 32u);
    EXPECT_EQ(WString::grownCapacity(1048575, 0), 1048576u);
    EXPECT_EQ(WString::grownCapacity(1048576, 0), 2u * 1048576u);
    EXPECT_EQ(WString::grownCapacity(3u * 1048576u, 0), 4u * 1048576u);
    EXPECT_EQ(WString::grownCapacity(3, 64), 64u);  // never below the old capacity
}

TEST(WideString, KeepsContentAndBufferWhileGrowingAndShrinking) {
    WString s(u"hello");
    s.append(u" world", 6);
    EXPECT_EQ(s.view(), u"hello world");
    EXPECT_EQ(s.length(), 11u);
    const char16_t* buffer = s.data();
    s.truncate(4);
    EXPECT_EQ(s.view(), u"hell");
    s.clear();
    EXPECT_TRUE(s.empty());
    EXPECT_EQ(s.data(), buffer);  // emptied, buffer kept
    s.assign(u"abc-xyz");
    s.toUpper();
    EXPECT_EQ(s.view(), u"ABC-XYZ");
    s.assign(s.view().substr(4));  // assigning a piece of itself
    EXPECT_EQ(s.view(), u"XYZ");
    s.append(s.view());
    EXPECT_EQ(s.view(), u"XYZXYZ");
    WString empty;
    EXPECT_NE(empty.c_str(), nullptr);
    EXPECT_EQ(empty.c_str()[0], 0);
}

// Text written straight into the buffer is counted on demand; making room
// afterwards must not invent a length from the room asked for.
TEST(WideString, UncountedLengthSurvivesMakingRoom) {
    WString s(u"abcdef");
    s.data()[2] = 0;  // direct write: the text is now "ab"
    s.recount();
    s.makeRoom(10);  // fits in the buffer
    EXPECT_EQ(s.length(), 2u);
    EXPECT_EQ(s.view(), u"ab");
    s.data()[1] = 0;
    s.recount();
    s.makeRoom(4);  // cuts below nothing: the text ends earlier
    EXPECT_EQ(s.view(), u"a");
    s.assign(u"abcdef");
    s.makeRoom(3);  // a counted length above the room is cut to it
    EXPECT_EQ(s.view(), u"abc");
}

TEST(WideString, NarrowAndWideConversion) {
    WString s;
    assignNarrow(s, "8.5.0.0");
    EXPECT_EQ(s.view(), u"8.5.0.0");
    assignNarrow(s, "\xE9");
    EXPECT_EQ(s.view(), u"\u00e9");  // each byte widened
    EXPECT_EQ(toNarrow(u"caf\u00e9"), "caf\xE9");
    try {
        toNarrow(u"a\u20acb");
        FAIL();
    } catch (const tarn::Exception& e) {
        EXPECT_EQ(firstMessage(e), u"Unable to convert character 0x20ac");
    }
}

TEST(WideString, AllocationFailureIsAMemoryException) {
    WString s;
    tarn::AllocBase::failAfter(0);
    EXPECT_THROW(s.makeRoom(10), tarn::MemoryException);
    tarn::AllocBase::failAfter(-1);
    EXPECT_TRUE(s.empty());
}

TEST(Array, WordGrowthAndIndexChecks) {
    Array<uint32_t> a;
    std::vector<uint32_t> capacities;
    for (uint32_t i = 0; i < 40; ++i) {
        a.append(i);
        if (capacities.empty() || capacities.back() != a.capacity()) capacities.push_back(a.capacity());
    }
    EXPECT_EQ(capacities, (std::vector<uint32_t>{5, 10, 20, 40}));
    EXPECT_EQ(a[39], 39u);
    try {
        (void)a.at(40);
        FAIL();
    } catch (const tarn::InvalidIndexException& e) {
        EXPECT_EQ(firstMessage(e), firstMessage(tarn::InvalidIndexException(40, 39)));
    }
    EXPECT_THROW(a.insert(41, 1), tarn::InvalidIndexException);
    a.insert(0, 100);
    a.insert(a.count(), 200);
    EXPECT_EQ(a[0], 100u);
    EXPECT_EQ(a[1], 0u);
    EXPECT_EQ(a[a.count() - 1], 200u);
    a.resize(2);
    a.resize(4);
    EXPECT_EQ(a[2], 0u);  // new elements are 0
    Array<uint32_t> empty;
    EXPECT_THROW(empty.at(0), tarn::InvalidIndexException);
}

TEST(Array, AllocationFailureIsAMemoryException) {
    Array<uint32_t> a;
    tarn::AllocBase::failAfter(0);
    EXPECT_THROW(a.append(1), tarn::MemoryException);
    tarn::AllocBase::failAfter(-1);
    EXPECT_EQ(a.count(), 0u);
}

TEST(StringArray, ShrinkKeepsSmallBuffersForReuse) {
    StringArray a;
    a.resize(3);
    a[0].assign(u"first");
    a[1].assign(u"second");
    a[2].assign(std::u16string(1500, u'x'));  // above the reuse limit
    const char16_t* small = a[1].data();
    a.resize(1);
    EXPECT_EQ(a.count(), 1u);
    EXPECT_EQ(a[0].view(), u"first");
    a.resize(3);
    EXPECT_TRUE(a[1].empty());
    EXPECT_TRUE(a[2].empty());
    EXPECT_EQ(a[1].data(), small);     // reused
    EXPECT_EQ(a[2].data(), nullptr);   // large buffer was freed
    EXPECT_EQ(a[2].capacity(), 0u);

    StringArray copy = a;
    copy[0].assign(u"changed");
    EXPECT_EQ(a[0].view(), u"first");
    EXPECT_EQ(copy.count(), 3u);
}

TEST(Stack, PushTopPopAndEmpty) {
    Stack<int> s;
    try {
        s.top();
        FAIL();
    } catch (const tarn::Exception& e) {
        EXPECT_EQ(firstMessage(e), u"Stack is empty");
    }
    EXPECT_THROW(s.pop(), tarn::Exception);
    s.push(1);
    s.push(2);
    EXPECT_EQ(s.top(), 2);
    EXPECT_EQ(s.pop(), 2);
    EXPECT_EQ(s.pop(), 1);
    EXPECT_TRUE(s.empty());
}

TEST(HashMap, GrowsAtThresholdToNextPrime) {
    HashMap<int, IntKey> m(31);
    EXPECT_EQ(m.bucketCount(), 31u);
    EXPECT_EQ(m.threshold(), 23u);
    for (int i = 0; i < 23; ++i) m.put(i, i);
    EXPECT_EQ(m.bucketCount(), 31u);
    m.put(23, 23);  // the insertion made with 23 entries grows the table
    EXPECT_EQ(m.bucketCount(), 67u);
    EXPECT_EQ(m.threshold(), 50u);
    for (int i = 24; i < 50; ++i) m.put(i, i);
    EXPECT_EQ(m.bucketCount(), 67u);
    m.put(50, 50);
    EXPECT_EQ(m.bucketCount(), 137u);
    for (int i = 0; i <= 50; ++i) ASSERT_NE(m.find(i), nullptr) << i;
    EXPECT_EQ(*m.find(17), 17);
    EXPECT_EQ(m.find(1000), nullptr);
    EXPECT_EQ(detail::nextPrimeAbove(274), 277u);
    EXPECT_EQ(detail::nextPrimeAbove(1), 2u);
    EXPECT_EQ(detail::nextPrimeAbove(2), 3u);
}

// The prime rule behind the growth steps: 1, 2 and 3 count as prime, even
// numbers above 2 do not, and odd divisors are tried while below
// floor(sqrt(n) + 1), so squares of primes are caught.
// Bucket order is part of the map's behaviour (registries are walked bucket
// by bucket): new entries go to the front of their bucket, and growing moves
// the old buckets in order from the first, each node to the front of its new
// bucket, so one old chain comes out reversed.
TEST(HashMap, GrowthKeepsTheBucketOrderRule) {
    HashMap<int, IntKey> m(31);
    // 0 and 2077 share bucket 0 of both tables; 67 and 134 join bucket 0 of
    // the 67-bucket table from old buckets 5 and 10.
    for (int k : {0, 2077, 67, 134}) m.put(k, k);
    for (int k = 1; k <= 19; ++k) m.put(k, k);
    ASSERT_EQ(m.size(), 23u);
    m.put(201, 201);  // grows to 67 buckets first, then goes to the front
    ASSERT_EQ(m.bucketCount(), 67u);
    std::vector<int> order;
    m.forEach([&](int key, int&) { order.push_back(key); });
    ASSERT_GE(order.size(), 5u);
    EXPECT_EQ(std::vector<int>(order.begin(), order.begin() + 5), (std::vector<int>{201, 134, 67, 0, 2077}));
}

TEST(HashMap, PrimeRuleAndNextPrime) {
    for (uint32_t p : {1u, 2u, 3u, 5u, 7u, 31u, 67u, 137u, 277u, 65521u}) EXPECT_TRUE(detail::isPrime(p)) << p;
    for (uint32_t c : {0u, 4u, 9u, 25u, 49u, 121u, 289u, 65535u}) EXPECT_FALSE(detail::isPrime(c)) << c;
    EXPECT_EQ(detail::nextPrimeAbove(0), 1u);  // 1 counts as prime
    EXPECT_EQ(detail::nextPrimeAbove(3), 5u);
    EXPECT_EQ(detail::nextPrimeAbove(23), 29u);
    EXPECT_EQ(detail::nextPrimeAbove(24), 29u);
    EXPECT_EQ(detail::nextPrimeAbove(62), 67u);
    EXPECT_EQ(detail::nextPrimeAbove(134), 137u);
    EXPECT_EQ(detail::nextPrimeAbove(120), 127u);
}

TEST(HashMap, ReusesRemovedNodesAndKeepsValueAddresses) {
    HashMap<WString, IntKey> m(31);
    WString& a = m.findOrInsert(1);
    a.assign(u"one");
    const WString* addr = m.find(1);
    m.put(2, WString(u"two"));
    EXPECT_EQ(m.find(1), addr);  // values do not move
    EXPECT_TRUE(m.remove(1));
    EXPECT_FALSE(m.remove(1));
    EXPECT_EQ(m.freeNodeCount(), 1u);
    WString& again = m.findOrInsert(3);
    EXPECT_EQ(&again, addr);     // the node was reused
    EXPECT_TRUE(again.empty());  // with an empty value
    m.clear();
    EXPECT_EQ(m.size(), 0u);
    EXPECT_EQ(m.freeNodeCount(), 2u);
    EXPECT_EQ(m.find(2), nullptr);
}

TEST(HashMap, APutThatCannotStoreItsValueLeavesNoEntry) {
    HashMap<WString, IntKey> m(31);
    WString value;
    value.assign(u"some text that needs memory");
    m.put(1, value);
    // The new key's node is allocated, then copying its value fails.
    tarn::AllocBase::failAfter(1);
    EXPECT_THROW(m.put(2, value), tarn::MemoryException);  // new key: taken out again
    tarn::AllocBase::failAfter(-1);
    const WString longer(u"a longer text than the first one, which needs a bigger buffer");
    tarn::AllocBase::failAfter(0);
    EXPECT_THROW(m.put(1, longer), tarn::MemoryException);  // existing key: stays
    tarn::AllocBase::failAfter(-1);
    EXPECT_FALSE(m.contains(2));
    EXPECT_TRUE(m.contains(1));
    EXPECT_EQ(m.size(), 1u);
}

TEST(HashMap, ZeroBucketsAndMissingKeys) {
    try {
        HashMap<int, IntKey> m(0);
        FAIL();
    } catch (const tarn::Exception& e) {
        EXPECT_EQ(firstMessage(e), u"Cannot resize a hash map to 0");
    }
    HashMap<int, IntKey> m(31);
    EXPECT_EQ(m.find(5), nullptr);  // empty map with buckets: end, no exception
    EXPECT_FALSE(m.remove(5));
}

TEST(HashMap, StringKeys) {
    EXPECT_EQ(WStringKey::hash(u"ab"), 97u * 31u + 98u);
    EXPECT_EQ(WStringKey::hash(u"\u0161"), 0x61u);  // only the low byte counts
    HashMap<int, WStringKey> exact(31);
    exact.put(u"Job-1", 1);
    EXPECT_EQ(exact.find(u"job-1"), nullptr);
    ASSERT_NE(exact.find(u"Job-1"), nullptr);

    EXPECT_EQ(WStringNoCaseKey::hash(u"ABC"), WStringNoCaseKey::hash(u"abc"));
    HashMap<int, WStringNoCaseKey> folded(31);
    folded.put(u"Result", 7);
    ASSERT_NE(folded.find(u"rESULT"), nullptr);
    EXPECT_EQ(*folded.find(u"RESULT"), 7);
    EXPECT_EQ(folded.find(u"R\u00c9SULT"), nullptr);  // only A-Z fold
    folded.put(u"RESULT", 8);
    EXPECT_EQ(folded.size(), 1u);
    EXPECT_EQ(*folded.find(u"result"), 8);
}
