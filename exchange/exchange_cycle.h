#pragma once

#include "app_settings.h"
#include "exchange_log.h"
#include "frames.h"
#include "parser.h"
#include "serial_port.h"

#include <functional>

// One request/answer exchange with the instrument, and the start/stop state and counters
// around it. The window's timer decides when a cycle runs; this class does the cycle itself.
// A cycle runs in steps driven by the event loop (the write and the read wait for the port
// without blocking); Begin starts it and `finished` runs once it has ended.
class ExchangeCycle {
public:
    static const char* const kSending;     // "Передача запроса"
    static const char* const kAnswered;    // "Пришел ответ"
    static const char* const kParsed;      // "Ответ разобран"
    static const char* const kParseFailed; // "Ошибка при разборе ответа"
    static const char* const kNoAnswer;    // "Ответа нет"

    // What the cycle shows while it runs.
    struct View {
        std::function<void(const char* utf8Status)> SetStatus;
        std::function<void()> ShowReading;
    };

    ExchangeCycle(ProtocolVariant variant, const AppSettings& settings, SerialPort& port,
                  DeviceReading& reading, std::function<LocalTime()> clock = LocalTimeNow);

    // Purge, send the request for NetAdrr, log, read, log, parse and paint, count a failure;
    // then `finished`. Without a port the whole cycle has run when Begin returns.
    void Begin(View view, std::function<void()> finished);
    // A cycle has begun and not yet finished.
    bool InFlight() const { return m_inFlight; }
    // Ends the cycle in flight at once: the read ends with what has arrived, and the rest of
    // the cycle (its log part, parse, paint, status and counting) runs before this returns.
    void Abort();

    // Start resets both counters (ErrorCount first); Stop keeps them.
    void Start();
    void Stop() { ExchangeActive = 0; }

    int32_t ExchangeActive = 0;
    uint32_t RequestCount = 0;
    uint32_t ErrorCount = 0;

    const RequestBuffer& Request() const { return m_request; }
    const ReceiveBuffer& Received() const { return m_receive; }
    uint32_t ReceivedLength() const { return m_receivedLength; }

private:
    void OnWritten(uint16_t length);
    void OnRead(uint32_t count);

    ProtocolVariant m_variant;
    const AppSettings& m_settings;
    SerialPort& m_port;
    DeviceReading& m_reading;
    std::function<LocalTime()> m_clock;
    RequestBuffer m_request{};
    ReceiveBuffer m_receive{};
    uint32_t m_receivedLength = 0;

    bool m_inFlight = false;
    bool m_aborted = false;
    View m_view;
    std::function<void()> m_finished;
    LocalTime m_sent;
};
