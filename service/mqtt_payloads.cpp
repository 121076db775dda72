#include "mqtt_payloads.h"

#include "json_text.h"
#include "names.h"

#include <algorithm>
#include <charconv>

std::string ServiceTopic(std::string_view base, std::string_view leaf) {
    std::string topic(base);
    return (topic += '/') += leaf;
}

std::string LineTopic(std::string_view base, std::string_view line, std::string_view leaf) {
    std::string topic(base);
    ((topic += '/') += CleanName(line)) += '/';
    return topic += leaf;
}

std::string InstrumentTopic(std::string_view base, std::string_view line, uint32_t address,
                            std::string_view leaf) {
    return LineTopic(base, line, std::to_string(address) + '/' + std::string(leaf));
}

std::string DiagJson(const LineFigures& now, const LineFigures& before, double seconds,
                     size_t queueDepth, uint64_t dropped) {
    // The outcomes a line's exchange can have, in the report's order.
    static constexpr ExchangeOutcome kReported[] = {
        ExchangeOutcome::Ok,       ExchangeOutcome::TooShort,
        ExchangeOutcome::NoFrame,  ExchangeOutcome::ChecksumMismatch,
        ExchangeOutcome::NoAnswer, ExchangeOutcome::PortFailure};
    std::string out;
    JsonText json(out);
    json.BeginObject().Key("outcomes").BeginObject();
    uint64_t exchanges = 0;
    for (const ExchangeOutcome outcome : kReported) {
        const uint64_t n = now.Outcomes[size_t(outcome)] - before.Outcomes[size_t(outcome)];
        exchanges += n;
        json.Key(OutcomeName(outcome)).Unsigned(n);
    }
    json.EndObject();
    char rate[32];
    const auto written =
        std::to_chars(rate, rate + sizeof rate, seconds > 0 ? double(exchanges) / seconds : 0.0,
                      std::chars_format::fixed, 2);
    json.Key("exchanges_per_s").Raw(std::string_view(rate, size_t(written.ptr - rate)));
    json.Key("overruns").Unsigned(now.Overruns - before.Overruns);
    json.Key("port_reopenings").Unsigned(now.Reopenings - before.Reopenings);
    json.Key("queue_depth").Unsigned(queueDepth);
    json.Key("dropped").Unsigned(dropped);
    json.EndObject();
    return out;
}
