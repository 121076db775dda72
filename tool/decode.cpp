#include "decode.h"

#include "frames.h"

#include <algorithm>
#include <cstring>

ExchangeDecoder::ExchangeDecoder(std::optional<ProtocolVariant> variant,
                                 std::optional<uint32_t> network)
    : m_variant(variant), m_network(network), m_readings(2 * (kNetworks + 1)) {}

std::optional<ExchangeRecord> ExchangeDecoder::Decode(const LoggedExchange& exchange) {
    ExchangeRecord record;
    record.Sent = exchange.Sent;
    record.Received = exchange.Received;
    record.ExchangeMs = exchange.ExchangeTimeMs;
    record.Request = exchange.Request;
    record.Answer = exchange.Answer;
    const std::string& request = exchange.Request;
    if (const std::optional<ParsedRequest> parsed =
            ParseRequest(reinterpret_cast<const uint8_t*>(request.data()), request.size())) {
        record.Variant = parsed->Variant;
        record.Address = parsed->NetAdrr;
    }
    if (m_network && record.Address != m_network)
        return std::nullopt;
    if (m_variant)
        record.Variant = m_variant;

    if (exchange.Answer.empty()) {
        record.Outcome = ExchangeOutcome::NoAnswer;
        return record;
    }
    if (!record.Variant) {
        record.Outcome = ExchangeOutcome::UnknownRequest;
        return record;
    }
    ReceiveBuffer buffer{};
    const size_t length = std::min<size_t>(exchange.Answer.size(), kMaxReadLength);
    std::memcpy(buffer.data(), exchange.Answer.data(), length);
    DeviceReading& reading =
        m_readings[size_t(*record.Variant) * (kNetworks + 1) + record.Address.value_or(kNetworks)];
    // A logged answer counts as read only from a frame its checksum covers.
    record.Outcome = OutcomeOfParse(
        ParseAnswer(*record.Variant, buffer, uint32_t(length), reading, FrameRule::WholeFrame));
    if (record.Outcome == ExchangeOutcome::Ok)
        record.Reading = &reading;
    return record;
}
