// The exchange and the poll schedule on a scripted line with a fake clock: outcomes, one
// reading per instrument, fixed-rate polling over a simulated hour, overruns and a dead
// instrument's back-off. No device and no real time.
#include "bus_read.h"
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
    std::map<uint32_t, uint32_t> failures;
    PollSchedule::Visit visit;
    while (schedule.Next(visit) && visit.AtMs < untilMs) {
        starts[visit.Address].push_back(visit.AtMs);
        const int64_t ms = exchangeMs.at(visit.Address);
        uint32_t& inRow = failures[visit.Address];
        inRow = ms >= 0 ? 0 : inRow + 1;
        schedule.Done(visit, inRow, visit.AtMs + (ms >= 0 ? ms : -ms));
    }
    return starts;
}

// Bytes coming at a time (µs from the read's start).
struct Arrival {
    int64_t AtUs;
    uint32_t Bytes;
};

// A read under the bus rule at 19200 baud (timeout 300 ms, byte gap 24 ms) as the port runs
// it: woken by the first byte, then at the times the rule asks. Returns how it ended, when,
// with how many bytes, after how many looks.
struct ReadEnd {
    BusRead::End How;
    int64_t AtUs;
    uint32_t Count;
    int Looks;
};
ReadEnd RunRead(const QList<Arrival>& arrivals, uint32_t completeAt, uint32_t expected) {
    const BusTiming timing = BusTimingFor(19200, 300, 24);
    BusRead read(timing, kMaxReadLength);
    read.Begin(0, expected);
    int64_t now = 0;
    for (int looks = 1;; ++looks) {
        now = read.NextLookUs();
        if (read.AwaitingFirstByte() && !arrivals.isEmpty() && arrivals[0].AtUs < now)
            now = arrivals[0].AtUs;
        uint32_t count = 0;
        for (const Arrival& a : arrivals)
            count += a.AtUs <= now ? a.Bytes : 0;
        count = std::min(count, kMaxReadLength);
        const BusRead::End how = read.Look(now, count, completeAt > 0 && count >= completeAt);
        if (how != BusRead::End::Open || looks > 1000)
            return {how, now, count, looks};
    }
}

QList<Arrival> Paced(int64_t fromUs, int bytes, int64_t everyUs = 521) {
    QList<Arrival> out;
    for (int i = 0; i < bytes; ++i)
        out << Arrival{fromUs + i * everyUs, 1};
    return out;
}

} // namespace

Q_DECLARE_METATYPE(Arrival)

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

    // An outcome depends on its own answer only: a whole answer, then the same without its
    // final CR, is no frame the second time (the first one's CR is not read again).
    void noEarlierBytes() {
        FakeLine line;
        ExchangeCycle exchange(ProtocolVariant::Crc, line, [&line] { return line.Now(); });
        const std::string good = GoodAnswer();
        line.Script = {{good}, {good.substr(0, good.size() - 1)}};
        DeviceReading reading;
        QList<ExchangeOutcome> outcomes;
        for (int i = 0; i < 2; ++i)
            exchange.Begin({1, &reading, {}},
                           [&](const ExchangeRecord& r) { outcomes << r.Outcome; });
        QCOMPARE(outcomes, (QList<ExchangeOutcome>{ExchangeOutcome::Ok, ExchangeOutcome::NoFrame}));
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

    // How a read on a bus ends: the first byte awaited for the time-out only, a whole frame
    // seen within a few bytes' wire time, a gap (within another gap once a frame could be
    // whole), the longest answer's time, a full buffer; a paced answer costs a handful of looks,
    // not one per byte, and two when it is about as long as the previous answer to the same
    // request.
    void busRead_data() {
        QTest::addColumn<QList<Arrival>>("arrivals");
        QTest::addColumn<uint>("completeAt"); // bytes that make a whole frame; 0: none do
        QTest::addColumn<uint>("expected");   // the previous answer's length; 0: none
        QTest::addColumn<int>("how");
        QTest::addColumn<qint64>("earliestUs");
        QTest::addColumn<qint64>("latestUs");
        QTest::addColumn<int>("maxLooks");
        const int64_t last = 5000 + 115 * 521; // of a 116-byte answer paced from 5 ms
        QTest::newRow("silence") << QList<Arrival>{} << 0u << 0u << int(BusRead::End::Silent)
                                 << qint64(300000) << qint64(300000) << 2;
        QTest::newRow("a whole frame, paced")
            << Paced(5000, 116) << 116u << 0u << int(BusRead::End::Complete) << qint64(last)
            << qint64(last + 8 * 521) << 16;
        QTest::newRow("paced, as long as the previous answer")
            << Paced(5000, 116) << 116u << 116u << int(BusRead::End::Complete) << qint64(last)
            << qint64(last + 3 * 521) << 2;
        QTest::newRow("paced, 5 bytes shorter than the previous answer")
            << Paced(5000, 116) << 116u << 121u << int(BusRead::End::Complete) << qint64(last)
            << qint64(last + 8 * 521) << 2;
        QTest::newRow("paced, 20 bytes longer than the previous answer")
            << Paced(5000, 116) << 116u << 96u << int(BusRead::End::Complete) << qint64(last)
            << qint64(last + 8 * 521) << 5;
        QTest::newRow("a whole frame at once")
            << QList<Arrival>{{7000, 116}} << 116u << 0u << int(BusRead::End::Complete)
            << qint64(7000) << qint64(7000) << 2;
        // Shorter than the shortest frame: judged at the look when one could be whole, then a
        // gap after it at the latest.
        QTest::newRow("a few bytes, then nothing")
            << Paced(5000, 30) << 0u << 0u << int(BusRead::End::Gap)
            << qint64(5000 + 29 * 521 + 24000) << qint64(5000 + 72 * 521 + 24000) << 6;
        QTest::newRow("most of a frame, then nothing")
            << Paced(5000, 100) << 0u << 0u << int(BusRead::End::Gap)
            << qint64(5000 + 99 * 521 + 24000) << qint64(5000 + 99 * 521 + 2 * 24000) << 16;
        QTest::newRow("a part, the rest after a pause")
            << Paced(5000, 60) + Paced(100000, 56) << 116u << 0u << int(BusRead::End::Gap)
            << qint64(5000 + 59 * 521 + 24000) << qint64(5000 + 59 * 521 + 2 * 24000) << 20;
        QTest::newRow("a byte every 20 ms, for ever")
            << Paced(1000, 100, 20000) << 0u << 0u << int(BusRead::End::Longest) << qint64(404166)
            << qint64(404166) << 100;
        QTest::newRow("the buffer full")
            << QList<Arrival>{{2000, 250}} << 0u << 0u << int(BusRead::End::Full) << qint64(2000)
            << qint64(2000) << 2;
    }
    void busRead() {
        QFETCH(QList<Arrival>, arrivals);
        QFETCH(uint, completeAt);
        QFETCH(uint, expected);
        const ReadEnd end = RunRead(arrivals, completeAt, expected);
        QTEST(int(end.How), "how");
        QFETCH(qint64, earliestUs);
        QFETCH(qint64, latestUs);
        QVERIFY2(end.AtUs >= earliestUs && end.AtUs <= latestUs,
                 qPrintable(QString::number(end.AtUs)));
        QFETCH(int, maxLooks);
        QVERIFY2(end.Looks <= maxLooks, qPrintable(QString::number(end.Looks)));
    }

    // A drain ends once the line has been quiet for the time-out, and at the latest after three:
    // the tail of a split answer 200 ms late is taken out with it.
    void busDrain_data() {
        QTest::addColumn<QList<int>>("bytesAtMs");
        QTest::addColumn<int>("endMs");
        QTest::newRow("quiet") << QList<int>{} << 300;
        QTest::newRow("a tail 200 ms late") << QList<int>{200, 201, 205} << 505;
        QTest::newRow("noise for ever") << QList<int>{100, 300, 500, 700, 850, 1000} << 900;
    }
    void busDrain() {
        QFETCH(QList<int>, bytesAtMs);
        BusDrain drain(BusTimingFor(19200, 300, 24));
        drain.Begin(0);
        int64_t now = 0;
        bool over = false;
        while (!over) {
            const int64_t next = drain.NextLookUs();
            auto byte = std::find_if(bytesAtMs.begin(), bytesAtMs.end(),
                                     [&](int ms) { return ms * 1000 > now && ms * 1000 < next; });
            now = byte != bytesAtMs.end() ? *byte * 1000 : next;
            over = drain.Look(now, byte != bytesAtMs.end());
        }
        QTEST(int(now / 1000), "endMs");
    }

    // Fixed rate for a simulated hour, three instruments every second: each visit starts on its
    // instrument's grid to the millisecond, the instruments a third of a period apart.
    void fixedRateHasNoDrift() {
        PollSchedule schedule({{1, 2, 3}, 1000, 0, 3, 16}, 10'000);
        const auto starts = RunSchedule(schedule, 10'000 + 3'600'000, {{1, 57}, {2, 310}, {3, 1}});
        const std::map<uint32_t, int64_t> offsets{{1, 10'000}, {2, 10'333}, {3, 10'666}};
        for (const auto& [address, times] : starts) {
            QCOMPARE(times.size(), size_t(3600));
            for (size_t k = 0; k < times.size(); ++k)
                QCOMPARE(times[k], offsets.at(address) + int64_t(k) * 1000);
        }
        QCOMPARE(schedule.Skipped(), 0u);
    }

    // Period 0: back to back, each visit the moment the line is free (plus the gap).
    void backToBack() {
        PollSchedule schedule({{1, 2}, 0, 5, 3, 16}, 100);
        const auto starts = RunSchedule(schedule, 400, {{1, 30}, {2, 40}});
        QCOMPARE(starts.at(1), (std::vector<int64_t>{100, 180, 260, 340}));
        QCOMPARE(starts.at(2), (std::vector<int64_t>{135, 215, 295, 375}));
    }

    // An exchange that runs 3.5 periods long: the visits it ran past are skipped and counted,
    // and the next ones are back on the grid rather than in a burst.
    void overrunSkips() {
        PollSchedule schedule({{5}, 1000, 0, 3, 16}, 0);
        std::vector<int64_t> starts;
        PollSchedule::Visit visit;
        for (int64_t ms : {50, 3500, 50, 50}) {
            QVERIFY(schedule.Next(visit));
            starts.push_back(visit.AtMs);
            schedule.Done(visit, 0, visit.AtMs + ms);
        }
        QCOMPARE(starts, (std::vector<int64_t>{0, 1000, 5000, 6000}));
        QCOMPARE(schedule.Skipped(), 3u);
    }

    // A dead instrument (each visit a 300 ms time-out) is visited every 2nd, 4th, ... 16th
    // period after three failures; the live ones keep every period on their grid.
    void deadInstrumentBacksOff() {
        PollSchedule schedule({{1, 2, 3}, 1000, 0, 3, 16}, 0);
        const auto starts = RunSchedule(schedule, 60'000, {{1, 50}, {2, -300}, {3, 50}});
        QCOMPARE(starts.at(2),
                 (std::vector<int64_t>{333, 1333, 2333, 4333, 8333, 16333, 32333, 48333}));
        QCOMPARE(starts.at(1).size(), size_t(60));
        QCOMPARE(starts.at(3).size(), size_t(60));
        QCOMPARE(starts.at(3).back(), 59'666);
    }
};

QTEST_GUILESS_MAIN(TestExchangeCore)
#include "test_exchange_core.moc"
