#include "bus_read.h"

#include "parser.h"

#include <algorithm>

namespace {

// Bytes between two looks once an answer is coming: a frame's end is seen at most this many
// bytes' wire time late.
constexpr int64_t kBytesPerLook = 8;
// The first look after the first byte comes this many bytes' wire time after the expected
// length: a line a little slower than its nominal rate still has the whole answer in by then.
constexpr int64_t kSlackBytes = 2;

} // namespace

BusTiming BusTimingFor(uint32_t baud, uint32_t timeoutMs, uint32_t byteGapMs) {
    BusTiming t;
    const int64_t rate = std::max<uint32_t>(baud, 1);
    t.ByteUs = std::max<int64_t>(10'000'000 / rate, 1);
    t.FirstByteUs = int64_t(timeoutMs) * 1000;
    t.ByteGapUs = std::max<int64_t>(int64_t(byteGapMs) * 1000, t.ByteUs);
    t.LongestUs = int64_t(kMaxReadLength) * 10'000'000 / rate + t.FirstByteUs;
    t.DrainQuietUs = t.FirstByteUs;
    t.DrainLongestUs = 3 * t.FirstByteUs;
    return t;
}

void BusRead::Begin(int64_t nowUs, uint32_t expectedLength) {
    m_startUs = m_lastByteUs = nowUs;
    m_count = 0;
    m_expected = std::max(expectedLength, kMinAnswerLength);
    m_nextLookUs = nowUs + m_timing.FirstByteUs;
}

BusRead::End BusRead::Look(int64_t nowUs, uint32_t count, bool complete) {
    const bool first = m_count == 0 && count > 0;
    const bool more = count > m_count;
    if (more) {
        m_lastByteUs = nowUs;
        m_count = count;
    }
    if (complete)
        return End::Complete;
    if (m_count >= m_maximum)
        return End::Full;
    if (m_count == 0) {
        if (nowUs - m_startUs >= m_timing.FirstByteUs)
            return End::Silent;
        m_nextLookUs = m_startUs + m_timing.FirstByteUs;
        return End::Open;
    }
    const int64_t longestAt = m_startUs + m_timing.LongestUs;
    const int64_t gapAt = m_lastByteUs + m_timing.ByteGapUs;
    if (nowUs >= longestAt)
        return End::Longest;
    if (nowUs >= gapAt)
        return End::Gap;
    if (first) {
        // Nothing is likely whole before the expected length (and a little) has come: the next
        // look is then, and a gap within that time is judged there.
        const int64_t bytesToCome =
            std::max<int64_t>(int64_t(m_expected) - int64_t(m_count), 0) + kSlackBytes;
        m_nextLookUs = std::min(nowUs + bytesToCome * m_timing.ByteUs, longestAt);
        return End::Open;
    }
    // Past the expected end, while bytes come, a look every few bytes; else at the gap.
    const int64_t next = more ? nowUs + kBytesPerLook * m_timing.ByteUs : gapAt;
    m_nextLookUs = std::min({next, gapAt, longestAt});
    return End::Open;
}

void BusDrain::Begin(int64_t nowUs) {
    m_startUs = m_lastByteUs = nowUs;
}

bool BusDrain::Look(int64_t nowUs, bool bytesCame) {
    if (bytesCame)
        m_lastByteUs = nowUs;
    return nowUs - m_lastByteUs >= m_timing.DrainQuietUs ||
           nowUs - m_startUs >= m_timing.DrainLongestUs;
}

int64_t BusDrain::NextLookUs() const {
    return std::min(m_lastByteUs + m_timing.DrainQuietUs, m_startUs + m_timing.DrainLongestUs);
}
