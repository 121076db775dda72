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

// A step of 1, 2 or 5 times a power of ten giving about `count` steps over `range`.
double NiceStep(double range, int count) {
    const double raw = range / count;
    const double power = std::pow(10.0, std::floor(std::log10(raw)));
    for (double factor : {1.0, 2.0, 5.0})
        if (raw <= factor * power)
            return factor * power;
    return 10 * power;
}

std::string Decimal(double value, int decimals) {
    char text[64];
    const auto result =
        std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, decimals);
    return std::string(text, result.ptr);
}

std::string ClockText(int64_t stampMs) {
    std::string iso;
    AppendIsoStamp(iso, stampMs);
    return iso.substr(11, 8); // HH:MM:SS
}

} // namespace

ChannelChart::ChannelChart(std::vector<int> channels)
    : m_channels(std::move(channels)), m_cells(kColumns), m_times(kColumns) {}

void ChannelChart::Measure(const DecodedExchange& e) {
    const int64_t sent = StampMs(e.Logged->Sent);
    m_firstMs = std::min(m_firstMs.value_or(sent), sent);
    m_lastMs = std::max(m_lastMs.value_or(sent), sent);
    if (m_previousMs && sent >= *m_previousMs)
        ++m_periods[sent - *m_previousMs];
    m_previousMs = sent;
    m_maxTime = std::max(m_maxTime, e.Logged->ExchangeTimeMs);
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

void ChannelChart::Place(const DecodedExchange& e) {
    if (!m_firstMs)
        return;
    if (m_gapMs == 0) { // first call of the second pass: twice the median polling period
        uint64_t total = 0, seen = 0;
        for (const auto& entry : m_periods)
            total += entry.second;
        for (const auto& [period, count] : m_periods)
            if ((seen += count) * 2 >= total) {
                m_gapMs = std::max<int64_t>(2 * period, 1);
                break;
            }
        m_gapMs = std::max<int64_t>(m_gapMs, 1);
        m_previousMs.reset();
    }
    const int64_t span = std::max<int64_t>(1, *m_lastMs - *m_firstMs);
    const int64_t sent = std::clamp(StampMs(e.Logged->Sent), *m_firstMs, *m_lastMs);
    if (m_previousMs && sent - *m_previousMs > m_gapMs)
        m_broken.fill(true);
    m_previousMs = sent;
    const auto column = size_t((sent - *m_firstMs) * (kColumns - 1) / span);
    Times& times = m_times[column];
    times.Max =
        times.Any ? std::max(times.Max, e.Logged->ExchangeTimeMs) : e.Logged->ExchangeTimeMs;
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
    const double low = m_minValue.value_or(0), high = m_maxValue.value_or(1);
    const double range = high > low ? high - low : 1;
    return kValuesBottom - (value - low) / range * (kValuesBottom - kValuesTop);
}

double ChannelChart::TimeY(double ms) const {
    return kTimesBottom - ms / std::max<uint32_t>(m_maxTime, 1) * (kTimesBottom - kTimesTop);
}

void ChannelChart::Draw(ChartSurface& surface) const {
    surface.FillRect(0, 0, kWidth, kHeight, {255, 255, 255});
    // Value grid and labels.
    const double low = m_minValue.value_or(0), high = m_maxValue.value_or(1);
    const double step = NiceStep(high > low ? high - low : 1, 5);
    const int decimals = std::max(0, int(-std::floor(std::log10(step))));
    for (double tick = std::ceil(low / step) * step; tick <= high + step * 1e-9; tick += step) {
        const double y = ValueY(tick);
        surface.FillRect(kLeft, y, kRight - kLeft, 1, kGrid);
        surface.Text(kLeft - 8, y + 7, Decimal(tick, decimals), kInk, TextAnchor::End);
    }
    surface.Text(kLeft, kValuesTop - 10, "values", kInk, TextAnchor::Start);
    surface.Text(kLeft, kTimesTop - 10, "exchange time, ms", kInk, TextAnchor::Start);
    surface.Text(kLeft - 8, TimeY(m_maxTime) + 7, std::to_string(m_maxTime), kInk, TextAnchor::End);
    surface.Text(kLeft - 8, kTimesBottom, "0", kInk, TextAnchor::End);

    // Time ticks under both panels.
    if (m_firstMs) {
        const int64_t span = std::max<int64_t>(1, *m_lastMs - *m_firstMs);
        int64_t stepMs = 1000;
        for (int64_t candidate : {1000, 2000, 5000, 10000, 30000, 60000, 120000, 300000, 600000,
                                  1800000, 3600000, 7200000, 21600000, 43200000, 86400000})
            if (span / candidate <= 6) {
                stepMs = candidate;
                break;
            }
        for (int64_t tick = (*m_firstMs + stepMs - 1) / stepMs * stepMs; tick <= *m_lastMs;
             tick += stepMs) {
            const double x = kLeft + double(tick - *m_firstMs) * (kColumns - 1) / double(span);
            surface.FillRect(x, kValuesTop, 1, kValuesBottom - kValuesTop, kGrid);
            surface.FillRect(x, kTimesTop, 1, kTimesBottom - kTimesTop, kGrid);
            surface.Text(x, kTimesBottom + 22, ClockText(tick), kInk, TextAnchor::Middle);
        }
        std::string start = "start ";
        AppendIsoStamp(start, *m_firstMs);
        surface.Text(kLeft, kHeight - 12, start, kInk, TextAnchor::Start);
    }

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
