#include "line_poller.h"

#include "frames.h"
#include "parser.h"

#include <algorithm>

namespace {

constexpr int kFirstReopenMs = 1000;
constexpr int kLastReopenMs = 60000;

} // namespace

const char* ExchangeOutcomeName(ExchangeOutcome outcome) {
    switch (outcome) {
    case ExchangeOutcome::Parsed:
        return "ok";
    case ExchangeOutcome::TooShort:
        return "too-short";
    case ExchangeOutcome::NoFrame:
        return "no-frame";
    case ExchangeOutcome::ChecksumMismatch:
        return "checksum-mismatch";
    case ExchangeOutcome::NoAnswer:
        return "no-answer";
    case ExchangeOutcome::PortFailure:
        break;
    }
    return "port-failure";
}

LinePoller::LinePoller(LineConfig config, const std::string& dataDir, Events events)
    : m_config(std::move(config)), m_events(std::move(events)), m_port({}, {}),
      m_cycle(m_config.Variant, m_port),
      m_files(dataDir + "/" + m_config.Name, m_config.ExchangeLog,
              [this](const std::string& message) {
                  if (m_events.Log)
                      m_events.Log(message);
              }),
      m_readings(m_config.Addresses.size()), m_seq(m_config.Addresses.size()),
      m_failures(m_config.Addresses.size()), m_online(m_config.Addresses.size()) {
    m_clock.start();
    for (QTimer* timer : {&m_timer, &m_reopen}) {
        timer->setSingleShot(true);
        timer->setTimerType(Qt::PreciseTimer);
    }
    connect(&m_timer, &QTimer::timeout, this, [this] { Visit(); });
    connect(&m_reopen, &QTimer::timeout, this, [this] {
        if (OpenPort())
            ScheduleNext();
    });
    const ProtocolVariant variant = m_config.Variant;
    m_port.SetAnswerComplete([variant](const uint8_t* data, uint32_t count) {
        return AnswerLooksComplete(variant, data, count);
    });
}

LinePoller::~LinePoller() {
    Stop();
}

LinePoller::Counts LinePoller::TotalCounts() const {
    Counts counts = m_counts;
    counts.Skipped = m_skippedBefore + (m_schedule ? m_schedule->Skipped() : 0);
    return counts;
}

bool LinePoller::OpenPort() {
    if (m_port.OpenDevice(m_config.Device, m_config.SpeedIndex, m_config.TimeoutMs) != 0) {
        if (!m_portTrouble && m_events.Log)
            m_events.Log("cannot open " + m_config.Device + ": " +
                         m_port.LastOpenError().toStdString() + "; trying again with back-off");
        if (!m_portTrouble) {
            for (size_t i = 0; i < m_online.size(); ++i)
                SetOnline(i, false);
        }
        m_portTrouble = true;
        m_reopen.start(m_reopenDelayMs);
        m_reopenDelayMs = std::min(m_reopenDelayMs * 2, kLastReopenMs);
        return false;
    }
    if (m_portTrouble) {
        ++m_counts.Reopenings;
        if (m_events.Log)
            m_events.Log(m_config.Device + " open again");
    }
    m_portTrouble = false;
    PollSchedule::Options options;
    options.Pacing = PollSchedule::Mode::FixedRate;
    options.Addresses = m_config.Addresses;
    options.PeriodMs = m_config.PeriodMs;
    options.GapMs = m_config.GapMs;
    m_skippedBefore += m_schedule ? m_schedule->Skipped() : 0;
    m_schedule = std::make_unique<PollSchedule>(options, NowMs());
    return true;
}

void LinePoller::PortLost() {
    m_port.Close();
    if (m_events.Log)
        m_events.Log(m_config.Device + " failed; closed, opening it again with back-off");
    for (size_t i = 0; i < m_online.size(); ++i)
        SetOnline(i, false);
    m_portTrouble = true;
    m_reopenDelayMs = kFirstReopenMs;
    m_reopen.start(m_reopenDelayMs);
    m_reopenDelayMs *= 2;
}

void LinePoller::Start() {
    m_running = true;
    m_reopenDelayMs = kFirstReopenMs;
    if (OpenPort())
        ScheduleNext();
}

void LinePoller::Stop() {
    m_running = false;
    m_timer.stop();
    m_reopen.stop();
    if (m_cycle.InFlight())
        m_cycle.Abort(); // its end is written; nothing new is scheduled
    m_port.Close();
}

void LinePoller::ScheduleNext() {
    if (!m_running || !m_schedule)
        return;
    if (!m_schedule->Next(m_visit))
        return;
    m_timer.start(int(std::clamp<int64_t>(m_visit.AtMs - NowMs(), 0, INT32_MAX)));
}

void LinePoller::Visit() {
    const size_t index = m_visit.Index;
    ExchangeJob job{m_config.Addresses[index], &m_readings[index], {}};
    m_cycle.Begin(job, [this, index](const ExchangeResult& result) {
        const bool answered = result.ByteCount > 0;
        Ended(index, result);
        if (!m_running)
            return;
        m_schedule->Done(m_visit, answered, NowMs());
        if (result.Outcome == ExchangeOutcome::PortFailure || !m_port.IsOpen())
            PortLost();
        else
            ScheduleNext();
    });
}

void LinePoller::Ended(size_t index, const ExchangeResult& result) {
    ++m_counts.Outcomes[size_t(result.Outcome)];
    RequestBuffer request{};
    const uint16_t length = BuildRequest(m_config.Variant, result.Address, request);
    if (result.Outcome != ExchangeOutcome::PortFailure)
        m_files.Write(result.Sent, result.Received, result.ExchangeMs,
                      std::string_view(reinterpret_cast<const char*>(request.data()), length),
                      std::string_view(reinterpret_cast<const char*>(m_cycle.Received().data()),
                                       result.ByteCount));
    if (result.Outcome == ExchangeOutcome::Parsed) {
        m_failures[index] = 0;
        m_reopenDelayMs = kFirstReopenMs;
        SetOnline(index, true);
        if (m_events.Reading)
            m_events.Reading(result.Address, ++m_seq[index], result, m_readings[index]);
    } else if (++m_failures[index] >= m_config.OfflineAfter) {
        SetOnline(index, false);
    }
    if (m_onceEach)
        m_onceEach(result, m_readings[index]);
}

void LinePoller::SetOnline(size_t index, bool online) {
    if (m_online[index] == online)
        return;
    m_online[index] = online;
    if (m_events.Availability)
        m_events.Availability(m_config.Addresses[index], online);
}

void LinePoller::RunOnce(std::function<void(const ExchangeResult&, const DeviceReading&)> each,
                         std::function<void()> done) {
    m_onceEach = std::move(each);
    m_onceDone = std::move(done);
    m_onceIndex = 0;
    const bool open =
        m_port.OpenDevice(m_config.Device, m_config.SpeedIndex, m_config.TimeoutMs) == 0;
    if (!open && m_events.Log)
        m_events.Log("cannot open " + m_config.Device + ": " +
                     m_port.LastOpenError().toStdString());
    OnceStep();
}

void LinePoller::OnceStep() {
    if (m_onceIndex >= m_config.Addresses.size()) {
        m_onceEach = nullptr;
        m_port.Close();
        auto done = std::move(m_onceDone);
        if (done)
            done();
        return;
    }
    const size_t index = m_onceIndex++;
    m_cycle.Begin(ExchangeJob{m_config.Addresses[index], &m_readings[index], {}},
                  [this, index](const ExchangeResult& result) {
                      Ended(index, result);
                      QTimer::singleShot(int(m_config.GapMs), Qt::PreciseTimer, this,
                                         [this] { OnceStep(); });
                  });
}
