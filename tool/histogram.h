#pragma once

// A distribution of counts in bounded memory, for figures over logs of any size: values below
// 4096 are counted exactly, larger ones in 2048 buckets per doubling (a bucket spans under
// 0.05 % of its values), so there are never more than about 110 000 buckets. A bucket keeps
// the smallest value it was given, which is what a quantile falling into it reports: exact
// whenever the bucket's values are all the same.

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <map>

class BucketHistogram {
public:
    void Add(uint64_t value) {
        Count& bucket = m_counts[Bucket(value)];
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
        uint64_t seen = 0;
        for (const auto& entry : m_counts)
            if ((seen += entry.second.Values) >= rank)
                return entry.second.Lowest;
        return m_max;
    }
    // How many values are over `value` (those of the bucket holding it count as not over).
    uint64_t CountOver(uint64_t value) const {
        uint64_t over = 0;
        for (auto it = m_counts.upper_bound(Bucket(value)); it != m_counts.end(); ++it)
            over += it->second.Values;
        return over;
    }

private:
    static constexpr uint64_t kExact = 4096;
    static constexpr int kBits = 11; // 2048 buckets per doubling
    static uint32_t Bucket(uint64_t value) {
        if (value < kExact)
            return uint32_t(value);
        const int exponent = 63 - std::countl_zero(value); // 12 and up
        const uint64_t mantissa = (value >> (exponent - kBits)) & ((1u << kBits) - 1);
        return uint32_t(kExact + uint64_t(exponent - 12) * (1u << kBits) + mantissa);
    }
    struct Count {
        uint64_t Values = 0;
        uint64_t Lowest = 0;
    };

    std::map<uint32_t, Count> m_counts;
    uint64_t m_total = 0, m_min = 0, m_max = 0;
};
