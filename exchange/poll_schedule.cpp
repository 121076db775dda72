#include "poll_schedule.h"

#include <algorithm>

PollSchedule::PollSchedule(Options options, int64_t startMs)
    : m_options(std::move(options)), m_slots(m_options.Addresses.size()), m_lineFreeMs(startMs) {
    m_options.PeriodMs = std::max<int64_t>(m_options.PeriodMs, 0);
    m_options.GapMs = std::max<int64_t>(m_options.GapMs, 0);
    m_options.MaxBackoff = std::max<uint32_t>(m_options.MaxBackoff, 1);
    // At a fixed rate the instruments are spread over the period, so the line carries an even
    // load rather than a burst at the start of each period.
    const int64_t count = int64_t(m_slots.size());
    for (int64_t i = 0; i < count; ++i)
        m_slots[size_t(i)].DueMs = m_options.Pacing == Mode::FixedRate
                                       ? startMs + m_options.PeriodMs * i / count
                                       : startMs;
}

int64_t PollSchedule::PeriodsToWait(const Slot& slot) const {
    if (slot.Failures < m_options.BackoffAfter || m_options.BackoffAfter == 0)
        return 1;
    const uint32_t doublings = std::min<uint32_t>(slot.Failures - m_options.BackoffAfter + 1, 31);
    return std::min<int64_t>(int64_t(1) << doublings, m_options.MaxBackoff);
}

bool PollSchedule::Next(Visit& visit) const {
    if (m_slots.empty())
        return false;
    size_t best = 0;
    for (size_t i = 1; i < m_slots.size(); ++i)
        if (m_slots[i].DueMs < m_slots[best].DueMs)
            best = i;
    visit.Index = best;
    visit.Address = m_options.Addresses[best];
    // After the end: the pause follows every exchange. At a fixed rate only the gap does.
    const int64_t pause = m_options.Pacing == Mode::AfterEnd ? m_options.PeriodMs : m_options.GapMs;
    const int64_t lineReady = m_lineFreeMs + (m_anyDone ? std::max(pause, m_options.GapMs) : 0);
    visit.AtMs = std::max(m_slots[best].DueMs, lineReady);
    return true;
}

void PollSchedule::Done(const Visit& visit, bool answered, int64_t endMs) {
    Slot& slot = m_slots[visit.Index];
    slot.Failures = answered ? 0 : slot.Failures + 1;
    m_lineFreeMs = endMs;
    m_anyDone = true;
    const int64_t periods = PeriodsToWait(slot);

    if (m_options.Pacing == Mode::AfterEnd) {
        // Round robin: the instruments waiting longest go first; one backing off sits out
        // whole rounds.
        slot.DueMs = endMs + (periods - 1) * m_options.PeriodMs * int64_t(m_slots.size());
        return;
    }
    // Fixed rate: the next deadline follows the previous deadline, never the end; deadlines an
    // exchange ran past are skipped and counted, not caught up in a burst.
    if (m_options.PeriodMs == 0) {
        slot.DueMs = endMs;
        return;
    }
    slot.DueMs += m_options.PeriodMs * periods;
    if (slot.DueMs < endMs) {
        const int64_t behind = (endMs - slot.DueMs + m_options.PeriodMs - 1) / m_options.PeriodMs;
        slot.DueMs += behind * m_options.PeriodMs;
        m_skipped += uint64_t(behind);
    }
}
