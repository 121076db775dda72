#pragma once

// Figures over a log's exchanges, in memory that does not grow with the log: counts by outcome,
// the exchange times' distribution, gaps in polling and each channel's good values.

#include "decode.h"
#include "histogram.h"

#include <array>
#include <optional>
#include <string>
#include <vector>

class LogStats {
public:
    void Add(const DecodedExchange& exchange);
    void AddMalformed() { ++m_malformed; }

    void AppendText(std::string& out) const;
    void AppendJson(std::string& out) const;

    // A polling period is a gap when it is over this many times the median period.
    static constexpr int kGapFactor = 2;
    static constexpr size_t kLongestGapsShown = 5;

private:
    struct Gap {
        int64_t StartMs;
        int64_t LengthMs;
    };
    struct Channel {
        uint64_t Count = 0;
        double Sum = 0;
        float Min = 0, Max = 0;
    };
    struct Summary; // what both outputs print
    void AddSend(int64_t sentMs);
    Summary Summarise() const;

    uint64_t m_exchanges = 0;
    uint64_t m_answered = 0;
    uint64_t m_malformed = 0;
    std::array<uint64_t, kOutcomeCount> m_outcomes{};
    uint64_t m_invalidStamps = 0; // sends whose stamp is no date and time: left out of spans
    std::optional<int64_t> m_firstMs, m_lastMs, m_previousMs;
    BucketHistogram m_exchangeTimes;   // ms
    BucketHistogram m_periods;         // ms between two sends
    std::vector<Gap> m_longestPeriods; // the longest few, longest first
    std::array<Channel, 12> m_channels{};
};
