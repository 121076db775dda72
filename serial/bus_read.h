#pragma once

// How the service reads an answer on a bus of instruments, and drains the line after an
// incomplete one: plain logic on a clock in microseconds, which the port drives with its own
// wake-ups and a test with made-up times.
//
// A read waits at most `timeout` for the answer's first byte, then ends at the first of: a whole
// frame, no byte for `byte_gap`, the longest answer's wire time plus `timeout`, or the buffer
// full. After the first byte it does not wake for every byte: it looks again when an answer as
// long as the one expected (the same instrument's previous answer, else the shortest frame)
// could be whole, judging a gap within that time there, and from then on every few bytes' wire
// time, so a paced answer costs two wake-ups instead of one per byte.
//
// After a read that got bytes but no whole frame, the line is drained: bytes are read and
// dropped until none has come for `timeout` (an instrument's late tail comes within its reply
// time), at most a few times that, and then the line is purged, so the tail of a split answer
// never becomes the next instrument's answer.

#include <cstdint>

struct BusTiming {
    int64_t FirstByteUs = 300000;    // the longest wait for the answer's first byte
    int64_t ByteGapUs = 24000;       // after a byte, the read ends when none came for this long
    int64_t LongestUs = 1341667;     // from the read's start, whatever comes
    int64_t ByteUs = 521;            // one byte's wire time, 10 bits
    int64_t DrainQuietUs = 300000;   // a drain ends when no byte came for this long
    int64_t DrainLongestUs = 900000; // and at the latest after this long
};

// From the line's baud rate, `timeout` and `byte_gap` (ms): the longest answer is the 200 bytes
// a read takes at most.
BusTiming BusTimingFor(uint32_t baud, uint32_t timeoutMs, uint32_t byteGapMs);

class BusRead {
public:
    enum class End { Open, Complete, Full, Gap, Longest, Silent };

    BusRead(const BusTiming& timing, uint32_t maximum) : m_timing(timing), m_maximum(maximum) {}

    // `expectedLength`: the answer's likely length in bytes (0: not known).
    void Begin(int64_t nowUs, uint32_t expectedLength = 0);
    // A look at nowUs: `count` bytes have come in all, and `complete` tells whether they end in
    // a whole frame. Open while the read goes on, else why it ended.
    End Look(int64_t nowUs, uint32_t count, bool complete);
    // While no byte has come, the port wakes on the first one, or at this time at the latest;
    // after that it looks at this time only.
    int64_t NextLookUs() const { return m_nextLookUs; }
    bool AwaitingFirstByte() const { return m_count == 0; }

private:
    BusTiming m_timing;
    uint32_t m_maximum;
    int64_t m_startUs = 0;
    int64_t m_lastByteUs = 0;
    int64_t m_nextLookUs = 0;
    uint32_t m_count = 0;
    uint32_t m_expected = 0;
};

class BusDrain {
public:
    explicit BusDrain(const BusTiming& timing) : m_timing(timing) {}

    void Begin(int64_t nowUs);
    // A look at nowUs (a byte woke the port, or the time came); true when the drain is over.
    bool Look(int64_t nowUs, bool bytesCame);
    int64_t NextLookUs() const;

private:
    BusTiming m_timing;
    int64_t m_startUs = 0;
    int64_t m_lastByteUs = 0;
};
