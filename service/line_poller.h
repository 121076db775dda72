#pragma once

// One serial line of the service: its port, opened by device path and read with the bus rule
// (bus_read.h); the exchange; the fixed-rate schedule driven by a precise single-shot timer on a
// steady clock. Each exchange's record goes, with its instrument's state, to the line's outputs
// in order. After an answer that came without a whole frame the line is drained before the
// next request.
//
// An instrument that failed offline_after exchanges in a row (of any kind: silence, garbage, a
// bad checksum) is reported offline, and after three it is visited less often, so a dead one
// cannot slow the others. A port that fails (or cannot be opened) is closed, its instruments
// are marked offline, and it is opened again after 1 s, 2 s, 4 s ... at most 60 s; the back-off
// starts again only after a good exchange, so a port that opens but fails at once is not
// reopened every second for ever.

#include "bus_port.h"
#include "exchange_cycle.h"
#include "output.h"
#include "poll_schedule.h"
#include "service_config.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <functional>
#include <memory>
#include <string>
#include <vector>

class LinePoller : public QObject {
public:
    // `instruments`: the state of each address of the line, in the line's order, kept by the
    // caller; `outputs` are told in this order.
    LinePoller(LineConfig config, std::vector<InstrumentState*> instruments,
               std::vector<Output*> outputs);
    ~LinePoller() override;

    // Opens the port and polls until Stop.
    void Start();
    // Visits every instrument once in list order (the gap between), then calls `done`. Without
    // a port, each visit ends at once as a port failure.
    void RunOnce(std::function<void()> done);
    // Ends the exchange in flight (its record is told, marked aborted), stops the timers and
    // closes the port.
    void Stop();
    // Lets the exchange in flight end as the line ends it, then stops as Stop does and calls
    // `done` (at once when none is in flight).
    void Finish(std::function<void()> done);

    const LineConfig& Config() const { return m_config; }
    bool PortOpen() const { return m_port.IsOpen(); }
    // Why the port is not open, or failed last; empty while it works.
    const std::string& PortTrouble() const { return m_troubleReason; }
    LineFigures Figures() const;

private:
    void OnceStep();
    bool OpenPort();
    void PortLost();
    void ScheduleNext();
    void Visit();
    void AfterVisit(const ExchangeRecord& record);
    void Ended(size_t index, const ExchangeRecord& record);
    void SetOnline(size_t index, bool online);
    void TellLine() const;
    void Say(const std::string& text) const;
    int64_t NowMs() const { return m_clock.elapsed(); }

    LineConfig m_config;
    std::vector<InstrumentState*> m_instruments;
    std::vector<Output*> m_outputs;
    BusPort m_port;
    ExchangeCycle m_cycle;
    std::unique_ptr<PollSchedule> m_schedule;
    PollSchedule::Visit m_visit;
    QElapsedTimer m_clock;
    QTimer m_timer;  // the next visit
    QTimer m_reopen; // the next try at opening the port
    int m_reopenDelayMs = 1000;
    bool m_portTrouble = false;  // reported, until a good exchange
    std::string m_troubleReason; // of the port's latest failure
    bool m_running = false;
    LineFigures m_figures;
    uint64_t m_skippedBefore = 0; // of schedules of earlier openings

    std::function<void()> m_finished; // Finish's, once the exchange in flight has ended
    // --once
    std::function<void()> m_onceDone;
    size_t m_onceIndex = 0;
};
