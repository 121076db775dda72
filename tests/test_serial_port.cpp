#include "frames.h"
#include "parser.h"
#include "serial_port.h"
#include "sim_process.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>

namespace {

struct Messages {
    QStringList shown;
    SerialPort::MessageBox Sink() {
        return
            [this](const QString& text, const QString& caption) { shown << caption + ": " + text; };
    }
};

const QString kCannotOpen = QStringLiteral("Ошибка: Невозможно открыть последовательный порт");

} // namespace

class TestSerialPort : public QObject {
    Q_OBJECT

    QTemporaryDir m_folder;
    QString m_oldCurrent;
    AppSettings m_settings;

    // Sends the crc request for address 1 and reads the answer.
    QByteArray Exchange(SerialPort& port, qint64* elapsedMs = nullptr) {
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

private slots:
    void initTestCase() {
        m_oldCurrent = QDir::currentPath();
        QVERIFY(QDir::setCurrent(m_folder.path()));
        m_settings.TimeOut = 1000;
    }
    void cleanupTestCase() { QDir::setCurrent(m_oldCurrent); }

    void fullExchange() {
        SimProcess sim({"--reading", "example"});
        QVERIFY(WritePortsFile(m_folder.path(), {sim.Device()}));
        Messages messages;
        SerialPort port(m_settings, messages.Sink());
        QCOMPARE(port.ReopenPort(7, 1), uint16_t(0));
        QVERIFY(port.IsOpen());
        QCOMPARE(port.DevicePath(), sim.Device());
        const QByteArray answer = Exchange(port);
        QVERIFY2(answer.startsWith("!810100030050200000301;") && answer.endsWith('\r'), answer);
        QCOMPARE(sim.Requests(), QStringList{"FFFFFFFF3A313B3432333B0D"});
        QVERIFY(messages.shown.isEmpty());

        ReceiveBuffer buffer{};
        std::memcpy(buffer.data(), answer.constData(), size_t(answer.size()));
        DeviceReading reading;
        QCOMPARE(ParseResponse(ProtocolVariant::Crc, buffer, uint32_t(answer.size()), reading), 0);

        // The same port again: closed and reopened, still working.
        QCOMPARE(port.ReopenPort(7, 1), uint16_t(0));
        QVERIFY(Exchange(port).endsWith('\r'));
    }

    // A gap longer than the 24 ms interval ends the read with the first half.
    void gapEndsRead() {
        SimProcess sim({"--reading", "example", "--fault", "split", "--fault-ms", "300"});
        QVERIFY(WritePortsFile(m_folder.path(), {sim.Device()}));
        SerialPort port(m_settings, {});
        port.ReopenPort(7, 1);
        qint64 elapsed = 0;
        const QByteArray answer = Exchange(port, &elapsed);
        QVERIFY2(answer.size() > 0 && answer.size() < 100, answer);
        QVERIFY2(elapsed < 290, QByteArray::number(elapsed));
    }

    void longAnswerYields200() {
        SimProcess sim({"--reading", "example", "--fault", "long"});
        QVERIFY(WritePortsFile(m_folder.path(), {sim.Device()}));
        SerialPort port(m_settings, {});
        port.ReopenPort(7, 1);
        QCOMPARE(Exchange(port).size(), 200);
        // The 50 bytes the read left behind are purged before the next request: the next
        // answer starts with its own padding, not with the tail of the last one.
        QTest::qWait(100);
        const QByteArray next = Exchange(port);
        QCOMPARE(next.size(), 200);
        QVERIFY2(next.startsWith("~~~~"), next);
    }

    // Silence: the read ends at the total time-out. An index outside 3-10 on a fresh port
    // leaves no per-byte part, so the total is TimeOut alone; index 10 of OpenPort adds 12 ms
    // for each of the 200 bytes.
    void silenceEndsAtTotalTimeout_data() {
        QTest::addColumn<bool>("useOpenPort");
        QTest::addColumn<int>("speedIndex");
        QTest::addColumn<int>("totalMs");
        QTest::newRow("ReopenPort, no per-byte part") << false << 11 << 300;
        QTest::newRow("OpenPort 115200") << true << 10 << 2400 + 300;
    }
    void silenceEndsAtTotalTimeout() {
        QFETCH(bool, useOpenPort);
        QFETCH(int, speedIndex);
        QFETCH(int, totalMs);
        SimProcess sim({"--fault", "silence"});
        QVERIFY(WritePortsFile(m_folder.path(), {sim.Device()}));
        AppSettings settings;
        settings.TimeOut = 300;
        SerialPort port(settings, {});
        if (useOpenPort)
            port.OpenPort(1, uint16_t(speedIndex), 8, 0, 1, 300);
        else
            port.ReopenPort(uint16_t(speedIndex), 1);
        qint64 elapsed = 0;
        QCOMPARE(Exchange(port, &elapsed).size(), 0);
        QVERIFY2(elapsed >= totalMs - 5 && elapsed < totalMs + 1500, QByteArray::number(elapsed));
    }

    void secondOpeningIsRefused() {
        SimProcess sim;
        QVERIFY(WritePortsFile(m_folder.path(), {sim.Device()}));
        Messages messages;
        SerialPort first(m_settings, messages.Sink());
        SerialPort second(m_settings, messages.Sink());
        QCOMPARE(first.ReopenPort(7, 1), uint16_t(0));
        QCOMPARE(second.ReopenPort(7, 1), uint16_t(1));
        QCOMPARE(messages.shown, QStringList{kCannotOpen});
        QVERIFY(!second.IsOpen());
        QCOMPARE(Exchange(second).size(), 0); // runs on without a port
        second.OpenPort(1, 7, 8, 0, 1, 1000);
        QCOMPARE(messages.shown.size(), 2);
    }

    void missingDeviceAndUnnamedPort() {
        QVERIFY(WritePortsFile(m_folder.path(), {m_folder.filePath("no-such-tty")}));
        Messages messages;
        SerialPort port(m_settings, messages.Sink());
        QCOMPARE(port.ReopenPort(7, 1), uint16_t(1));
        QCOMPARE(messages.shown, QStringList{kCannotOpen});
        QCOMPARE(port.ReopenPort(7, 9), uint16_t(0)); // port 9 has no name: no message
        QCOMPARE(messages.shown.size(), 1);
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(Exchange(port).size(), 0);
        QVERIFY(timer.elapsed() < 100);
    }

    // The instrument goes away mid-run: reads give 0 bytes at once, and a new opening works.
    void peerVanishes() {
        auto sim = std::make_unique<SimProcess>(QStringList{"--reading", "example"});
        QVERIFY(WritePortsFile(m_folder.path(), {sim->Device()}));
        SerialPort port(m_settings, {});
        port.ReopenPort(7, 1);
        QVERIFY(Exchange(port).endsWith('\r'));
        sim.reset();
        QElapsedTimer timer;
        timer.start();
        for (int i = 0; i < 5; ++i)
            QCOMPARE(Exchange(port).size(), 0);
        QVERIFY2(timer.elapsed() < 3000, QByteArray::number(timer.elapsed()));

        SimProcess again({"--reading", "example"});
        QVERIFY(WritePortsFile(m_folder.path(), {again.Device()}));
        QCOMPARE(port.ReopenPort(7, 1), uint16_t(0));
        QVERIFY(Exchange(port).endsWith('\r'));
    }
};

QTEST_GUILESS_MAIN(TestSerialPort)
#include "test_serial_port.moc"
