#pragma once

// Distributions of counts in bounded memory, for figures over logs of any size. Values below
// 2^ExactBits are counted exactly, larger ones in 2^DoublingBits buckets per doubling. A bucket
// keeps the smallest value it was given, which is what a quantile falling into it reports:
// exact whenever the bucket's values are all the same.

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <map>
#include <type_traits>
#include <vector>

template <int ExactBits, int DoublingBits, bool Dense> class Histogram {
public:
    // The most buckets there can be.
    static constexpr uint32_t kBuckets =
        (1u << ExactBits) + uint32_t(64 - ExactBits) * (1u << DoublingBits);

    void Add(uint64_t value) {
        Count& bucket = At(Bucket(value));
        bucket.Lowest = bucket.Values ? std::min(bucket.Lowest, value) : value;
        ++bucket.Values;
        m_min = m_total ? std::min(m_min, value) : value;
        m_max = m_total ? std::max(m_max, value) : value;
        ++m_total;
    }
    uint64_t Total() const { return m_total; }
    uint64_t Min() const { return m_min; }
    uint64_t Max() const { return m_max; }

    // The value at quantile q by nearest rank (the ceil(q * total)-th smallest; the smallest
    // value of its bucket), 0 when empty.
    uint64_t Quantile(double q) const {
        if (m_total == 0)
            return 0;
        const auto rank = std::max<uint64_t>(1, uint64_t(std::ceil(q * double(m_total))));
        uint64_t seen = 0, found = m_max;
        Visit(0, [&](const Count& count) {
            if ((seen += count.Values) < rank)
                return false;
            found = count.Lowest;
            return true;
        });
        return found;
    }
    // How many values are over `value` (those of the bucket holding it count as not over).
    uint64_t CountOver(uint64_t value) const {
        uint64_t over = 0;
        Visit(Bucket(value) + 1, [&](const Count& count) {
            over += count.Values;
            return false;
        });
        return over;
    }

private:
    static constexpr uint64_t kExact = uint64_t(1) << ExactBits;
    static uint32_t Bucket(uint64_t value) {
        if (value < kExact)
            return uint32_t(value);
        const int exponent = 63 - std::countl_zero(value); // ExactBits and up
        const uint64_t mantissa =
            (value >> (exponent - DoublingBits)) & ((uint64_t(1) << DoublingBits) - 1);
        return uint32_t(kExact + (uint64_t(exponent - ExactBits) << DoublingBits) + mantissa);
    }
    struct Count {
        uint64_t Values = 0;
        uint64_t Lowest = 0;
    };
    Count& At(uint32_t bucket) {
        if constexpr (Dense) {
            if (m_counts.empty())
                m_counts.resize(kBuckets);
            return m_counts[bucket];
        } else {
            return m_counts[bucket];
        }
    }
    // Calls f on the buckets from `first` on, in order, until it returns true.
    template <class F> void Visit(uint32_t first, F&& f) const {
        if constexpr (Dense) {
            for (size_t i = first; i < m_counts.size(); ++i)
                if (m_counts[i].Values && f(m_counts[i]))
                    return;
        } else {
            for (auto it = m_counts.lower_bound(first); it != m_counts.end(); ++it)
                if (f(it->second))
                    return;
        }
    }

    // Dense: all buckets in one array once a value came; else only those holding values.
    std::conditional_t<Dense, std::vector<Count>, std::map<uint32_t, Count>> m_counts;
    uint64_t m_total = 0, m_min = 0, m_max = 0;
};

// For a whole log: exact below 4096, above in buckets spanning under 0.05 % of their values;
// at most about 110 000 buckets, only those that hold values kept.
using BucketHistogram = Histogram<12, 11, false>;
// For each of up to 256 instruments of a log: exact below 4096 as well (where exchange times
// and polling periods mostly lie, so one instrument's figures match the whole log's), above in
// buckets spanning under 3.2 % of their values; all 5760 buckets in 92 KB from the first value
// on, so that 256 instruments' two distributions stay under 50 MB whatever their logs hold.
using InstrumentHistogram = Histogram<12, 5, true>;
