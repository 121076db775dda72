#include "exchange_record.h"

const char* OutcomeName(ExchangeOutcome outcome) {
    static const char* const kNames[kExchangeOutcomeCount] = {
        "ok",        "too-short",    "no-frame",       "checksum-mismatch",
        "no-answer", "port-failure", "unknown-request"};
    const auto index = size_t(outcome);
    return index < kExchangeOutcomeCount ? kNames[index] : "unknown-request";
}

ExchangeOutcome OutcomeOfParse(ParseOutcome parsed) {
    switch (parsed) {
    case ParseOutcome::Parsed:
        return ExchangeOutcome::Ok;
    case ParseOutcome::TooShort:
        return ExchangeOutcome::TooShort;
    case ParseOutcome::NoFrame:
        return ExchangeOutcome::NoFrame;
    case ParseOutcome::ChecksumMismatch:
        break;
    }
    return ExchangeOutcome::ChecksumMismatch;
}
