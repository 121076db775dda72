// The serial port against instrument-sim on a pseudo-terminal: openings, the read's time-out
// rules, and a line that stalls or vanishes.
#include "frames.h"
#include "parser.h"
#include "serial_port.h"
#include "sim_process.h"

#include <QElapsedTimer>
#include <QTest>

namespace {

const QString kCannotOpen = QStringLiteral("Ошибка: Невозможно открыть последовательный порт");

// A port whose every name stands for the simulator's device (or `device` when given).
struct PortOnSim {
    explicit PortOnSim(const QStringList& simArguments, uint16_t timeOut = 1000,
                       const QString& device = {})
        : timeOut(timeOut), sim(simArguments), device(device.isEmpty() ? sim.Device() : device),
          port([this](const std::string&) { return this->device.toStdString(); },
               [this](const QString& text, const QString& caption) {
                   shown << caption + ": " + text;
               }) {}

    // Writes the crc request for address 1.
    void SendRequest() {
        RequestBuffer request{};
        const uint16_t length = BuildRequest(ProtocolVariant::Crc, 1, request);
        AwaitCount([&](auto done) { port.StartWrite(request.data(), length, done); });
    }
    // Sends the request and reads the answer.
    QByteArray Exchange(qint64* elapsedMs = nullptr) {
        port.Purge();
        SendRequest();
        return Read(elapsedMs);
    }
    // Reads an answer; how long the read took goes to elapsedMs.
    QByteArray Read(qint64* elapsedMs = nullptr) {
        ReceiveBuffer answer{};
        QElapsedTimer timer;
        timer.start();
        const uint32_t got =
            AwaitCount([&](auto done) { port.StartRead(answer.data(), kMaxReadLength, done); });
        if (elapsedMs)
            *elapsedMs = timer.elapsed();
        return QByteArray(reinterpret_cast<const char*>(answer.data()), int(got));
    }

    uint16_t timeOut; // dev.dat's TimeOut
    SimProcess sim;
    QString device;
    QStringList shown;
    SerialPort port;
};

// Runs `before` ahead of every event of one type, whoever it is for.
class EventSpy : public QObject {
public:
    EventSpy(QEvent::Type type, std::function<void()> before)
        : m_type(type), m_before(std::move(before)) {
        QCoreApplication::instance()->installEventFilter(this);
    }
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == m_type)
            m_before();
        return false;
    }

private:
    QEvent::Type m_type;
    std::function<void()> m_before;
};

} // namespace

class TestSerialPort : public QObject {
    Q_OBJECT
private slots:
    // How a read ends: at a gap longer than the 24 ms interval (the first half of a split
    // answer), at 200 bytes (the rest is purged before the next request), or silent at the
    // total time-out: TimeOut alone for an index outside 3-10 on a fresh port, 12 ms per byte
    // more for OpenPort's 115200.
    void readEnds_data() {
        QTest::addColumn<QString>("fault"); // the simulator's --fault value and what follows
        QTest::addColumn<int>("speedIndex");
        QTest::addColumn<bool>("openPort");
        QTest::addColumn<int>("bytes"); // -1: some, fewer than 100
        QTest::addColumn<int>("minMs");
        QTest::addColumn<int>("maxMs");
        QTest::addColumn<int>("timeOut");
        QTest::newRow("gap") << "split --fault-ms 300" << 7 << false << -1 << 0 << 290 << 300;
        QTest::newRow("200 bytes") << "long" << 7 << false << 200 << 0 << 1000 << 300;
        QTest::newRow("200 bytes, no gap limit")
            << "long" << 11 << false << 200 << 0 << 2500 << 5000;
        QTest::newRow("silence, ReopenPort") << "silence" << 11 << false << 0 << 295 << 1800 << 300;
        QTest::newRow("silence, OpenPort 115200")
            << "silence" << 10 << true << 0 << 2695 << 4200 << 300;
    }
    void readEnds() {
        QFETCH(QString, fault);
        QFETCH(int, speedIndex);
        QFETCH(bool, openPort);
        QFETCH(int, bytes);
        QFETCH(int, minMs);
        QFETCH(int, maxMs);
        QFETCH(int, timeOut);
        PortOnSim line(QStringList{"--reading", "example", "--fault"} + fault.split(' '),
                       uint16_t(timeOut));
        if (openPort)
            line.port.OpenPort(1, uint16_t(speedIndex), 8, 0, 1, 300);
        else
            line.port.ReopenPort(uint16_t(speedIndex), 1, line.timeOut);
        qint64 elapsed = 0;
        const QByteArray answer = line.Exchange(&elapsed);
        if (bytes < 0)
            QVERIFY2(answer.size() > 0 && answer.size() < 100, answer);
        else
            QCOMPARE(answer.size(), bytes);
        QVERIFY2(elapsed >= minMs && elapsed < maxMs, QByteArray::number(elapsed));
        if (bytes == 200) { // the next answer starts with its own padding, not the last's tail
            QTest::qWait(100);
            QVERIFY(line.Exchange().startsWith("~~~~"));
        }
    }

    // An answer that is already in the port's buffer when the read starts (a fast instrument)
    // ends the read at the interval, not at the total time-out.
    void answerBeforeTheRead() {
        PortOnSim line({"--reading", "example"}, 5000);
        line.port.ReopenPort(7, 1, line.timeOut);
        line.SendRequest();
        QTest::qWait(300); // the answer arrives and the event loop takes it in
        qint64 elapsed = 0;
        const QByteArray answer = line.Read(&elapsed);
        QVERIFY2(answer.size() > 100 && answer.endsWith('\r'), answer);
        QVERIFY2(elapsed < 2500, QByteArray::number(elapsed));
    }

    // The port fails while an answer is half in: the read has read nothing.
    void failedReadIsNoAnswer() {
        PortOnSim line({"--reading", "example", "--fault", "split", "--fault-ms", "3000"}, 5000);
        line.port.ReopenPort(11, 1, line.timeOut); // no gap limit: it waits for the second half
        line.SendRequest();
        ReceiveBuffer answer{};
        std::optional<uint32_t> got;
        line.port.StartRead(answer.data(), kMaxReadLength, [&](uint32_t count) { got = count; });
        QTest::qWait(500);
        QVERIFY(!got);
        line.sim.Kill();
        QTRY_VERIFY_WITH_TIMEOUT(got.has_value(), 2500);
        QCOMPARE(*got, 0u);
        QCOMPARE(answer[0], uint8_t(0)); // the fragment is not left for a parser
    }

    // A fatal error queues the port's drop; an opening made before the drop has run (an
    // operator's pick handled first) is a new, healthy port that the stale drop leaves alone.
    void staleDropSparesTheNextOpening() {
        PortOnSim line({"--reading", "example"});
        SimProcess again({"--reading", "example"});
        line.port.ReopenPort(7, 1, line.timeOut);
        QVERIFY(line.Exchange().endsWith('\r'));
        bool reopened = false;
        EventSpy pickFirst(QEvent::MetaCall, [&] {
            if (line.port.DropQueued() && !reopened) {
                reopened = true;
                line.device = again.Device();
                QCOMPARE(line.port.ReopenPort(7, 1, line.timeOut), uint16_t(0));
            }
        });
        line.sim.Kill();
        QTRY_VERIFY_WITH_TIMEOUT(reopened, 5000);
        QTest::qWait(50);
        QVERIFY(line.port.IsOpen());
        QVERIFY(line.Exchange().endsWith('\r'));
    }

    // A line that takes no more bytes: the write ends after its stall limit with the count the
    // port took, never the count asked for.
    void stalledWriteTellsTheTruth() {
        PortOnSim line({"--reading", "zero"});
        line.port.ReopenPort(7, 1, line.timeOut);
        line.sim.Pause(true);
        const QByteArray flood(4 << 20, 'x');
        const auto* bytes = reinterpret_cast<const uint8_t*>(flood.constData());
        const uint32_t taken = AwaitCount(
            [&](auto done) { line.port.StartWrite(bytes, uint32_t(flood.size()), done); });
        line.sim.Pause(false);
        QVERIFY2(taken < uint32_t(flood.size()), QByteArray::number(taken));
    }

    void openingFails() {
        PortOnSim line({}, 1000, "/nonexistent/tty");
        QCOMPARE(line.port.ReopenPort(7, 1, line.timeOut), uint16_t(1));
        QCOMPARE(line.shown, QStringList{kCannotOpen});
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(line.Exchange().size(), 0); // runs on without a port
        QVERIFY(timer.elapsed() < 100);

        PortOnSim held({});
        SerialPort second([&](const std::string&) { return held.device.toStdString(); },
                          [&](const QString& text, const QString& caption) {
                              held.shown << caption + ": " + text;
                          });
        QCOMPARE(held.port.ReopenPort(7, 1, held.timeOut), uint16_t(0));
        QCOMPARE(second.ReopenPort(7, 1, 1000), uint16_t(1)); // held by the first
        second.OpenPort(1, 7, 8, 0, 1, 1000);
        QCOMPARE(held.shown, (QStringList{kCannotOpen, kCannotOpen}));
    }
};

QTEST_GUILESS_MAIN(TestSerialPort)
#include "test_serial_port.moc"
