#pragma once

// What the service publishes, as text: a reading as one JSON object, and the Home Assistant
// discovery messages of an instrument. Pure functions without Qt.

#include "reading.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// A topic level made from a name: letters, digits, '-' and '_' are kept, every other byte
// (separators, wildcards, spaces, non-ASCII) becomes '_'. An empty name gives "_".
std::string CleanTopicPart(std::string_view name);

// The topic under which one instrument's messages go: "<base>/<line>/<address>", the line's name
// cleaned; its "state" and "availability" topics are below it.
std::string InstrumentTopic(std::string_view base, std::string_view line, uint32_t address);

struct StateInput {
    int64_t UtcMs = 0;       // when the answer arrived, ms since 1970-01-01 UTC
    uint64_t Seq = 0;        // per instrument, from 1
    uint32_t ExchangeMs = 0; // request to answer
    const DeviceReading* Reading = nullptr;
};

// {"ts":"2026-01-02T03:04:05.678Z","seq":..,"exchange_ms":..,"channels":[12 x {"value",
// "error","break","setpoint1","setpoint2"}],"relays":[16],"inputs":[4],"controls":[2],
// "keys":[10],"status_number":..}. A value that is not finite is null; the others read back as
// the same float.
std::string StatePayload(const StateInput& input);

// "YYYY-MM-DDThh:mm:ss.mmmZ".
std::string UtcTimestamp(int64_t utcMs);

struct DiscoveryInput {
    std::string Prefix; // "homeassistant"
    std::string Base;   // the service's base topic
    std::string Host;   // the machine, part of the identifiers
    std::string Line;   // the line's name
    uint32_t Address = 0;
    int64_t PeriodMs = 0; // between two visits of the instrument
};

// Seconds after which Home Assistant shows a value as unavailable: three periods, at least 30.
int64_t ExpireAfterS(int64_t periodMs);

// One instrument's discovery messages as (topic, retained payload): 12 sensors (the channels'
// values) then 16 binary sensors for the relays and 4 for the inputs.
std::vector<std::pair<std::string, std::string>> DiscoveryMessages(const DiscoveryInput& input);
