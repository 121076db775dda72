#include "log_stats.h"

#include "table_output.h"

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

} // namespace

struct LogStats::Summary {
    uint32_t TimeMin = 0, TimeMedian = 0, TimeP95 = 0, TimeP99 = 0, TimeMax = 0;
    int64_t PeriodMedian = 0, GapThreshold = 0;
    uint64_t Gaps = 0;
    std::vector<Gap> LongestGaps;
};

void LogStats::Add(const DecodedExchange& e) {
    const LoggedExchange& logged = *e.Logged;
    ++m_exchanges;
    ++m_outcomes[size_t(e.Result)];
    if (!logged.Answer.empty())
        ++m_answered;
    m_exchangeTimes.Add(logged.ExchangeTimeMs);

    if (!IsValidStamp(logged.Sent))
        ++m_invalidStamps;
    else
        AddSend(StampMs(logged.Sent));

    if (!e.Reading)
        return;
    for (size_t ch = 0; ch < m_channels.size(); ++ch) {
        const float value = e.Reading->Channels[ch].Value;
        if (!std::isfinite(value))
            continue;
        Channel& c = m_channels[ch];
        c.Min = c.Count ? std::min(c.Min, value) : value;
        c.Max = c.Count ? std::max(c.Max, value) : value;
        c.Sum += double(value);
        ++c.Count;
    }
}

void LogStats::AddSend(int64_t sent) {
    m_firstMs = std::min(m_firstMs.value_or(sent), sent);
    m_lastMs = std::max(m_lastMs.value_or(sent), sent);
    if (m_previousMs && sent >= *m_previousMs) {
        const Gap period{*m_previousMs, sent - *m_previousMs};
        m_periods.Add(uint64_t(period.LengthMs));
        const auto longer = [](const Gap& a, const Gap& b) { return a.LengthMs > b.LengthMs; };
        if (m_longestPeriods.size() < kLongestGapsShown ||
            period.LengthMs > m_longestPeriods.back().LengthMs) {
            m_longestPeriods.insert(
                std::upper_bound(m_longestPeriods.begin(), m_longestPeriods.end(), period, longer),
                period);
            if (m_longestPeriods.size() > kLongestGapsShown)
                m_longestPeriods.pop_back();
        }
    }
    m_previousMs = sent;
}

LogStats::Summary LogStats::Summarise() const {
    Summary s;
    s.TimeMin = uint32_t(m_exchangeTimes.Min());
    s.TimeMax = uint32_t(m_exchangeTimes.Max());
    s.TimeMedian = uint32_t(m_exchangeTimes.Quantile(0.5));
    s.TimeP95 = uint32_t(m_exchangeTimes.Quantile(0.95));
    s.TimeP99 = uint32_t(m_exchangeTimes.Quantile(0.99));
    s.PeriodMedian = int64_t(m_periods.Quantile(0.5));
    s.GapThreshold = s.PeriodMedian * kGapFactor;
    s.Gaps = m_periods.CountOver(uint64_t(s.GapThreshold));
    for (const Gap& gap : m_longestPeriods)
        if (gap.LengthMs > s.GapThreshold)
            s.LongestGaps.push_back(gap);
    return s;
}

void LogStats::AppendText(std::string& out) const {
    const Summary s = Summarise();
    const auto line = [&out](const char* label) {
        char text[32];
        std::snprintf(text, sizeof text, "%-20s", label);
        out += text;
    };
    line("exchanges");
    AppendUnsigned(out, m_exchanges);
    out += " (malformed parts: ";
    AppendUnsigned(out, m_malformed);
    out += ")\n";
    if (m_firstMs) {
        line("time span");
        AppendIsoStamp(out, *m_firstMs);
        out += " to ";
        AppendIsoStamp(out, *m_lastMs);
        out += " (" + Fixed(double(*m_lastMs - *m_firstMs) / 1000, 3) + " s)\n";
    }
    if (m_invalidStamps) {
        line("invalid stamps");
        AppendUnsigned(out, m_invalidStamps);
        out += " (no date and time: left out of the span and the polling periods)\n";
    }
    line("answered");
    AppendUnsigned(out, m_answered);
    out += " of ";
    AppendUnsigned(out, m_exchanges);
    out += " (" + Fixed(m_exchanges ? 100.0 * double(m_answered) / double(m_exchanges) : 0, 1) +
           " %)\n";
    line("outcomes");
    for (int i = 0; i < kOutcomeCount; ++i) {
        out += i ? ", " : "";
        out += OutcomeName(Outcome(i));
        out += ' ';
        AppendUnsigned(out, m_outcomes[size_t(i)]);
    }
    out += '\n';
    line("exchange time, ms");
    out += "min " + std::to_string(s.TimeMin) + ", median " + std::to_string(s.TimeMedian) +
           ", p95 " + std::to_string(s.TimeP95) + ", p99 " + std::to_string(s.TimeP99) + ", max " +
           std::to_string(s.TimeMax) + '\n';
    line("polling period, ms");
    out += "median " + std::to_string(s.PeriodMedian) + "; " + std::to_string(s.Gaps) +
           " gaps over " + std::to_string(s.GapThreshold);
    for (const Gap& gap : s.LongestGaps) {
        out += gap.StartMs == s.LongestGaps.front().StartMs ? ": " : ", ";
        out += std::to_string(gap.LengthMs) + " from ";
        AppendIsoStamp(out, gap.StartMs);
    }
    out += "\nchannel   good readings          min         mean          max\n";
    for (size_t ch = 0; ch < m_channels.size(); ++ch) {
        const Channel& c = m_channels[ch];
        out += RightAligned(std::to_string(ch + 1), 7) + RightAligned(std::to_string(c.Count), 16);
        for (double value :
             {double(c.Min), c.Sum / double(std::max<uint64_t>(c.Count, 1)), double(c.Max)})
            out += ' ' + RightAligned(c.Count ? Fixed(value, 3) : "-", 12);
        out += '\n';
    }
}

void LogStats::AppendJson(std::string& out) const {
    const Summary s = Summarise();
    out += "{\"exchanges\":";
    AppendUnsigned(out, m_exchanges);
    out += ",\"malformed_parts\":";
    AppendUnsigned(out, m_malformed);
    out += ",\"first\":";
    if (m_firstMs) {
        out += '"';
        AppendIsoStamp(out, *m_firstMs);
        out += "\",\"last\":\"";
        AppendIsoStamp(out, *m_lastMs);
        out += "\",\"span_ms\":" + std::to_string(*m_lastMs - *m_firstMs);
    } else {
        out += "null,\"last\":null,\"span_ms\":0";
    }
    out += ",\"invalid_stamps\":";
    AppendUnsigned(out, m_invalidStamps);
    out += ",\"answered\":";
    AppendUnsigned(out, m_answered);
    out += ",\"outcomes\":{";
    for (int i = 0; i < kOutcomeCount; ++i) {
        out += i ? ",\"" : "\"";
        out += OutcomeName(Outcome(i));
        out += "\":";
        AppendUnsigned(out, m_outcomes[size_t(i)]);
    }
    out += "},\"exchange_ms\":{\"min\":" + std::to_string(s.TimeMin) +
           ",\"median\":" + std::to_string(s.TimeMedian) + ",\"p95\":" + std::to_string(s.TimeP95) +
           ",\"p99\":" + std::to_string(s.TimeP99) + ",\"max\":" + std::to_string(s.TimeMax) +
           "},\"polling\":{\"median_period_ms\":" + std::to_string(s.PeriodMedian) +
           ",\"gap_threshold_ms\":" + std::to_string(s.GapThreshold) +
           ",\"gaps\":" + std::to_string(s.Gaps) + ",\"longest_gaps\":[";
    for (size_t i = 0; i < s.LongestGaps.size(); ++i) {
        out += i ? ",{\"from\":\"" : "{\"from\":\"";
        AppendIsoStamp(out, s.LongestGaps[i].StartMs);
        out += "\",\"ms\":" + std::to_string(s.LongestGaps[i].LengthMs) + "}";
    }
    out += "]},\"channels\":[";
    for (size_t ch = 0; ch < m_channels.size(); ++ch) {
        const Channel& c = m_channels[ch];
        out += ch ? ",{\"channel\":" : "{\"channel\":";
        AppendUnsigned(out, ch + 1);
        out += ",\"good\":";
        AppendUnsigned(out, c.Count);
        out += ",\"min\":";
        c.Count ? AppendFloat(out, c.Min, true) : void(out += "null");
        out += ",\"mean\":";
        out += c.Count ? Fixed(c.Sum / double(c.Count), 6) : "null";
        out += ",\"max\":";
        c.Count ? AppendFloat(out, c.Max, true) : void(out += "null");
        out += '}';
    }
    out += "]}\n";
}
