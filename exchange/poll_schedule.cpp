#include "poll_schedule.h"

#include <algorithm>

PollSchedule::PollSchedule(Options options, int64_t startMs)
    : m_options(std::move(options)), m_dueMs(m_options.Addresses.size()), m_lineFreeMs(startMs) {
    m_options.PeriodMs = std::max<int64_t>(m_options.PeriodMs, 0);
    m_options.GapMs = std::max<int64_t>(m_options.GapMs, 0);
    m_options.MaxBackoff = std::max<uint32_t>(m_options.MaxBackoff, 1);
    // The instruments are spread over the period, so the line carries an even load rather than
    // a burst at the start of each period.
    const int64_t count = int64_t(m_dueMs.size());
    for (int64_t i = 0; i < count; ++i)
        m_dueMs[size_t(i)] = startMs + m_options.PeriodMs * i / count;
}

int64_t PollSchedule::PeriodsToWait(uint32_t failuresInRow) const {
    if (failuresInRow < m_options.BackoffAfter || m_options.BackoffAfter == 0)
        return 1;
    const uint32_t doublings = std::min<uint32_t>(failuresInRow - m_options.BackoffAfter + 1, 31);
    return std::min<int64_t>(int64_t(1) << doublings, m_options.MaxBackoff);
}

bool PollSchedule::Next(Visit& visit) const {
    if (m_dueMs.empty())
        return false;
    const auto best = size_t(std::min_element(m_dueMs.begin(), m_dueMs.end()) - m_dueMs.begin());
    visit.Index = best;
    visit.Address = m_options.Addresses[best];
    const int64_t lineReady = m_lineFreeMs + (m_anyDone ? m_options.GapMs : 0);
    visit.AtMs = std::max(m_dueMs[best], lineReady);
    return true;
}

void PollSchedule::Done(const Visit& visit, uint32_t failuresInRow, int64_t endMs) {
    int64_t& due = m_dueMs[visit.Index];
    m_lineFreeMs = endMs;
    m_anyDone = true;
    if (m_options.PeriodMs == 0) {
        due = endMs;
        return;
    }
    // The next deadline follows the previous deadline, never the end; deadlines an exchange ran
    // past are skipped and counted, not caught up in a burst.
    due += m_options.PeriodMs * PeriodsToWait(failuresInRow);
    if (due < endMs) {
        const int64_t behind = (endMs - due + m_options.PeriodMs - 1) / m_options.PeriodMs;
        due += behind * m_options.PeriodMs;
        m_skipped += uint64_t(behind);
    }
}
