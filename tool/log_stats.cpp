#include "log_stats.h"

#include "json_text.h"
#include "number_text.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

namespace {

// Fixed-point text in the C locale, whatever locale the tool runs in.
std::string Fixed(double value, int decimals) {
    char text[400];
    const auto result =
        std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, decimals);
    return std::string(text, result.ptr);
}

std::string RightAligned(std::string text, size_t width) {
    return text.size() < width ? std::string(width - text.size(), ' ') + text : text;
}

struct Gap {
    int64_t StartMs;
    int64_t LengthMs;
};

// What both outputs print of a distribution of exchange times and polling periods.
struct Summary {
    uint32_t TimeMin = 0, TimeMedian = 0, TimeP95 = 0, TimeP99 = 0, TimeMax = 0;
    int64_t PeriodMedian = 0, GapThreshold = 0;
    uint64_t Gaps = 0;
    std::vector<Gap> LongestGaps;
};

// The outcomes as reader-tool lists them.
constexpr ExchangeOutcome kShownOutcomes[] = {
    ExchangeOutcome::Ok,      ExchangeOutcome::NoAnswer,         ExchangeOutcome::TooShort,
    ExchangeOutcome::NoFrame, ExchangeOutcome::ChecksumMismatch, ExchangeOutcome::UnknownRequest};

std::string IsoStamp(int64_t stampMs) {
    std::string out;
    AppendIsoStamp(out, stampMs);
    return out;
}

void AppendLabel(std::string& out, const char* label) {
    char text[32];
    std::snprintf(text, sizeof text, "%-20s", label);
    out += text;
}

} // namespace

// The figures of a whole log or of one instrument in it.
template <class Histogram> struct LogStats::Figures {
    struct Channel {
        uint64_t Count = 0;
        double Sum = 0;
        float Min = 0, Max = 0;
    };
    uint64_t Exchanges = 0;
    uint64_t Answered = 0;
    std::array<uint64_t, kExchangeOutcomeCount> Outcomes{};
    Histogram ExchangeTimes;           // ms
    Histogram Periods;                 // ms between two sends
    std::vector<Gap> LongestPeriods;   // the longest few, longest first
    std::optional<int64_t> PreviousMs; // the last valid send stamp
    std::array<Channel, 12> Channels{};

    void Add(const ExchangeRecord& e, std::optional<int64_t> sentMs) {
        ++Exchanges;
        ++Outcomes[size_t(e.Outcome)];
        if (!e.Answer.empty())
            ++Answered;
        ExchangeTimes.Add(e.ExchangeMs);
        if (sentMs)
            AddSend(*sentMs);
        if (!e.Reading)
            return;
        for (size_t ch = 0; ch < Channels.size(); ++ch) {
            const float value = e.Reading->Channels[ch].Value;
            if (!std::isfinite(value))
                continue;
            Channel& c = Channels[ch];
            c.Min = c.Count ? std::min(c.Min, value) : value;
            c.Max = c.Count ? std::max(c.Max, value) : value;
            c.Sum += double(value);
            ++c.Count;
        }
    }

    void AddSend(int64_t sent) {
        if (PreviousMs && sent >= *PreviousMs) {
            const Gap period{*PreviousMs, sent - *PreviousMs};
            Periods.Add(uint64_t(period.LengthMs));
            const auto longer = [](const Gap& a, const Gap& b) { return a.LengthMs > b.LengthMs; };
            if (LongestPeriods.size() < kLongestGapsShown ||
                period.LengthMs > LongestPeriods.back().LengthMs) {
                LongestPeriods.insert(
                    std::upper_bound(LongestPeriods.begin(), LongestPeriods.end(), period, longer),
                    period);
                if (LongestPeriods.size() > kLongestGapsShown)
                    LongestPeriods.pop_back();
            }
        }
        PreviousMs = sent;
    }

    Summary Summarise() const {
        Summary s;
        s.TimeMin = uint32_t(ExchangeTimes.Min());
        s.TimeMax = uint32_t(ExchangeTimes.Max());
        s.TimeMedian = uint32_t(ExchangeTimes.Quantile(0.5));
        s.TimeP95 = uint32_t(ExchangeTimes.Quantile(0.95));
        s.TimeP99 = uint32_t(ExchangeTimes.Quantile(0.99));
        s.PeriodMedian = int64_t(Periods.Quantile(0.5));
        s.GapThreshold = s.PeriodMedian * kGapFactor;
        s.Gaps = Periods.CountOver(uint64_t(s.GapThreshold));
        for (const Gap& gap : LongestPeriods)
            if (gap.LengthMs > s.GapThreshold)
                s.LongestGaps.push_back(gap);
        return s;
    }
};

LogStats::LogStats() : m_log(std::make_unique<Figures<BucketHistogram>>()) {}
LogStats::~LogStats() = default;

void LogStats::Add(const ExchangeRecord& e) {
    std::optional<int64_t> sentMs;
    if (!IsValidStamp(e.Sent)) {
        ++m_invalidStamps;
    } else {
        sentMs = StampMs(e.Sent);
        m_firstMs = std::min(m_firstMs.value_or(*sentMs), *sentMs);
        m_lastMs = std::max(m_lastMs.value_or(*sentMs), *sentMs);
    }
    m_log->Add(e, sentMs);
    if (!e.Address || *e.Address >= m_networks.size())
        return;
    auto& network = m_networks[*e.Address];
    if (!network) {
        network = std::make_unique<Figures<InstrumentHistogram>>();
        ++m_networkCount;
    }
    network->Add(e, sentMs);
}

template <class Histogram>
void LogStats::AppendText(std::string& out, const Figures<Histogram>& f, bool channels) {
    const Summary s = f.Summarise();
    AppendLabel(out, "answered");
    AppendUnsigned(out, f.Answered);
    out += " of ";
    AppendUnsigned(out, f.Exchanges);
    out += " (" + Fixed(f.Exchanges ? 100.0 * double(f.Answered) / double(f.Exchanges) : 0, 1) +
           " %)\n";
    AppendLabel(out, "outcomes");
    for (const ExchangeOutcome outcome : kShownOutcomes) {
        out += outcome == kShownOutcomes[0] ? "" : ", ";
        out += OutcomeName(outcome);
        out += ' ';
        AppendUnsigned(out, f.Outcomes[size_t(outcome)]);
    }
    out += '\n';
    AppendLabel(out, "exchange time, ms");
    out += "min " + std::to_string(s.TimeMin) + ", median " + std::to_string(s.TimeMedian) +
           ", p95 " + std::to_string(s.TimeP95) + ", p99 " + std::to_string(s.TimeP99) + ", max " +
           std::to_string(s.TimeMax) + '\n';
    AppendLabel(out, "polling period, ms");
    out += "median " + std::to_string(s.PeriodMedian) + "; " + std::to_string(s.Gaps) +
           " gaps over " + std::to_string(s.GapThreshold);
    for (const Gap& gap : s.LongestGaps) {
        out += gap.StartMs == s.LongestGaps.front().StartMs ? ": " : ", ";
        out += std::to_string(gap.LengthMs) + " from ";
        AppendIsoStamp(out, gap.StartMs);
    }
    out += '\n';
    if (!channels)
        return;
    out += "channel   good readings          min         mean          max\n";
    for (size_t ch = 0; ch < f.Channels.size(); ++ch) {
        const auto& c = f.Channels[ch];
        out += RightAligned(std::to_string(ch + 1), 7) + RightAligned(std::to_string(c.Count), 16);
        for (double value :
             {double(c.Min), c.Sum / double(std::max<uint64_t>(c.Count, 1)), double(c.Max)})
            out += ' ' + RightAligned(c.Count ? Fixed(value, 3) : "-", 12);
        out += '\n';
    }
}

void LogStats::AppendText(std::string& out) const {
    AppendLabel(out, "exchanges");
    AppendUnsigned(out, m_log->Exchanges);
    out += " (malformed parts: ";
    AppendUnsigned(out, m_malformed);
    out += ")\n";
    if (m_firstMs) {
        AppendLabel(out, "time span");
        AppendIsoStamp(out, *m_firstMs);
        out += " to ";
        AppendIsoStamp(out, *m_lastMs);
        out += " (" + Fixed(double(*m_lastMs - *m_firstMs) / 1000, 3) + " s)\n";
    }
    if (m_invalidStamps) {
        AppendLabel(out, "invalid stamps");
        AppendUnsigned(out, m_invalidStamps);
        out += " (no date and time: left out of the span and the polling periods)\n";
    }
    const bool several = m_networkCount > 1;
    AppendText(out, *m_log, !several);
    if (!several)
        return;
    AppendLabel(out, "networks");
    std::string list;
    for (size_t n = 0; n < m_networks.size(); ++n)
        if (m_networks[n])
            list += (list.empty() ? "" : ", ") + std::to_string(n);
    out += list + '\n';
    for (size_t n = 0; n < m_networks.size(); ++n) {
        if (!m_networks[n])
            continue;
        out += "\nnetwork " + std::to_string(n) + '\n';
        AppendLabel(out, "exchanges");
        AppendUnsigned(out, m_networks[n]->Exchanges);
        out += '\n';
        AppendText(out, *m_networks[n], true);
    }
}

template <class Histogram> void LogStats::AppendJson(JsonText& json, const Figures<Histogram>& f) {
    const Summary s = f.Summarise();
    json.Key("answered").Unsigned(f.Answered);
    json.Key("outcomes").BeginObject();
    for (const ExchangeOutcome outcome : kShownOutcomes)
        json.Key(OutcomeName(outcome)).Unsigned(f.Outcomes[size_t(outcome)]);
    json.EndObject();
    json.Key("exchange_ms").BeginObject();
    json.Key("min").Unsigned(s.TimeMin).Key("median").Unsigned(s.TimeMedian);
    json.Key("p95").Unsigned(s.TimeP95).Key("p99").Unsigned(s.TimeP99);
    json.Key("max").Unsigned(s.TimeMax).EndObject();
    json.Key("polling").BeginObject();
    json.Key("median_period_ms").Integer(s.PeriodMedian);
    json.Key("gap_threshold_ms").Integer(s.GapThreshold);
    json.Key("gaps").Unsigned(s.Gaps);
    json.Key("longest_gaps").BeginArray();
    for (const Gap& gap : s.LongestGaps)
        json.BeginObject()
            .Key("from")
            .String(IsoStamp(gap.StartMs))
            .Key("ms")
            .Integer(gap.LengthMs)
            .EndObject();
    json.EndArray().EndObject();
    json.Key("channels").BeginArray();
    for (size_t ch = 0; ch < f.Channels.size(); ++ch) {
        const auto& c = f.Channels[ch];
        json.BeginObject().Key("channel").Unsigned(ch + 1).Key("good").Unsigned(c.Count);
        if (c.Count)
            json.Key("min")
                .Float(c.Min)
                .Key("mean")
                .Raw(Fixed(c.Sum / double(c.Count), 6))
                .Key("max")
                .Float(c.Max);
        else
            json.Key("min").Null().Key("mean").Null().Key("max").Null();
        json.EndObject();
    }
    json.EndArray();
}

void LogStats::AppendJson(std::string& out) const {
    JsonText json(out);
    json.BeginObject();
    json.Key("exchanges").Unsigned(m_log->Exchanges);
    json.Key("malformed_parts").Unsigned(m_malformed);
    if (m_firstMs) {
        json.Key("first").String(IsoStamp(*m_firstMs));
        json.Key("last").String(IsoStamp(*m_lastMs));
        json.Key("span_ms").Integer(*m_lastMs - *m_firstMs);
    } else {
        json.Key("first").Null().Key("last").Null().Key("span_ms").Integer(0);
    }
    json.Key("invalid_stamps").Unsigned(m_invalidStamps);
    AppendJson(json, *m_log);
    json.Key("networks").BeginArray();
    for (size_t n = 0; n < m_networks.size(); ++n) {
        if (!m_networks[n])
            continue;
        json.BeginObject().Key("network").Unsigned(n);
        json.Key("exchanges").Unsigned(m_networks[n]->Exchanges);
        AppendJson(json, *m_networks[n]);
        json.EndObject();
    }
    json.EndArray().EndObject();
    out += '\n';
}
