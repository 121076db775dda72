#include "exchange_cycle.h"

#include <cstring>

namespace {

// The part of the request buffer cleared before each request is built.
constexpr size_t kRequestClearBytes = 256;

} // namespace

ExchangeCycle::ExchangeCycle(ProtocolVariant variant, Line& line, std::function<LocalTime()> clock)
    : m_variant(variant), m_line(line), m_clock(std::move(clock)) {}

void ExchangeCycle::Begin(ExchangeJob job, Finished finished) {
    m_inFlight = true;
    m_aborted = false;
    m_job = job;
    m_finished = std::move(finished);
    m_record = ExchangeRecord{};
    m_record.Line = m_job.Line;
    m_record.Address = m_job.Address;
    m_record.Variant = m_variant;

    m_line.Purge();
    for (ExchangeListener* listener : m_listeners)
        listener->RequestSending(m_record);

    m_receive.fill(0);
    std::memset(m_request.data(), 0, kRequestClearBytes);
    const uint16_t length = BuildRequest(m_variant, m_job.Address, m_request);
    m_line.StartWrite(m_request.data(), length, [this, length](uint32_t) { OnWritten(length); });
}

void ExchangeCycle::OnWritten(uint16_t length) {
    m_record.Sent = m_clock();
    m_record.Request = std::string_view(reinterpret_cast<const char*>(m_request.data()), length);
    for (ExchangeListener* listener : m_listeners)
        listener->RequestWritten(m_record);
    if (m_aborted) {
        OnRead(0);
        return;
    }
    m_line.StartRead(m_receive.data(), kMaxReadLength, [this](uint32_t count) { OnRead(count); });
}

void ExchangeCycle::OnRead(uint32_t count) {
    ExchangeRecord& r = m_record;
    r.Received = m_clock();
    r.ExchangeMs = ExchangeTimeMs(r.Sent, r.Received);
    r.Answer = std::string_view(reinterpret_cast<const char*>(m_receive.data()), count);
    r.Aborted = m_aborted;
    for (ExchangeListener* listener : m_listeners)
        listener->AnswerRead(r);

    if (count > 0)
        r.Outcome =
            OutcomeOfParse(ParseAnswer(m_variant, m_receive, count, *m_job.Reading, m_rule));
    else
        r.Outcome = m_line.LastReadFailed() && !m_aborted ? ExchangeOutcome::PortFailure
                                                          : ExchangeOutcome::NoAnswer;
    r.Reading = r.Outcome == ExchangeOutcome::Ok ? m_job.Reading : nullptr;

    for (ExchangeListener* listener : m_listeners)
        listener->ExchangeEnded(r);
    m_inFlight = false;
    auto finished = std::move(m_finished);
    m_finished = nullptr;
    if (finished)
        finished(r);
}

void ExchangeCycle::Abort() {
    if (!m_inFlight)
        return;
    m_aborted = true;
    m_line.Abort();
}
