#pragma once

// Where the service hands what its lines do. Every output (the day files, MQTT, and whatever is
// added beside them) implements this one table of operations and is fed the same exchange
// record; adding an output touches nothing else.

#include "exchange_record.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>

// What the service knows of one instrument. Kept while the instrument stays in the
// configuration, reloads included, so its sequence numbers never restart within a run.
struct InstrumentState {
    std::string Line;
    uint32_t Address = 0;
    DeviceReading Reading;      // what its answers gave; a value that does not convert stays
    uint64_t Seq = 0;           // good readings so far, the latest one's number
    std::optional<bool> Online; // unknown until decided
    uint32_t FailuresInRow = 0;
    int64_t LastGoodUtcMs = -1; // when its latest good reading came; -1 before the first
    std::array<uint64_t, kExchangeOutcomeCount> Outcomes{}; // its exchanges by outcome
};

// A line's counts over the run.
struct LineFigures {
    std::array<uint64_t, kExchangeOutcomeCount> Outcomes{};
    uint64_t Overruns = 0;   // visits skipped because an exchange ran past them
    uint64_t Reopenings = 0; // of its port after a failure
};

// A line's port as it stands.
struct LineState {
    std::string Line;
    std::string Device;
    bool PortOpen = false;
    std::string Trouble; // why it is not open, or failed last; empty while it works
};

class Output {
public:
    virtual ~Output() = default;
    // An exchange has ended; `instrument` is its instrument as it stands after it.
    virtual void Exchanged(const ExchangeRecord& record, const InstrumentState& instrument) = 0;
    // The instrument went online or offline (told before the exchange that made it so).
    virtual void AvailabilityChanged(const InstrumentState& /*instrument*/) {}
    // A line's port opened, failed or could not be opened.
    virtual void LineChanged(const LineState& /*line*/) {}
};
