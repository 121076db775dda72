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
struct Line {
    explicit Line(const QStringList& simArguments, uint16_t timeOut = 1000,
                  const QString& device = {})
        : sim(simArguments), device(device.isEmpty() ? sim.Device() : device),
          port(
              settings, [this](const std::string&) { return this->device.toStdString(); },
              [this](const QString& text, const QString& caption) {
                  shown << caption + ": " + text;
              }) {
        settings.TimeOut = timeOut;
    }

    // Sends the crc request for address 1 and reads the answer.
    QByteArray Exchange(qint64* elapsedMs = nullptr) {
        RequestBuffer request{};
        const uint16_t length = BuildRequest(ProtocolVariant::Crc, 1, request);
        port.Purge();
        AwaitCount([&](auto done) { port.StartWrite(request.data(), length, done); });
        ReceiveBuffer answer{};
        QElapsedTimer timer;
        timer.start();
        const uint32_t got =
            AwaitCount([&](auto done) { port.StartRead(answer.data(), kMaxReadLength, done); });
        if (elapsedMs)
            *elapsedMs = timer.elapsed();
        return QByteArray(reinterpret_cast<const char*>(answer.data()), int(got));
    }

    SimProcess sim;
    QString device;
    AppSettings settings;
    QStringList shown;
    SerialPort port;
};

} // namespace

class TestSerialPort : public QObject {
    Q_OBJECT
private slots:
    void fullExchange() {
        Line line({"--reading", "example"});
        QCOMPARE(line.port.ReopenPort(7, 1), uint16_t(0));
        QCOMPARE(line.port.DevicePath(), line.sim.Device());
        const QByteArray answer = line.Exchange();
        QVERIFY2(answer.startsWith("!810100030050200000301;") && answer.endsWith('\r'), answer);
        QCOMPARE(line.sim.Requests(), QStringList{"FFFFFFFF3A313B3432333B0D"});
        QVERIFY(line.shown.isEmpty());
        // The same port again: closed and reopened, still working.
        QCOMPARE(line.port.ReopenPort(7, 1), uint16_t(0));
        QVERIFY(line.Exchange().endsWith('\r'));
    }

    // How a read ends: at a gap longer than the 24 ms interval (the first half of a split
    // answer), at 200 bytes (the rest is purged before the next request), or silent at the
    // total time-out: TimeOut alone for an index outside 3-10 on a fresh port, 12 ms per byte
    // more for OpenPort's 115200.
    void readEnds_data() {
        QTest::addColumn<QStringList>("sim");
        QTest::addColumn<int>("speedIndex");
        QTest::addColumn<bool>("openPort");
        QTest::addColumn<int>("bytes"); // -1: some, fewer than 100
        QTest::addColumn<int>("minMs");
        QTest::addColumn<int>("maxMs");
        QTest::newRow("gap") << QStringList{"--fault", "split", "--fault-ms", "300"} << 7 << false
                             << -1 << 0 << 290;
        QTest::newRow("200 bytes")
            << QStringList{"--fault", "long"} << 7 << false << 200 << 0 << 1000;
        QTest::newRow("silence, ReopenPort")
            << QStringList{"--fault", "silence"} << 11 << false << 0 << 295 << 1800;
        QTest::newRow("silence, OpenPort 115200")
            << QStringList{"--fault", "silence"} << 10 << true << 0 << 2695 << 4200;
    }
    void readEnds() {
        QFETCH(QStringList, sim);
        QFETCH(int, speedIndex);
        QFETCH(bool, openPort);
        QFETCH(int, bytes);
        QFETCH(int, minMs);
        QFETCH(int, maxMs);
        Line line(QStringList{"--reading", "example"} + sim, 300);
        if (openPort)
            line.port.OpenPort(1, uint16_t(speedIndex), 8, 0, 1, 300);
        else
            line.port.ReopenPort(uint16_t(speedIndex), 1);
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

    // A line that takes no more bytes: the write ends after its stall limit with the count the
    // port took, never the count asked for.
    void stalledWriteTellsTheTruth() {
        Line line({"--reading", "zero"});
        line.port.ReopenPort(7, 1);
        line.sim.Pause(true);
        const QByteArray flood(4 << 20, 'x');
        const auto* bytes = reinterpret_cast<const uint8_t*>(flood.constData());
        const uint32_t taken = AwaitCount(
            [&](auto done) { line.port.StartWrite(bytes, uint32_t(flood.size()), done); });
        line.sim.Pause(false);
        QVERIFY2(taken < uint32_t(flood.size()), QByteArray::number(taken));
    }

    void openingFails() {
        Line line({}, 1000, "/nonexistent/tty");
        QCOMPARE(line.port.ReopenPort(7, 1), uint16_t(1));
        QCOMPARE(line.shown, QStringList{kCannotOpen});
        QCOMPARE(line.port.ReopenPort(7, 9), uint16_t(0)); // port 9 has no name: no message
        QCOMPARE(line.shown.size(), 1);
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(line.Exchange().size(), 0); // runs on without a port
        QVERIFY(timer.elapsed() < 100);

        Line held({});
        SerialPort second(
            held.settings, [&](const std::string&) { return held.device.toStdString(); },
            [&](const QString& text, const QString& caption) {
                held.shown << caption + ": " + text;
            });
        QCOMPARE(held.port.ReopenPort(7, 1), uint16_t(0));
        QCOMPARE(second.ReopenPort(7, 1), uint16_t(1)); // held by the first
        second.OpenPort(1, 7, 8, 0, 1, 1000);
        QCOMPARE(held.shown, (QStringList{kCannotOpen, kCannotOpen}));
    }

    // The instrument goes away mid-run: reads give 0 bytes at once, and a new opening works.
    void peerVanishes() {
        Line line({"--reading", "example"});
        line.port.ReopenPort(7, 1);
        QVERIFY(line.Exchange().endsWith('\r'));
        line.sim.Kill();
        QElapsedTimer timer;
        timer.start();
        for (int i = 0; i < 5; ++i)
            QCOMPARE(line.Exchange().size(), 0);
        QVERIFY2(timer.elapsed() < 3000, QByteArray::number(timer.elapsed()));

        SimProcess again({"--reading", "example"});
        line.device = again.Device();
        QCOMPARE(line.port.ReopenPort(7, 1), uint16_t(0));
        QVERIFY(line.Exchange().endsWith('\r'));
    }
};

QTEST_GUILESS_MAIN(TestSerialPort)
#include "test_serial_port.moc"
