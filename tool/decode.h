#pragma once

// An exchange of the log as the window saw it: the protocol variant and network number from the
// request, the outcome of the answer, and the reading the answer gave.

#include "exchange_log_reader.h"
#include "parser.h"

#include <optional>
#include <string>
#include <vector>

enum class Outcome { Ok, NoAnswer, TooShort, NoFrame, ChecksumMismatch, UnknownRequest };
inline constexpr int kOutcomeCount = 6;
// "ok", "no-answer", "too-short", "no-frame", "checksum-mismatch", "unknown-request"
const char* OutcomeName(Outcome outcome);

struct DecodedExchange {
    const LoggedExchange* Logged = nullptr;
    std::optional<ProtocolVariant> Variant; // unknown when the request is not one of ours
    std::optional<uint32_t> Network;        // 0-255; unknown with the request
    Outcome Result = Outcome::UnknownRequest;
    const DeviceReading* Reading = nullptr; // set when the answer parsed
};

// Decodes a log's exchanges one after another, keeping a reading per instrument as the window
// does (a value that does not convert keeps that instrument's value before). An instrument is a
// network number with its variant: several may share one line, and so one log.
class ExchangeDecoder {
public:
    // variant: that of every exchange, or nullopt to tell it from each request. network: the
    // only network number whose exchanges are decoded, or nullopt for all.
    explicit ExchangeDecoder(std::optional<ProtocolVariant> variant = std::nullopt,
                             std::optional<uint32_t> network = std::nullopt);
    // The exchange decoded; nullopt when it is not one of the selected network's.
    std::optional<DecodedExchange> Decode(const LoggedExchange& exchange);

private:
    static constexpr size_t kNetworks = 256;
    std::optional<ProtocolVariant> m_variant;
    std::optional<uint32_t> m_network;
    // Per variant, one reading per network number and then one for requests that name none
    // (their answers are decoded only when the variant is given).
    std::vector<DeviceReading> m_readings;
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
