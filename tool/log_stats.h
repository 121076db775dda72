#pragma once

// Figures over a log's exchanges, in memory that does not grow with the log: counts by outcome,
// the exchange times' distribution, gaps in polling and each channel's good values; for the
// whole log and, when it holds several instruments (network numbers), for each of them.

#include "decode.h"
#include "histogram.h"
#include "json_text.h"

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class LogStats {
public:
    LogStats();
    ~LogStats();
    void Add(const ExchangeRecord& exchange);
    void AddMalformed() { ++m_malformed; }

    // With several network numbers in the log, the answers, outcomes, exchange times, polling
    // periods and channels of each follow the whole log's figures (text: instead of the whole
    // log's channels, which would mix instruments). JSON always has a "networks" array.
    void AppendText(std::string& out) const;
    void AppendJson(std::string& out) const;

    // A polling period is a gap when it is over this many times the median period.
    static constexpr int kGapFactor = 2;
    static constexpr size_t kLongestGapsShown = 5;

private:
    template <class Histogram> struct Figures;
    template <class Histogram>
    static void AppendText(std::string& out, const Figures<Histogram>& figures, bool channels);
    template <class Histogram>
    static void AppendJson(JsonText& json, const Figures<Histogram>& figures);

    std::unique_ptr<Figures<BucketHistogram>> m_log;
    std::array<std::unique_ptr<Figures<InstrumentHistogram>>, 256> m_networks;
    size_t m_networkCount = 0;
    uint64_t m_malformed = 0;
    uint64_t m_invalidStamps = 0; // sends whose stamp is no date and time: left out of spans
    std::optional<int64_t> m_firstMs, m_lastMs;
};
