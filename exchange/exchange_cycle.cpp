#include "exchange_cycle.h"

#include <cstring>

namespace {

// The part of the request buffer cleared before each request is built.
constexpr size_t kRequestClearBytes = 256;

ExchangeOutcome FromParse(ParseOutcome outcome) {
    switch (outcome) {
    case ParseOutcome::Parsed:
        return ExchangeOutcome::Parsed;
    case ParseOutcome::TooShort:
        return ExchangeOutcome::TooShort;
    case ParseOutcome::NoFrame:
        return ExchangeOutcome::NoFrame;
    case ParseOutcome::ChecksumMismatch:
        break;
    }
    return ExchangeOutcome::ChecksumMismatch;
}

} // namespace

ExchangeCycle::ExchangeCycle(ProtocolVariant variant, Line& line, std::function<LocalTime()> clock)
    : m_variant(variant), m_line(line), m_clock(std::move(clock)) {}

void ExchangeCycle::Begin(ExchangeJob job, std::function<void(const ExchangeResult&)> finished) {
    m_inFlight = true;
    m_aborted = false;
    m_job = std::move(job);
    m_finished = std::move(finished);
    m_result = ExchangeResult{};
    m_result.Address = m_job.Address;

    m_line.Purge();
    for (ExchangeListener* listener : m_listeners)
        listener->RequestSending(m_job);

    m_receive.fill(0);
    std::memset(m_request.data(), 0, kRequestClearBytes);
    const uint16_t length = BuildRequest(m_variant, m_job.Address, m_request);
    m_line.StartWrite(m_request.data(), length, [this, length](uint32_t) { OnWritten(length); });
}

void ExchangeCycle::OnWritten(uint16_t length) {
    for (ExchangeListener* listener : m_listeners)
        listener->RequestWritten(m_job);
    m_result.Sent = m_clock();
    if (!m_job.LogPath.empty())
        AppendToLog(m_job.LogPath, LogSendPart(m_result.Sent, m_request.data(), length));
    if (m_aborted) {
        OnRead(0);
        return;
    }
    m_line.StartRead(m_receive.data(), kMaxReadLength, [this](uint32_t count) { OnRead(count); });
}

void ExchangeCycle::OnRead(uint32_t count) {
    ExchangeResult& r = m_result;
    r.ByteCount = count;
    r.Received = m_clock();
    r.ExchangeMs = ExchangeTimeMs(r.Sent, r.Received);
    r.ReadReturnNs = m_line.LastReadReturnNs();
    if (!m_job.LogPath.empty())
        AppendToLog(m_job.LogPath,
                    LogAnswerPart(r.Received, r.ExchangeMs, m_receive.data(), r.ByteCount));

    if (r.ByteCount > 0)
        r.Outcome = FromParse(ParseAnswer(m_variant, m_receive, r.ByteCount, *m_job.Reading));
    else
        r.Outcome = m_line.LastReadFailed() && !m_aborted ? ExchangeOutcome::PortFailure
                                                          : ExchangeOutcome::NoAnswer;

    for (ExchangeListener* listener : m_listeners)
        listener->ExchangeEnded(m_job, r);
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
