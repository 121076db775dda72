#pragma once

// An exchange of the log as the window saw it: the protocol variant and network number from the
// request, the outcome of the answer, and the reading the answer gave.

#include "exchange_log_reader.h"
#include "parser.h"

#include <optional>
#include <string>

enum class Outcome { Ok, NoAnswer, TooShort, NoFrame, ChecksumMismatch, UnknownRequest };
inline constexpr int kOutcomeCount = 6;
// "ok", "no-answer", "too-short", "no-frame", "checksum-mismatch", "unknown-request"
const char* OutcomeName(Outcome outcome);

struct DecodedExchange {
    const LoggedExchange* Logged = nullptr;
    std::optional<ProtocolVariant> Variant; // unknown when the request is not one of ours
    std::optional<uint32_t> Network;
    Outcome Result = Outcome::UnknownRequest;
    const DeviceReading* Reading = nullptr; // set when the answer parsed
};

// Decodes a log's exchanges one after another, keeping the reading between them as the window
// does (a value that does not convert keeps the one before).
class ExchangeDecoder {
public:
    // The variant of every exchange, or nullopt to tell it from each request.
    explicit ExchangeDecoder(std::optional<ProtocolVariant> variant = std::nullopt)
        : m_variant(variant) {}
    DecodedExchange Decode(const LoggedExchange& exchange);

private:
    std::optional<ProtocolVariant> m_variant;
    DeviceReading m_reading;
};

// True when the stamp is a date and time of the calendar (a log stamp of "00 00 0000", or
// month 13, is not).
bool IsValidStamp(const LocalTime& stamp);
// Milliseconds of a local stamp counted from 1970-01-01 as if it were UTC: for order and
// differences between stamps of one log.
int64_t StampMs(const LocalTime& stamp);
// ISO 8601 with milliseconds, in the log's local time: 2026-12-06T14:03:07.250
void AppendIsoStamp(std::string& out, const LocalTime& stamp);
void AppendIsoStamp(std::string& out, int64_t stampMs);
