#pragma once

// The exchanges of a log as the records the exchange made: the protocol variant and network
// number from the request, the outcome of the answer, and the reading the answer gave.

#include "exchange_log_reader.h"
#include "exchange_record.h"
#include "parser.h"

#include <optional>
#include <vector>

// Decodes a log's exchanges one after another, keeping a reading per instrument as the window
// does (a value that does not convert keeps that instrument's value before). An instrument is a
// network number with its variant: several may share one line, and so one log.
class ExchangeDecoder {
public:
    // variant: that of every exchange, or nullopt to tell it from each request. network: the
    // only network number whose exchanges are decoded, or nullopt for all.
    explicit ExchangeDecoder(std::optional<ProtocolVariant> variant = std::nullopt,
                             std::optional<uint32_t> network = std::nullopt);
    // The exchange's record, its views into `exchange` and its reading valid until the next
    // call; nullopt when it is not one of the selected network's.
    std::optional<ExchangeRecord> Decode(const LoggedExchange& exchange);

private:
    static constexpr size_t kNetworks = 256;
    std::optional<ProtocolVariant> m_variant;
    std::optional<uint32_t> m_network;
    // Per variant, one reading per network number and then one for requests that name none
    // (their answers are decoded only when the variant is given).
    std::vector<DeviceReading> m_readings;
};
