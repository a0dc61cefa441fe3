// The order in which the configuration map walks its names, worked out here
// from the map's rules without the library's containers: 31 buckets to start
// with; hash = hash * 31 + each unit with A-Z folded to a-z; bucket = hash mod
// bucket count; a new name goes to the front of its bucket, a name seen before
// keeps its place; an insertion that finds as many names as three quarters of
// the buckets first grows the table to the smallest prime above twice the
// bucket count, moving the names bucket by bucket from the first, each to the
// front of its new bucket; the walk goes bucket by bucket from the first.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pelox::testsupport {

inline std::u16string foldedAZ(std::u16string s) {
    for (auto& c : s)
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
    return s;
}

inline std::vector<std::u16string> configurationWalk(const std::vector<std::u16string>& serverOrder) {
    auto hash = [](const std::u16string& name) {
        uint32_t h = 0;
        for (char16_t c : foldedAZ(name)) h = h * 31u + c;
        return h;
    };
    auto isPrime = [](size_t n) {
        for (size_t d = 3; d * d <= n; d += 2)
            if (n % d == 0) return false;
        return n % 2 == 1;
    };
    std::vector<std::vector<std::u16string>> buckets(31);  // each bucket front first
    size_t size = 0;
    for (const auto& name : serverOrder) {
        bool known = false;
        for (const auto& bucket : buckets)
            for (const auto& n : bucket) known = known || foldedAZ(n) == foldedAZ(name);
        if (known) continue;
        if (size >= buckets.size() * 3 / 4) {
            size_t grown = buckets.size() * 2 + 1;
            while (!isPrime(grown)) grown += 2;
            std::vector<std::vector<std::u16string>> next(grown);
            for (const auto& bucket : buckets)
                for (const auto& n : bucket) {
                    auto& to = next[hash(n) % grown];
                    to.insert(to.begin(), n);
                }
            buckets = std::move(next);
        }
        auto& to = buckets[hash(name) % buckets.size()];
        to.insert(to.begin(), name);
        ++size;
    }
    std::vector<std::u16string> walk;
    for (const auto& bucket : buckets) walk.insert(walk.end(), bucket.begin(), bucket.end());
    return walk;
}

}  // namespace pelox::testsupport
