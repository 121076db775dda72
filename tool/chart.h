#pragma once

// Channel values over time, one line per channel, broken where no good answer came, and the
// exchange time plotted underneath. Built in two passes over the log so that memory does not
// grow with it: the first finds the ranges, the second sorts each exchange into a pixel column.

#include "chart_surface.h"
#include "decode.h"

#include <array>
#include <map>
#include <optional>
#include <vector>

class ChannelChart {
public:
    static constexpr int kWidth = 1200;
    static constexpr int kHeight = 720;

    // channels: which to draw, 1 to 12.
    explicit ChannelChart(std::vector<int> channels);

    void Measure(const DecodedExchange& exchange); // first pass
    void Place(const DecodedExchange& exchange);   // second pass
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

    std::vector<int> m_channels;
    std::optional<int64_t> m_firstMs, m_lastMs, m_previousMs;
    std::map<int64_t, uint64_t> m_periods; // ms between two sends -> how many
    int64_t m_gapMs = 0;                   // a longer pause in polling breaks the lines
    std::optional<float> m_minValue, m_maxValue;
    uint32_t m_maxTime = 0;
    std::vector<std::array<Cell, 12>> m_cells; // per pixel column
    std::vector<Times> m_times;
    std::array<bool, 12> m_broken{};
};
