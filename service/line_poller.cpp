#include "line_poller.h"

#include "parser.h"
#include "service_log.h"

#include <algorithm>

namespace {

constexpr int kFirstReopenMs = 1000;
constexpr int kLastReopenMs = 60000;

} // namespace

LinePoller::LinePoller(LineConfig config, std::vector<InstrumentState*> instruments,
                       std::vector<Output*> outputs)
    : m_config(std::move(config)), m_instruments(std::move(instruments)),
      m_outputs(std::move(outputs)),
      m_port(BusTimingFor(m_config.Baud, m_config.TimeoutMs, m_config.ByteGapMs),
             [variant = m_config.Variant](const uint8_t* data, uint32_t count) {
                 return AnswerLooksComplete(variant, data, count);
             }),
      m_cycle(m_config.Variant, m_port) {
    m_cycle.SetFrameRule(FrameRule::WholeFrame);
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
}

LinePoller::~LinePoller() {
    Stop();
}

void LinePoller::TellLine() const {
    const LineState state{m_config.Name, m_config.Device, m_port.IsOpen(), m_troubleReason};
    for (Output* output : m_outputs)
        output->LineChanged(state);
}

void LinePoller::Say(const std::string& text) const {
    ServiceLog(Priority::Warning, m_config.Name + ": " + text);
}

LineFigures LinePoller::Figures() const {
    LineFigures figures = m_figures;
    figures.Overruns = m_skippedBefore + (m_schedule ? m_schedule->Skipped() : 0);
    return figures;
}

bool LinePoller::OpenPort() {
    if (!m_port.Open(m_config.Device, m_config.Baud)) {
        m_troubleReason = m_port.LastError();
        if (!m_portTrouble) {
            Say("cannot open " + m_config.Device + ": " + m_troubleReason +
                "; trying again with back-off");
            for (size_t i = 0; i < m_instruments.size(); ++i)
                SetOnline(i, false);
        }
        m_portTrouble = true;
        m_reopen.start(m_reopenDelayMs);
        m_reopenDelayMs = std::min(m_reopenDelayMs * 2, kLastReopenMs);
        TellLine();
        return false;
    }
    if (m_portTrouble)
        ++m_figures.Reopenings;
    m_troubleReason.clear();
    TellLine();
    PollSchedule::Options options;
    options.Addresses = m_config.Addresses;
    options.PeriodMs = m_config.PeriodMs;
    options.GapMs = m_config.GapMs;
    m_skippedBefore += m_schedule ? m_schedule->Skipped() : 0;
    m_schedule = std::make_unique<PollSchedule>(options, NowMs());
    return true;
}

void LinePoller::PortLost() {
    m_troubleReason = m_port.LastError().empty() ? "failed" : m_port.LastError();
    m_port.Close();
    TellLine();
    // Told once per state change: a port that opens and fails again at once stays in trouble.
    if (!m_portTrouble)
        Say(m_config.Device + " failed (" + m_troubleReason +
            "); closed, opening it again with back-off");
    for (size_t i = 0; i < m_instruments.size(); ++i)
        SetOnline(i, false);
    m_portTrouble = true;
    m_reopen.start(m_reopenDelayMs);
    m_reopenDelayMs = std::min(m_reopenDelayMs * 2, kLastReopenMs);
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
        m_cycle.Abort(); // its end is told; nothing new is scheduled
    m_port.Close();
}

void LinePoller::Finish(std::function<void()> done) {
    m_running = false;
    m_timer.stop();
    m_reopen.stop();
    if (m_cycle.InFlight()) {
        m_finished = std::move(done);
        return;
    }
    Stop(); // a drain in progress is no exchange: it ends here
    done();
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
    const ExchangeJob job{m_config.Addresses[index], &m_instruments[index]->Reading, m_config.Name};
    m_cycle.Begin(job, [this, index](const ExchangeRecord& record) {
        Ended(index, record);
        if (!m_running) {
            if (auto finished = std::exchange(m_finished, nullptr)) {
                m_port.Close();
                finished();
            }
            return;
        }
        m_schedule->Done(m_visit, m_instruments[index]->FailuresInRow, NowMs());
        AfterVisit(record);
    });
}

void LinePoller::AfterVisit(const ExchangeRecord& record) {
    if (record.Outcome == ExchangeOutcome::PortFailure || !m_port.IsOpen()) {
        PortLost();
        return;
    }
    // Bytes that did not make a whole frame may have a tail still on its way.
    if (!record.Answer.empty() && m_port.LastReadEnd() != BusRead::End::Complete) {
        m_port.Drain([this] {
            if (!m_running)
                return;
            if (m_port.IsOpen())
                ScheduleNext();
            else
                PortLost();
        });
        return;
    }
    ScheduleNext();
}

void LinePoller::Ended(size_t index, const ExchangeRecord& record) {
    InstrumentState& instrument = *m_instruments[index];
    // An exchange a stop cut short says nothing about the instrument.
    if (!record.Aborted) {
        ++m_figures.Outcomes[size_t(record.Outcome)];
        ++instrument.Outcomes[size_t(record.Outcome)];
        if (record.Outcome == ExchangeOutcome::Ok) {
            instrument.FailuresInRow = 0;
            ++instrument.Seq;
            instrument.LastGoodUtcMs = record.Received.UtcMs;
            // The port works: its back-off starts again at the next failure.
            m_reopenDelayMs = kFirstReopenMs;
            if (std::exchange(m_portTrouble, false))
                Say(m_config.Device + " open again");
            SetOnline(index, true);
        } else if (++instrument.FailuresInRow >= m_config.OfflineAfter) {
            SetOnline(index, false);
        }
    }
    for (Output* output : m_outputs)
        output->Exchanged(record, instrument);
}

void LinePoller::SetOnline(size_t index, bool online) {
    InstrumentState& instrument = *m_instruments[index];
    if (instrument.Online == online)
        return;
    instrument.Online = online;
    if (m_running) // --once reports each visit itself
        ServiceLog(Priority::Info, m_config.Name + "/" + std::to_string(instrument.Address) +
                                       (online ? " online" : " offline"));
    for (Output* output : m_outputs)
        output->AvailabilityChanged(instrument);
}

void LinePoller::RunOnce(std::function<void()> done) {
    m_onceDone = std::move(done);
    m_onceIndex = 0;
    if (!m_port.Open(m_config.Device, m_config.Baud))
        Say("cannot open " + m_config.Device + ": " + m_port.LastError());
    OnceStep();
}

void LinePoller::OnceStep() {
    if (m_onceIndex >= m_instruments.size()) {
        m_port.Close();
        if (auto done = std::exchange(m_onceDone, nullptr))
            done();
        return;
    }
    const size_t index = m_onceIndex++;
    m_cycle.Begin(
        ExchangeJob{m_config.Addresses[index], &m_instruments[index]->Reading, m_config.Name},
        [this, index](const ExchangeRecord& record) {
            Ended(index, record);
            const auto next = [this] {
                QTimer::singleShot(int(m_config.GapMs), Qt::PreciseTimer, this,
                                   [this] { OnceStep(); });
            };
            if (!record.Answer.empty() && m_port.LastReadEnd() != BusRead::End::Complete)
                m_port.Drain(next);
            else
                next();
        });
}
