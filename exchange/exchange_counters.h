#pragma once

#include "exchange_cycle.h"

// The readers' two counters, kept from the exchanges' steps: requests sent (counted before or
// after the write, as the protocol variant does; a failed write still counts) and exchanges
// that failed (no answer, or an answer the parser rejected). Both wrap modulo 2^32.
class ExchangeCounters : public ExchangeListener {
public:
    explicit ExchangeCounters(ProtocolVariant variant)
        : m_countBeforeWrite(TraitsOf(variant).CountsRequestBeforeWrite) {}

    // Zeroes both, ErrorCount first.
    void Reset() {
        ErrorCount = 0;
        RequestCount = 0;
    }

    void RequestSending(const ExchangeRecord&) override {
        if (m_countBeforeWrite)
            ++RequestCount;
    }
    void RequestWritten(const ExchangeRecord&) override {
        if (!m_countBeforeWrite)
            ++RequestCount;
    }
    void ExchangeEnded(const ExchangeRecord& record) override {
        if (record.Outcome != ExchangeOutcome::Ok)
            ++ErrorCount;
    }

    uint32_t RequestCount = 0;
    uint32_t ErrorCount = 0;

private:
    bool m_countBeforeWrite;
};
