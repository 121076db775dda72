#pragma once

#include "exchange_record.h"
#include "frames.h"
#include "line.h"
#include "parser.h"

#include <functional>
#include <string_view>
#include <vector>

// What one exchange is for: the instrument's network number, its own reading (a value that
// does not convert keeps that instrument's previous one) and the line it is on.
struct ExchangeJob {
    uint32_t Address = 1;
    DeviceReading* Reading = nullptr; // never null
    std::string_view Line;            // the service's line name; must outlive the exchange
};

// Takes an exchange's steps as they happen, each with the record filled so far. Several
// listeners follow one exchange, in the order they were added: the log, the counters, the
// window; the service's outputs.
class ExchangeListener {
public:
    virtual ~ExchangeListener() = default;
    // The line has been purged; the request is about to be written. The record holds the
    // line, the address and the variant.
    virtual void RequestSending(const ExchangeRecord&) {}
    // The write has ended, whatever the line took: the send stamp and the request are in.
    virtual void RequestWritten(const ExchangeRecord&) {}
    // The read has ended: the receive stamp, the exchange time and the answer are in.
    virtual void AnswerRead(const ExchangeRecord&) {}
    // The answer has been parsed into the job's reading: the record is complete.
    virtual void ExchangeEnded(const ExchangeRecord&) {}
};

// One request/answer exchange with one instrument: purge, write the request, read, parse into
// the instrument's reading, each step told to the listeners with one record that it fills as it
// goes. The steps run as the line reports back, so the caller's event loop never waits on the
// line.
class ExchangeCycle {
public:
    using Finished = std::function<void(const ExchangeRecord&)>;

    ExchangeCycle(ProtocolVariant variant, Line& line,
                  std::function<LocalTime()> clock = LocalTimeNow);

    void AddListener(ExchangeListener* listener) { m_listeners.push_back(listener); }
    // Which answers count as a frame (the window's own rule unless set).
    void SetFrameRule(FrameRule rule) { m_rule = rule; }

    // Begins an exchange; `finished` runs after the listeners have had its record. With
    // nothing to wait for on the line the whole exchange has run when Begin returns.
    void Begin(ExchangeJob job, Finished finished = {});
    // An exchange has begun and not yet finished.
    bool InFlight() const { return m_inFlight; }
    // Ends the exchange in flight at once: the read ends with what has arrived, and the rest
    // (the answer's steps, the parse, the report) runs before this returns. The record says it
    // was aborted.
    void Abort();

    const RequestBuffer& Request() const { return m_request; }
    const ReceiveBuffer& Received() const { return m_receive; }

private:
    void OnWritten(uint16_t length);
    void OnRead(uint32_t count);

    ProtocolVariant m_variant;
    Line& m_line;
    std::function<LocalTime()> m_clock;
    FrameRule m_rule = FrameRule::Reader;
    std::vector<ExchangeListener*> m_listeners;
    RequestBuffer m_request{};
    ReceiveBuffer m_receive{};

    bool m_inFlight = false;
    bool m_aborted = false;
    ExchangeJob m_job;
    ExchangeRecord m_record;
    Finished m_finished;
};
