#include "exchange_cycle.h"

#include <cstring>

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

void ExchangeCycle::Run(const View& view) {
    m_port.Purge();
    view.SetStatus(kSending);

    m_receivedLength = 0;
    m_receive.fill(0);
    std::memset(m_request.data(), 0, 256);
    const uint16_t length = BuildRequest(m_variant, uint32_t(m_settings.NetAdrr), m_request);

    // The crc program counts a request before writing it, the sum program after; either way a
    // failed write still counts.
    if (m_variant == ProtocolVariant::Crc)
        ++RequestCount;
    m_port.Write(m_request.data(), length);
    if (m_variant == ProtocolVariant::Sum)
        ++RequestCount;

    const bool logging = m_settings.UseLogFile == 1;
    LocalTime sent;
    if (logging) {
        sent = m_clock();
        AppendToLog(m_settings.LogFileName, LogSendPart(sent, m_request.data(), length));
    }

    m_receivedLength = m_port.Read(m_receive.data(), kMaxReadLength);

    if (logging) {
        const LocalTime received = m_clock();
        AppendToLog(m_settings.LogFileName, LogAnswerPart(received, ExchangeTimeMs(sent, received),
                                                          m_receive.data(), m_receivedLength));
    }

    if (m_receivedLength > 0) {
        view.SetStatus(kAnswered);
        const uint16_t result = ParseResponse(m_variant, m_receive, m_receivedLength, m_reading);
        view.ShowReading();
        if (result == 0) {
            view.SetStatus(kParsed);
        } else {
            view.SetStatus(kParseFailed);
            ++ErrorCount;
        }
    } else {
        view.SetStatus(kNoAnswer);
        ++ErrorCount;
    }
}
