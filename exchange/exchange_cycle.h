#pragma once

#include "exchange_log.h"
#include "frames.h"
#include "line.h"
#include "parser.h"

#include <functional>
#include <string>
#include <vector>

// How one exchange ended.
enum class ExchangeOutcome {
    Parsed,           // an answer whose checksum matches
    TooShort,         // an answer too short to hold a frame
    NoFrame,          // an answer without the frame's end
    ChecksumMismatch, // decoded, but its checksum is wrong
    NoAnswer,         // the read ended with nothing
    PortFailure,      // no port open, or it failed during the read
};

struct ExchangeResult {
    uint32_t Address = 0;
    ExchangeOutcome Outcome = ExchangeOutcome::NoAnswer;
    uint32_t ByteCount = 0; // answer bytes read
    LocalTime Sent;         // when the request had been written
    LocalTime Received;     // when the read ended
    uint32_t ExchangeMs = 0;
    int64_t ReadReturnNs = 0; // how long the read took
};

// What one exchange is for: the instrument's network number, its own reading (a value that
// does not convert keeps that instrument's previous one) and where the log parts go.
struct ExchangeJob {
    uint32_t Address = 1;
    DeviceReading* Reading = nullptr; // never null
    std::string LogPath;              // empty: not logged
};

// Takes an exchange's steps as they happen. Several listeners may follow one exchange: the
// window, a counter, a file writer.
class ExchangeListener {
public:
    virtual ~ExchangeListener() = default;
    // The line has been purged; the request is about to be written.
    virtual void RequestSending(const ExchangeJob&) {}
    // The write has ended, whatever the line took.
    virtual void RequestWritten(const ExchangeJob&) {}
    // The exchange has ended; the job's reading holds what the answer gave.
    virtual void ExchangeEnded(const ExchangeJob&, const ExchangeResult&) {}
};

// One request/answer exchange with one instrument: purge, write the request, log its send
// part, read, log the answer part, parse into the instrument's reading, report. The steps run
// as the line reports back, so the caller's event loop never waits on the line.
class ExchangeCycle {
public:
    ExchangeCycle(ProtocolVariant variant, Line& line,
                  std::function<LocalTime()> clock = LocalTimeNow);

    void AddListener(ExchangeListener* listener) { m_listeners.push_back(listener); }

    // Begins an exchange; `finished` runs after the listeners have had its result. With
    // nothing to wait for on the line the whole exchange has run when Begin returns.
    void Begin(ExchangeJob job, std::function<void(const ExchangeResult&)> finished = {});
    // An exchange has begun and not yet finished.
    bool InFlight() const { return m_inFlight; }
    // Ends the exchange in flight at once: the read ends with what has arrived, and the rest
    // (its log part, parse, report) runs before this returns.
    void Abort();

    const RequestBuffer& Request() const { return m_request; }
    const ReceiveBuffer& Received() const { return m_receive; }
    uint32_t ReceivedLength() const { return m_result.ByteCount; }

private:
    void OnWritten(uint16_t length);
    void OnRead(uint32_t count);

    ProtocolVariant m_variant;
    Line& m_line;
    std::function<LocalTime()> m_clock;
    std::vector<ExchangeListener*> m_listeners;
    RequestBuffer m_request{};
    ReceiveBuffer m_receive{};

    bool m_inFlight = false;
    bool m_aborted = false;
    ExchangeJob m_job;
    ExchangeResult m_result;
    std::function<void(const ExchangeResult&)> m_finished;
};
