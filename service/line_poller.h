#pragma once

// One serial line of the service: its port, opened by device path; the exchange; one reading
// per instrument; the fixed-rate schedule driven by a precise single-shot timer on a steady
// clock; the day files. Reports readings and availability changes through callbacks, so the
// service decides what is published.
//
// A port that fails (or cannot be opened) is closed, its instruments are marked offline, and
// it is opened again after 1 s, 2 s, 4 s ... at most 60 s: a missing adapter costs a timer
// event a minute, no polling.

#include "day_files.h"
#include "exchange_cycle.h"
#include "poll_schedule.h"
#include "serial_port.h"
#include "service_config.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// "ok", "too-short", "no-frame", "checksum-mismatch", "no-answer", "port-failure"
const char* ExchangeOutcomeName(ExchangeOutcome outcome);
inline constexpr int kExchangeOutcomeCount = 6;

class LinePoller : public QObject {
public:
    struct Events {
        std::function<void(const std::string& message)> Log; // warnings: the port, the files
        std::function<void(uint32_t address, bool online)> Availability;
        // An answer that parsed with a good checksum; seq counts them per instrument from 1.
        std::function<void(uint32_t address, uint64_t seq, const ExchangeResult&,
                           const DeviceReading&)>
            Reading;
    };
    struct Counts {
        std::array<uint64_t, kExchangeOutcomeCount> Outcomes{};
        uint64_t Skipped = 0; // schedule overruns
        uint64_t Reopenings = 0;
    };

    LinePoller(LineConfig config, const std::string& dataDir, Events events);
    ~LinePoller() override;

    // Opens the port and polls until Stop.
    void Start();
    // Visits every instrument once in list order (the gap between), reporting each end, then
    // calls `done`. Without a port, each visit ends at once as a port failure.
    void RunOnce(std::function<void(const ExchangeResult&, const DeviceReading&)> each,
                 std::function<void()> done);
    // Ends the exchange in flight (its record is written), stops the timers, closes the port.
    void Stop();

    const LineConfig& Config() const { return m_config; }
    bool PortOpen() const { return m_port.IsOpen(); }
    Counts TotalCounts() const;
    // Steady ms since the line was made, for rates over an interval.
    int64_t NowMs() const { return m_clock.elapsed(); }

private:
    // The next instrument of a RunOnce round, or its end.
    void OnceStep();
    bool OpenPort();
    void PortLost();
    void ScheduleNext();
    void Visit();
    void Ended(size_t index, const ExchangeResult& result);
    void SetOnline(size_t index, bool online);

    LineConfig m_config;
    Events m_events;
    SerialPort m_port;
    ExchangeCycle m_cycle;
    DayFiles m_files;
    std::vector<DeviceReading> m_readings;
    std::vector<uint64_t> m_seq;
    std::vector<uint32_t> m_failures;
    std::vector<std::optional<bool>> m_online;
    std::unique_ptr<PollSchedule> m_schedule;
    PollSchedule::Visit m_visit;
    QElapsedTimer m_clock;
    QTimer m_timer;  // the next visit
    QTimer m_reopen; // the next try at opening the port
    int m_reopenDelayMs = 1000;
    bool m_portTrouble = false; // reported, until an opening works
    bool m_running = false;
    Counts m_counts;
    uint64_t m_skippedBefore = 0; // of schedules of earlier openings

    // --once
    std::function<void(const ExchangeResult&, const DeviceReading&)> m_onceEach;
    std::function<void()> m_onceDone;
    size_t m_onceIndex = 0;
};
