#pragma once

// Channel values over time, one line per channel, broken where no good answer came, and the
// exchange time plotted underneath. Built in two passes over the log so that memory does not
// grow with it: the first finds the ranges, the second sorts each exchange into a pixel column.
// A send stamp far from both its neighbours while they are close to each other (a wrong digit)
// is an outlier the time axis ignores, as is an invalid stamp; the chart says how many
// exchanges it left out.

#include "chart_surface.h"
#include "decode.h"
#include "histogram.h"

#include <array>
#include <optional>
#include <vector>

class ChannelChart {
public:
    static constexpr int kWidth = 1200;
    static constexpr int kHeight = 720;

    // channels: which to draw, 1 to 12.
    explicit ChannelChart(std::vector<int> channels);

    void Measure(const ExchangeRecord& exchange); // first pass
    void Place(const ExchangeRecord& exchange);   // second pass
    void Draw(ChartSurface& surface) const;

private:
    struct Cell {
        bool Any = false;
        bool BreakBefore = false; // no good answer between the previous column's points and these
        float First = 0, Last = 0, Min = 0, Max = 0;
    };
    struct Times {
        bool Any = false;
        uint32_t Max = 0;
    };
    double X(int column) const;
    double ValueY(double value) const;
    double TimeY(double ms) const;
    void Accept(int64_t sentMs); // a stamp the time axis spans
    void EndMeasure();

    std::vector<int> m_channels;
    std::optional<int64_t> m_firstMs, m_lastMs, m_previousMs;
    std::optional<int64_t> m_accepted, m_pending; // the last stamp on the axis; the one on trial
    bool m_measured = false;
    BucketHistogram m_periods; // ms between two sends
    int64_t m_gapMs = 0;       // a longer pause in polling breaks the lines
    uint64_t m_leftOut = 0;    // exchanges not placed: invalid or outlying stamps
    std::optional<float> m_minValue, m_maxValue;
    double m_low = 0, m_high = 1; // the value axis
    uint32_t m_maxTime = 0;
    std::vector<std::array<Cell, 12>> m_cells; // per pixel column
    std::vector<Times> m_times;
    std::array<bool, 12> m_broken{};
};
