#pragma once

// The service's figures in Prometheus's text format (version 0.0.4), a pure function of what
// the caller gathered. Names follow Prometheus's rules: the prefix reader_, base units
// (seconds), counters ending in _total, a HELP and a TYPE line for every metric, labels line,
// address, channel and outcome. The process's own figures carry the names Prometheus's client
// libraries give them (process_cpu_seconds_total, process_resident_memory_bytes, ...), so the
// usual dashboards show the service like any other process.

#include "http_server.h"
#include "output.h"
#include "reading.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// How long a line's exchanges took, as a histogram in seconds.
struct ExchangeTimes {
    static constexpr std::array<uint32_t, 10> kBoundsMs{5,   10,  25,   50,   100,
                                                        250, 500, 1000, 2500, 5000};
    std::array<uint64_t, kBoundsMs.size()> InBucket{}; // at most the bound, above the one before
    uint64_t Count = 0;
    uint64_t SumMs = 0;
    void Add(uint32_t ms);
};

struct InstrumentMetrics {
    std::string Line;
    uint32_t Address = 0;
    bool Up = false;
    const DeviceReading* Reading = nullptr; // null before its first good answer
    int64_t LastGoodUtcMs = -1;
    std::array<uint64_t, kExchangeOutcomeCount> Outcomes{};
};

struct LineMetrics {
    std::string Line;
    bool PortOpen = false;
    LineFigures Figures; // over the run, reloads included
    uint64_t FileWriteFailures = 0;
    ExchangeTimes Times;
};

struct MqttMetrics {
    uint64_t QueueDepth = 0;
    uint64_t Dropped = 0;
};

// The process as /proc tells it; Known is false where it cannot be read.
struct ProcessMetrics {
    bool Known = false;
    double CpuSeconds = 0;
    uint64_t ResidentBytes = 0;
    uint64_t VirtualBytes = 0;
    uint64_t OpenFds = 0;
    uint64_t MaxFds = 0;
    double StartTimeSeconds = 0; // since the Unix epoch
};

struct MetricsInput {
    std::vector<InstrumentMetrics> Instruments;
    std::vector<LineMetrics> Lines;
    std::optional<MqttMetrics> Mqtt; // when [mqtt] is on
    HttpFigures Http;
    ProcessMetrics Process;
};

std::string MetricsText(const MetricsInput& input);

// This process's figures, from /proc/self (readable under the unit's ProcSubset=pid).
ProcessMetrics ReadProcessMetrics();
