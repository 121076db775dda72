// The exchange and the poll schedule on a scripted line with a fake clock: outcomes, one
// reading per instrument, fixed-rate polling over a simulated hour, overruns and a dead
// instrument's back-off. No device and no real time.
#include "exchange_counters.h"
#include "fake_line.h"
#include "poll_schedule.h"
#include "sim_core.h"

#include <QTest>

#include <map>

Q_DECLARE_METATYPE(ExchangeOutcome)

namespace {

std::string GoodAnswer(double channel1 = 25.5) {
    SimReading reading = ExampleReading();
    reading.Channels[0].Value = channel1;
    return ComposeAnswer(ProtocolVariant::Crc, reading);
}

// Runs a schedule on the fake clock for `untilMs`, each exchange taking what `exchangeMs` says
// for its address (negative: it fails after that long). Returns the visits' start times by
// address.
std::map<uint32_t, std::vector<int64_t>>
RunSchedule(PollSchedule& schedule, int64_t untilMs,
            const std::map<uint32_t, int64_t>& exchangeMs) {
    std::map<uint32_t, std::vector<int64_t>> starts;
    PollSchedule::Visit visit;
    while (schedule.Next(visit) && visit.AtMs < untilMs) {
        starts[visit.Address].push_back(visit.AtMs);
        const int64_t ms = exchangeMs.at(visit.Address);
        schedule.Done(visit, ms >= 0, visit.AtMs + (ms >= 0 ? ms : -ms));
    }
    return starts;
}

} // namespace

class TestExchangeCore : public QObject {
    Q_OBJECT
private slots:
    void outcomes_data() {
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<bool>("fails");
        QTest::addColumn<ExchangeOutcome>("outcome");
        QTest::addColumn<uint>("bytes");
        const QByteArray good = QByteArray::fromStdString(GoodAnswer());
        QByteArray badSum = good;
        badSum[badSum.size() - 2] = badSum[badSum.size() - 2] == '0' ? '1' : '0';
        QTest::newRow("parsed") << good << false << ExchangeOutcome::Ok << uint(good.size());
        QTest::newRow("too short") << good.left(40) << false << ExchangeOutcome::TooShort << 40u;
        QTest::newRow("no frame") << good.left(good.size() - 1) << false << ExchangeOutcome::NoFrame
                                  << uint(good.size() - 1);
        QTest::newRow("checksum") << badSum << false << ExchangeOutcome::ChecksumMismatch
                                  << uint(good.size());
        QTest::newRow("silence") << QByteArray() << false << ExchangeOutcome::NoAnswer << 0u;
        QTest::newRow("port fails") << good << true << ExchangeOutcome::PortFailure << 0u;
    }
    void outcomes() {
        QFETCH(QByteArray, answer);
        QFETCH(bool, fails);
        QFETCH(uint, bytes);
        FakeLine line;
        line.NowMs = 5000;
        line.Script.push_back({answer.toStdString(), 37, fails});
        ExchangeCycle exchange(ProtocolVariant::Crc, line, [&line] { return line.Now(); });
        ExchangeCounters counters(ProtocolVariant::Crc);
        exchange.AddListener(&counters);
        DeviceReading reading;
        ExchangeRecord result;
        exchange.Begin({7, &reading, {}}, [&](const ExchangeRecord& r) { result = r; });
        QVERIFY(!exchange.InFlight());
        QCOMPARE(line.Written, std::vector<std::string>{"\xFF\xFF\xFF\xFF:7;423;\r"});
        QCOMPARE(result.Address, 7u);
        QTEST(result.Outcome, "outcome");
        QCOMPARE(uint(result.Answer.size()), bytes);
        QCOMPARE(result.ExchangeMs, 37u);
        QCOMPARE(counters.RequestCount, 1u);
        QCOMPARE(counters.ErrorCount, result.Outcome == ExchangeOutcome::Ok ? 0u : 1u);
    }

    // Instrument 2's answer lands in instrument 2's reading only; a value that does not convert
    // keeps instrument 2's previous value, never instrument 1's.
    void readingsStayApart() {
        FakeLine line;
        ExchangeCycle exchange(ProtocolVariant::Sum, line, [&line] { return line.Now(); });
        DeviceReading first, second;
        std::string unreadable = ComposeAnswer(ProtocolVariant::Sum, ExampleReading());
        unreadable.replace(unreadable.find(";0025.50;"), 9, ";00abcde;");
        line.Script = {{ComposeAnswer(ProtocolVariant::Sum,
                                      [] {
                                          SimReading r = ExampleReading();
                                          r.Channels[0].Value = 11.0;
                                          return r;
                                      }())},
                       {GoodAnswer() /* a crc answer: the sum program rejects it */},
                       {ComposeAnswer(ProtocolVariant::Sum,
                                      [] {
                                          SimReading r = ExampleReading();
                                          r.Channels[0].Value = 22.0;
                                          return r;
                                      }())},
                       {unreadable}};
        for (auto [address, reading] :
             {std::pair{1u, &first}, {2u, &second}, {2u, &second}, {2u, &second}})
            exchange.Begin({address, reading, {}});
        QCOMPARE(first.Channels[0].Value, 11.0f);
        QCOMPARE(second.Channels[0].Value, 22.0f);
        QCOMPARE(line.Written.back(), std::string("\xFF\xFF\xFF\xFF>2;6D\r"));
    }

    // Fixed rate for a simulated hour, three instruments every second: each visit starts on its
    // instrument's grid to the millisecond, the instruments a third of a period apart.
    void fixedRateHasNoDrift() {
        PollSchedule schedule({PollSchedule::Mode::FixedRate, {1, 2, 3}, 1000, 0, 3, 16}, 10'000);
        const auto starts = RunSchedule(schedule, 10'000 + 3'600'000, {{1, 57}, {2, 310}, {3, 1}});
        const std::map<uint32_t, int64_t> offsets{{1, 10'000}, {2, 10'333}, {3, 10'666}};
        for (const auto& [address, times] : starts) {
            QCOMPARE(times.size(), size_t(3600));
            for (size_t k = 0; k < times.size(); ++k)
                QCOMPARE(times[k], offsets.at(address) + int64_t(k) * 1000);
        }
        QCOMPARE(schedule.Skipped(), 0u);
    }

    // An exchange that runs 3.5 periods long: the visits it ran past are skipped and counted,
    // and the next ones are back on the grid rather than in a burst.
    void overrunSkips() {
        PollSchedule schedule({PollSchedule::Mode::FixedRate, {5}, 1000, 0, 3, 16}, 0);
        std::vector<int64_t> starts;
        PollSchedule::Visit visit;
        for (int64_t ms : {50, 3500, 50, 50}) {
            QVERIFY(schedule.Next(visit));
            starts.push_back(visit.AtMs);
            schedule.Done(visit, true, visit.AtMs + ms);
        }
        QCOMPARE(starts, (std::vector<int64_t>{0, 1000, 5000, 6000}));
        QCOMPARE(schedule.Skipped(), 3u);
    }

    // A dead instrument (each visit a 300 ms time-out) is visited every 2nd, 4th, ... 16th
    // period after three failures; the live ones keep every period on their grid.
    void deadInstrumentBacksOff() {
        PollSchedule schedule({PollSchedule::Mode::FixedRate, {1, 2, 3}, 1000, 0, 3, 16}, 0);
        const auto starts = RunSchedule(schedule, 60'000, {{1, 50}, {2, -300}, {3, 50}});
        QCOMPARE(starts.at(2),
                 (std::vector<int64_t>{333, 1333, 2333, 4333, 8333, 16333, 32333, 48333}));
        QCOMPARE(starts.at(1).size(), size_t(60));
        QCOMPARE(starts.at(3).size(), size_t(60));
        QCOMPARE(starts.at(3).back(), 59'666);
    }

    // After the end: each visit starts the pause after the previous exchange ended (the
    // readers' 500 ms), the instruments in turn; a gap on the line adds nothing to it.
    void afterTheEnd() {
        PollSchedule schedule({PollSchedule::Mode::AfterEnd, {1, 2}, 500, 20, 3, 16}, 0);
        const auto starts = RunSchedule(schedule, 3000, {{1, 100}, {2, 300}});
        QCOMPARE(starts.at(1), (std::vector<int64_t>{0, 1400, 2800}));
        QCOMPARE(starts.at(2), (std::vector<int64_t>{600, 2000}));
    }
};

QTEST_GUILESS_MAIN(TestExchangeCore)
#include "test_exchange_core.moc"
