#include "chart.h"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace {

// Where the two panels lie.
constexpr double kLeft = 100, kRight = ChannelChart::kWidth - 130;
constexpr double kValuesTop = 30, kValuesBottom = 470;
constexpr double kTimesTop = 520, kTimesBottom = 650;
constexpr int kColumns = int(kRight - kLeft);

constexpr Rgb kInk{0, 0, 0}, kGrid{220, 220, 220}, kTimeBar{110, 110, 110};
constexpr Rgb kChannelColours[12] = {{31, 119, 180},  {255, 127, 14},  {44, 160, 44},
                                     {214, 39, 40},   {148, 103, 189}, {140, 86, 75},
                                     {227, 119, 194}, {127, 127, 127}, {188, 189, 34},
                                     {23, 190, 207},  {0, 0, 128},     {128, 0, 0}};

// A send stamp further than this from both neighbours, while they lie at under a sixteenth of
// that from each other, is taken for a wrong stamp rather than for a pause in polling.
constexpr int64_t kOutlierMs = 3600000;
constexpr int kMaxTicks = 12; // per axis

// A step of 1, 2 or 5 times a power of ten giving about `count` steps over `range`.
double NiceStep(double range, int count) {
    const double raw = range / count;
    const double power = std::pow(10.0, std::floor(std::log10(raw)));
    for (double factor : {1.0, 2.0, 5.0})
        if (raw <= factor * power)
            return factor * power;
    return 10 * power;
}

// A value axis label: fixed-point for ordinary values, scientific where fixed would need more
// than a dozen digits; enough digits either way to tell neighbouring ticks apart.
std::string ValueLabel(double value, double step, double largest) {
    char text[64];
    const int stepDigit = int(std::floor(std::log10(step)));
    std::to_chars_result result{};
    if (largest < 1e9 && stepDigit >= -6)
        result = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed,
                               std::max(0, -stepDigit));
    else
        result = std::to_chars(text, text + sizeof text, value, std::chars_format::scientific,
                               std::clamp(int(std::floor(std::log10(largest))) - stepDigit, 0, 16));
    return std::string(text, result.ptr);
}

constexpr int64_t kSecond = 1000, kMinute = 60 * kSecond, kHour = 60 * kMinute, kDay = 24 * kHour,
                  kYear = 365 * kDay + kDay / 4;
// Time steps from a second to ten thousand years.
constexpr int64_t kTimeSteps[] = {
    kSecond,      2 * kSecond,  5 * kSecond, 10 * kSecond, 15 * kSecond, 30 * kSecond,
    kMinute,      2 * kMinute,  5 * kMinute, 10 * kMinute, 15 * kMinute, 30 * kMinute,
    kHour,        2 * kHour,    3 * kHour,   6 * kHour,    12 * kHour,   kDay,
    2 * kDay,     7 * kDay,     14 * kDay,   30 * kDay,    61 * kDay,    91 * kDay,
    182 * kDay,   kYear,        2 * kYear,   5 * kYear,    10 * kYear,   20 * kYear,
    50 * kYear,   100 * kYear,  200 * kYear, 500 * kYear,  1000 * kYear, 2000 * kYear,
    5000 * kYear, 10000 * kYear};

// The smallest step that gives at most six ticks over the span.
int64_t TimeStep(int64_t spanMs) {
    for (int64_t step : kTimeSteps)
        if (spanMs / step <= 6)
            return step;
    return spanMs / 6 + 1;
}

// A time axis label: the clock within a day, the day and clock over days, the date beyond.
std::string TimeLabel(int64_t stampMs, int64_t stepMs, int64_t spanMs) {
    std::string iso;
    AppendIsoStamp(iso, stampMs);
    if (stepMs >= kDay)
        return iso.substr(0, 10); // YYYY-MM-DD
    if (spanMs >= kDay)
        return iso.substr(5, 5) + " " + iso.substr(11, 5); // MM-DD HH:MM
    return iso.substr(11, 8);                              // HH:MM:SS
}

} // namespace

ChannelChart::ChannelChart(std::vector<int> channels)
    : m_channels(std::move(channels)), m_cells(kColumns), m_times(kColumns) {}

void ChannelChart::Measure(const ExchangeRecord& e) {
    m_maxTime = std::max(m_maxTime, e.ExchangeMs);
    if (IsValidStamp(e.Sent)) {
        // The stamp before is judged now that both its neighbours are known.
        const int64_t sent = StampMs(e.Sent);
        if (m_pending) {
            const int64_t before = m_accepted.value_or(*m_pending);
            const int64_t away =
                std::min(std::abs(*m_pending - before), std::abs(sent - *m_pending));
            if (!(away > kOutlierMs && std::abs(sent - before) * 16 < away))
                Accept(*m_pending);
        }
        m_pending = sent;
    }
    if (!e.Reading)
        return;
    for (int channel : m_channels) {
        const float value = e.Reading->Channels[size_t(channel - 1)].Value;
        if (!std::isfinite(value))
            continue;
        m_minValue = std::min(m_minValue.value_or(value), value);
        m_maxValue = std::max(m_maxValue.value_or(value), value);
    }
}

void ChannelChart::Accept(int64_t sent) {
    m_firstMs = std::min(m_firstMs.value_or(sent), sent);
    m_lastMs = std::max(m_lastMs.value_or(sent), sent);
    if (m_accepted && sent >= *m_accepted)
        m_periods.Add(uint64_t(sent - *m_accepted));
    m_accepted = sent;
}

void ChannelChart::EndMeasure() {
    if (m_measured)
        return;
    m_measured = true;
    if (m_pending)
        Accept(*m_pending);
    // A longer pause than twice the median polling period breaks the lines.
    m_gapMs = std::max<int64_t>(2 * int64_t(m_periods.Quantile(0.5)), 1);
    // The value axis: a flat line gets a band around it, whatever its size.
    m_low = m_minValue.value_or(0);
    m_high = m_maxValue.value_or(1);
    if (!(m_high > m_low)) {
        const double pad = m_low == 0 ? 1 : std::abs(m_low) / 100;
        m_low -= pad;
        m_high += pad;
    }
}

void ChannelChart::Place(const ExchangeRecord& e) {
    EndMeasure();
    const int64_t sent = IsValidStamp(e.Sent) ? StampMs(e.Sent) : 0;
    if (!m_firstMs || !IsValidStamp(e.Sent) || sent < *m_firstMs || sent > *m_lastMs) {
        ++m_leftOut;
        return;
    }
    const int64_t span = std::max<int64_t>(1, *m_lastMs - *m_firstMs);
    if (m_previousMs && sent - *m_previousMs > m_gapMs)
        m_broken.fill(true);
    m_previousMs = sent;
    const auto column = size_t(double(sent - *m_firstMs) * (kColumns - 1) / double(span));
    Times& times = m_times[column];
    times.Max = times.Any ? std::max(times.Max, e.ExchangeMs) : e.ExchangeMs;
    times.Any = true;
    for (int channel : m_channels) {
        const auto ch = size_t(channel - 1);
        const float value = e.Reading ? e.Reading->Channels[ch].Value : 0.0f;
        if (!e.Reading || !std::isfinite(value)) {
            m_broken[ch] = true;
            continue;
        }
        Cell& cell = m_cells[column][ch];
        if (!cell.Any) {
            cell = {true, m_broken[ch], value, value, value, value};
        } else {
            cell.Last = value;
            cell.Min = std::min(cell.Min, value);
            cell.Max = std::max(cell.Max, value);
        }
        m_broken[ch] = false;
    }
}

double ChannelChart::X(int column) const {
    return kLeft + column + 0.5;
}

double ChannelChart::ValueY(double value) const {
    return kValuesBottom - (value - m_low) / (m_high - m_low) * (kValuesBottom - kValuesTop);
}

double ChannelChart::TimeY(double ms) const {
    return kTimesBottom - ms / std::max<uint32_t>(m_maxTime, 1) * (kTimesBottom - kTimesTop);
}

void ChannelChart::Draw(ChartSurface& surface) const {
    surface.FillRect(0, 0, kWidth, kHeight, {255, 255, 255});
    // Value grid and labels: counted ticks, so that no size of value can make them endless.
    const double step = NiceStep(m_high - m_low, 5);
    const double largest = std::max(std::abs(m_low), std::abs(m_high));
    const double firstTick = std::ceil(m_low / step);
    const int ticks =
        int(std::clamp(std::floor(m_high / step) - firstTick + 1, 0.0, double(kMaxTicks)));
    for (int i = 0; i < ticks; ++i) {
        const double tick = (firstTick + i) * step;
        const double y = ValueY(tick);
        surface.FillRect(kLeft, y, kRight - kLeft, 1, kGrid);
        surface.Text(kLeft - 8, y + 7, ValueLabel(tick, step, largest), kInk, TextAnchor::End);
    }
    surface.Text(kLeft, kValuesTop - 10, "values", kInk, TextAnchor::Start);
    surface.Text(kLeft, kTimesTop - 10, "exchange time, ms", kInk, TextAnchor::Start);
    surface.Text(kLeft - 8, TimeY(m_maxTime) + 7, std::to_string(m_maxTime), kInk, TextAnchor::End);
    surface.Text(kLeft - 8, kTimesBottom, "0", kInk, TextAnchor::End);

    // Time ticks under both panels.
    if (m_firstMs) {
        const int64_t span = std::max<int64_t>(1, *m_lastMs - *m_firstMs);
        const int64_t stepMs = TimeStep(span);
        const int64_t first = *m_firstMs / stepMs + (*m_firstMs % stepMs > 0 ? 1 : 0);
        for (int64_t i = first; i * stepMs <= *m_lastMs && i - first < kMaxTicks; ++i) {
            const int64_t tick = i * stepMs;
            const double x = kLeft + double(tick - *m_firstMs) * (kColumns - 1) / double(span);
            surface.FillRect(x, kValuesTop, 1, kValuesBottom - kValuesTop, kGrid);
            surface.FillRect(x, kTimesTop, 1, kTimesBottom - kTimesTop, kGrid);
            surface.Text(x, kTimesBottom + 22, TimeLabel(tick, stepMs, span), kInk,
                         TextAnchor::Middle);
        }
        std::string start = "start ";
        AppendIsoStamp(start, *m_firstMs);
        surface.Text(kLeft, kHeight - 12, start, kInk, TextAnchor::Start);
    }
    if (m_leftOut)
        surface.Text(kRight, kHeight - 12,
                     std::to_string(m_leftOut) +
                         " exchanges outside the time axis (stamp invalid or distant)",
                     kInk, TextAnchor::End);

    // Exchange times as bars, then the channels' lines over the value grid.
    for (int column = 0; column < kColumns; ++column)
        if (m_times[size_t(column)].Any) {
            const double top = TimeY(m_times[size_t(column)].Max);
            surface.FillRect(kLeft + column, top, 1, std::max(1.0, kTimesBottom - top), kTimeBar);
        }
    for (int channel : m_channels) {
        const auto ch = size_t(channel - 1);
        const Rgb colour = kChannelColours[ch];
        std::vector<Point> line;
        for (int column = 0; column < kColumns; ++column) {
            const Cell& cell = m_cells[size_t(column)][ch];
            if (!cell.Any)
                continue;
            if (cell.BreakBefore && !line.empty()) {
                surface.Polyline(line, colour);
                line.clear();
            }
            const double x = X(column);
            for (float value : {cell.First, cell.Max, cell.Min, cell.Last})
                line.push_back({x, ValueY(value)});
        }
        surface.Polyline(line, colour);
    }

    // Frames and the legend.
    for (auto [top, bottom] : {std::pair{kValuesTop, kValuesBottom}, {kTimesTop, kTimesBottom}}) {
        surface.FillRect(kLeft, top, kRight - kLeft, 1, kInk);
        surface.FillRect(kLeft, bottom, kRight - kLeft, 1, kInk);
        surface.FillRect(kLeft, top, 1, bottom - top, kInk);
        surface.FillRect(kRight, top, 1, bottom - top + 1, kInk);
    }
    double y = kValuesTop + 10;
    for (int channel : m_channels) {
        surface.FillRect(kRight + 20, y - 8, 24, 4, kChannelColours[size_t(channel - 1)]);
        surface.Text(kRight + 52, y, "ch " + std::to_string(channel), kInk, TextAnchor::Start);
        y += 24;
    }
}
