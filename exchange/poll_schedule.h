#pragma once

// When each instrument on a line is visited: each every `PeriodMs` on a fixed grid on a steady
// clock (ms from any fixed start), however long exchanges take, the instruments spread over the
// period. The caller asks for the next visit, runs the exchange and reports its end. Wall-clock
// steps (a time server, summer time) never reach it.

#include <cstddef>
#include <cstdint>
#include <vector>

class PollSchedule {
public:
    struct Options {
        std::vector<uint32_t> Addresses; // visited in this order
        int64_t PeriodMs = 1000;         // 0: back to back
        int64_t GapMs = 0;               // silence on the line between two exchanges
        // An instrument that failed this many times in a row is visited every 2nd, 4th, ...
        // period, at most every MaxBackoff-th, so a dead one cannot starve the others.
        uint32_t BackoffAfter = 3;
        uint32_t MaxBackoff = 16;
    };
    struct Visit {
        size_t Index = 0; // into Addresses
        uint32_t Address = 0;
        int64_t AtMs = 0; // when it may start
    };

    PollSchedule(Options options, int64_t startMs);

    // The next visit: the instrument due first (ties in list order), not before the line is
    // free again plus the gap. Nothing when there are no addresses.
    bool Next(Visit& visit) const;
    // The visit `Next` gave has ended at endMs; its instrument has now failed `failuresInRow`
    // exchanges in a row (0 after a good one).
    void Done(const Visit& visit, uint32_t failuresInRow, int64_t endMs);

    // Visits skipped because an exchange ran past them (fixed rate never bursts to catch up).
    uint64_t Skipped() const { return m_skipped; }
    const Options& Settings() const { return m_options; }

private:
    int64_t PeriodsToWait(uint32_t failuresInRow) const;

    Options m_options;
    std::vector<int64_t> m_dueMs;
    int64_t m_lineFreeMs = 0;
    bool m_anyDone = false;
    uint64_t m_skipped = 0;
};
