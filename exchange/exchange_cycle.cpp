#include "exchange_cycle.h"

#include <cstring>

namespace {
// The part of the request buffer cleared before each request is built.
constexpr size_t kRequestClearBytes = 256;
} // namespace

const char* const ExchangeCycle::kSending = "Передача запроса";
const char* const ExchangeCycle::kAnswered = "Пришел ответ";
const char* const ExchangeCycle::kParsed = "Ответ разобран";
const char* const ExchangeCycle::kParseFailed = "Ошибка при разборе ответа";
const char* const ExchangeCycle::kNoAnswer = "Ответа нет";

ExchangeCycle::ExchangeCycle(ProtocolVariant variant, const AppSettings& settings, SerialPort& port,
                             DeviceReading& reading, std::function<LocalTime()> clock)
    : m_variant(variant), m_settings(settings), m_port(port), m_reading(reading),
      m_clock(std::move(clock)) {}

void ExchangeCycle::Start() {
    ExchangeActive = 1;
    ErrorCount = 0;
    RequestCount = 0;
}

void ExchangeCycle::Begin(View view, std::function<void()> finished) {
    m_inFlight = true;
    m_aborted = false;
    m_view = std::move(view);
    m_finished = std::move(finished);

    m_port.Purge();
    m_view.SetStatus(kSending);

    m_receivedLength = 0;
    m_receive.fill(0);
    std::memset(m_request.data(), 0, kRequestClearBytes);
    const uint16_t length = BuildRequest(m_variant, uint32_t(m_settings.NetAdrr), m_request);

    // The crc program counts a request before writing it, the sum program after; either way a
    // failed write still counts.
    if (m_variant == ProtocolVariant::Crc)
        ++RequestCount;
    m_port.StartWrite(m_request.data(), length, [this, length](uint32_t) { OnWritten(length); });
}

void ExchangeCycle::OnWritten(uint16_t length) {
    if (m_variant == ProtocolVariant::Sum)
        ++RequestCount;
    if (m_settings.UseLogFile == 1) {
        m_sent = m_clock();
        AppendToLog(m_settings.LogFileName, LogSendPart(m_sent, m_request.data(), length));
    }
    if (m_aborted) {
        OnRead(0);
        return;
    }
    m_port.StartRead(m_receive.data(), kMaxReadLength, [this](uint32_t count) { OnRead(count); });
}

void ExchangeCycle::OnRead(uint32_t count) {
    m_receivedLength = count;
    if (m_settings.UseLogFile == 1) {
        const LocalTime received = m_clock();
        AppendToLog(m_settings.LogFileName,
                    LogAnswerPart(received, ExchangeTimeMs(m_sent, received), m_receive.data(),
                                  m_receivedLength));
    }

    if (m_receivedLength > 0) {
        m_view.SetStatus(kAnswered);
        const uint16_t result = ParseResponse(m_variant, m_receive, m_receivedLength, m_reading);
        m_view.ShowReading();
        if (result == 0) {
            m_view.SetStatus(kParsed);
        } else {
            m_view.SetStatus(kParseFailed);
            ++ErrorCount;
        }
    } else {
        m_view.SetStatus(kNoAnswer);
        ++ErrorCount;
    }

    m_inFlight = false;
    auto finished = std::move(m_finished);
    m_finished = nullptr;
    if (finished)
        finished();
}

void ExchangeCycle::Abort() {
    if (!m_inFlight)
        return;
    m_aborted = true;
    m_port.Abort();
}
