#pragma once

// The line an exchange talks over: the serial port in the programs, a scripted line in tests.
// Writes and reads never block: each starts here and reports once it has ended, through a
// callback driven by the caller's event loop (or at once, when there is nothing to wait for).

#include <cstdint>
#include <functional>

class Line {
public:
    // Called once when a write or read has ended, with the number of bytes it moved.
    using Completion = std::function<void(uint32_t count)>;

    virtual ~Line() = default;

    // Discards whatever waits to be sent or read.
    virtual void Purge() = 0;
    // Hands length bytes to the line; `done` gets how many it took. `data` must stay valid
    // until `done` has run.
    virtual void StartWrite(const uint8_t* data, uint32_t length, Completion done) = 0;
    // Reads up to `maximum` bytes under the line's two time-outs: the read ends at `maximum`
    // bytes, at the interval time-out after a byte, or at the total time-out. A line that
    // fails during the read has read nothing (0). `buffer` must stay valid until `done` runs.
    virtual void StartRead(uint8_t* buffer, uint32_t maximum, Completion done) = 0;
    // Ends the write or read in flight now: its `done` runs before this returns.
    virtual void Abort() = 0;

    // How the latest read ended: the line failed (or none was open), and when it returned, in
    // ns from its start.
    virtual bool LastReadFailed() const = 0;
    virtual int64_t LastReadReturnNs() const = 0;
};
