#pragma once

// What one exchange produced, filled once by the exchange (or by reader-tool from a log) and
// handed as it is to every output: the exchange log, the window, the day files, MQTT, Modbus,
// the HTTP side. Nothing downstream builds a request or parses an answer again.

#include "exchange_log.h"
#include "parser.h"
#include "reading.h"
#include "variant.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

// How one exchange ended.
enum class ExchangeOutcome {
    Ok,               // an answer whose checksum matches
    TooShort,         // an answer too short to hold a frame
    NoFrame,          // an answer without a whole frame
    ChecksumMismatch, // a frame whose checksum is wrong
    NoAnswer,         // the read ended with nothing
    PortFailure,      // no port open, or it failed during the read
    UnknownRequest,   // (a log read back) the request is none of these programs' frames
};
inline constexpr size_t kExchangeOutcomeCount = 7;

// "ok", "too-short", "no-frame", "checksum-mismatch", "no-answer", "port-failure",
// "unknown-request": the names every output uses.
const char* OutcomeName(ExchangeOutcome outcome);
// The outcome of an answer the parser took.
ExchangeOutcome OutcomeOfParse(ParseOutcome parsed);

// Views and pointers in a record stay valid only while the record is being handed out: an
// output that keeps something copies it.
struct ExchangeRecord {
    std::string_view Line;                  // the service's line name; empty elsewhere
    std::optional<uint32_t> Address;        // the network number the request named
    std::optional<ProtocolVariant> Variant; // unknown only for a logged request of no variant
    LocalTime Sent;     // when the request had been written (local wall clock, steady, UTC)
    LocalTime Received; // when the read ended
    uint32_t ExchangeMs = 0;
    std::string_view Request; // the bytes as they crossed the line
    std::string_view Answer;
    ExchangeOutcome Outcome = ExchangeOutcome::NoAnswer;
    // The instrument's reading after this exchange when its answer parsed with a good
    // checksum; null otherwise. A value that did not convert holds that instrument's earlier one.
    const DeviceReading* Reading = nullptr;
    // Ended by a stop rather than by the line: written to the files as read, counted nowhere.
    bool Aborted = false;
};
