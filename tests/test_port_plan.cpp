#include "port_plan.h"

#include <QTest>

Q_DECLARE_METATYPE(CommTimeouts)

namespace {
const CommTimeouts kPrevious{111, 222, 333, 444, 555};
}

class TestPortPlan : public QObject {
    Q_OBJECT
private slots:
    void reopenPort_data() {
        QTest::addColumn<int>("speedIndex");
        QTest::addColumn<int>("port");
        QTest::addColumn<QString>("name"); // empty: nothing opened
        QTest::addColumn<int>("baud");
        QTest::addColumn<int>("perByte"); // interval and multiplier
        QTest::newRow("port 0 is COM1") << 7 << 0 << "COM1" << 19200 << 24;
        QTest::newRow("port 8") << 7 << 8 << "COM8" << 19200 << 24;
        QTest::newRow("port 9 opens nothing") << 7 << 9 << "" << 19200 << 24;
        QTest::newRow("1200") << 3 << 1 << "COM1" << 1200 << 192;
        QTest::newRow("4800") << 5 << 1 << "COM1" << 4800 << 48;
        QTest::newRow("38400") << 8 << 2 << "COM2" << 38400 << 24;
        QTest::newRow("115200 keeps 24") << 10 << 1 << "COM1" << 115200 << 24;
        // Outside 3-10 the record keeps the previous interval and multiplier.
        QTest::newRow("index 2 keeps") << 2 << 1 << "COM1" << 19200 << -1;
        QTest::newRow("index 11 keeps") << 11 << 1 << "COM1" << 19200 << -1;
    }
    void reopenPort() {
        QFETCH(int, speedIndex);
        QFETCH(int, port);
        QFETCH(QString, name);
        QFETCH(int, baud);
        QFETCH(int, perByte);
        const PortOpening o = PlanReopenPort(uint16_t(speedIndex), uint16_t(port), 1000, kPrevious);
        QCOMPARE(QString::fromStdString(o.PortName.value_or("")), name);
        QCOMPARE(int(o.Line.BaudRate), baud);
        QCOMPARE(o.Line, (LineSettings{uint32_t(baud), 8, LineParity::None, 1}));
        const uint32_t interval = perByte < 0 ? kPrevious.ReadIntervalTimeout : uint32_t(perByte);
        const uint32_t multiplier =
            perByte < 0 ? kPrevious.ReadTotalTimeoutMultiplier : uint32_t(perByte);
        QCOMPARE(o.Timeouts, (CommTimeouts{interval, multiplier, 1000, 0, 0}));
        QVERIFY(o.RaiseDtrRts);
    }

    void openPort_data() {
        QTest::addColumn<int>("port");
        QTest::addColumn<int>("speedIndex");
        QTest::addColumn<int>("dataBits");
        QTest::addColumn<int>("parity");
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("baud");
        QTest::addColumn<int>("perByte");
        QTest::addColumn<int>("bits");
        QTest::addColumn<int>("lineParity");
        QTest::newRow("usual") << 3 << 8 << 8 << 0 << "COM3" << 38400 << 24 << 8
                               << int(LineParity::None);
        QTest::newRow("port 0 is COM1")
            << 0 << 7 << 8 << 0 << "COM1" << 19200 << 24 << 8 << int(LineParity::None);
        QTest::newRow("port 16") << 16 << 7 << 8 << 0 << "COM16" << 19200 << 24 << 8
                                 << int(LineParity::None);
        QTest::newRow("port 17 is COM1")
            << 17 << 7 << 8 << 0 << "COM1" << 19200 << 24 << 8 << int(LineParity::None);
        QTest::newRow("110") << 1 << 0 << 8 << 0 << "COM1" << 110 << 1536 << 8
                             << int(LineParity::None);
        QTest::newRow("115200 is 12")
            << 1 << 10 << 8 << 0 << "COM1" << 115200 << 12 << 8 << int(LineParity::None);
        QTest::newRow("index 11 is 19200")
            << 1 << 11 << 8 << 0 << "COM1" << 19200 << 24 << 8 << int(LineParity::None);
        QTest::newRow("odd, 7 bits")
            << 1 << 7 << 7 << 1 << "COM1" << 19200 << 24 << 7 << int(LineParity::Odd);
        QTest::newRow("even, 5 bits")
            << 1 << 7 << 5 << 2 << "COM1" << 19200 << 24 << 5 << int(LineParity::Even);
        QTest::newRow("parity 3, 9 bits")
            << 1 << 7 << 9 << 3 << "COM1" << 19200 << 24 << 8 << int(LineParity::None);
    }
    void openPort() {
        QFETCH(int, port);
        QFETCH(int, speedIndex);
        QFETCH(int, dataBits);
        QFETCH(int, parity);
        QFETCH(QString, name);
        QFETCH(int, baud);
        QFETCH(int, perByte);
        QFETCH(int, bits);
        QFETCH(int, lineParity);
        const PortOpening o = PlanOpenPort(uint16_t(port), uint16_t(speedIndex), uint16_t(dataBits),
                                           uint16_t(parity), 2, 750, kPrevious);
        QCOMPARE(QString::fromStdString(o.PortName.value_or("")), name);
        QCOMPARE(o.Line, (LineSettings{uint32_t(baud), uint8_t(bits), LineParity(lineParity), 1}));
        QCOMPARE(o.Timeouts, (CommTimeouts{uint32_t(perByte), uint32_t(perByte), 750, 0, 0}));
        QVERIFY(!o.RaiseDtrRts);
    }

    void readLimits_data() {
        QTest::addColumn<CommTimeouts>("timeouts");
        QTest::addColumn<uint>("total");
        QTest::addColumn<uint>("interval");
        QTest::newRow("19200, 1000 ms") << CommTimeouts{24, 24, 1000, 0, 0} << 5800u << 24u;
        QTest::newRow("1200") << CommTimeouts{192, 192, 1000, 0, 0} << 39400u << 192u;
        QTest::newRow("no per-byte part") << CommTimeouts{0, 0, 300, 0, 0} << 300u << 0u;
        QTest::newRow("all zero is held") << CommTimeouts{} << kFallbackTotalMs << 0u;
    }
    void readLimits() {
        QFETCH(CommTimeouts, timeouts);
        const ReadLimits limits = ReadLimitsFor(timeouts, 200);
        QTEST(uint(limits.TotalMs), "total");
        QTEST(uint(limits.IntervalMs), "interval");
    }

    // A write is cut only after its wire time plus a second: a port that reports a write done
    // once it has left the wire must not lose a slow request.
    void writeStallLimit_data() {
        QTest::addColumn<int>("baud");
        QTest::addColumn<int>("parity");
        QTest::addColumn<int>("bytes");
        QTest::addColumn<uint>("limitMs");
        QTest::newRow("14 bytes at 110, 1.27 s on the wire") << 110 << 0 << 14 << 2273u;
        QTest::newRow("with parity, 11 bits a byte") << 110 << 2 << 14 << 2400u;
        QTest::newRow("19200") << 19200 << 0 << 14 << 1008u;
        QTest::newRow("nothing to write") << 19200 << 0 << 0 << 1000u;
        QTest::newRow("more than the queue holds") << 19200 << 0 << 5000 << 1534u;
    }
    void writeStallLimit() {
        QFETCH(int, baud);
        QFETCH(int, parity);
        QFETCH(int, bytes);
        QFETCH(uint, limitMs);
        LineSettings line;
        line.BaudRate = uint32_t(baud);
        line.Parity = LineParity(parity);
        QCOMPARE(WriteStallLimitMs(line, uint32_t(bytes)), limitMs);
    }

    void deviceNames_data() {
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("mapped"); // empty: no [PORTS] entry
        QTest::addColumn<int>("naming");
        QTest::addColumn<QString>("device");
        const int posix = int(DeviceNaming::Posix), windows = int(DeviceNaming::Windows);
        QTest::newRow("mapped") << "COM2"
                                << "/dev/pts/7" << posix << "/dev/pts/7";
        QTest::newRow("COM1") << "COM1"
                              << "" << posix << "/dev/ttyS0";
        QTest::newRow("COM16") << "COM16"
                               << "" << posix << "/dev/ttyS15";
        QTest::newRow("Windows COM9") << "COM9"
                                      << "" << windows << "COM9";
        QTest::newRow("Windows COM10") << "COM10"
                                       << "" << windows << "\\\\.\\COM10";
    }
    void deviceNames() {
        QFETCH(QString, port);
        QFETCH(QString, mapped);
        QFETCH(int, naming);
        const auto device =
            DeviceForPortName(port.toStdString(),
                              mapped.isEmpty() ? std::nullopt : std::optional(mapped.toStdString()),
                              DeviceNaming(naming));
        QTEST(QString::fromStdString(device), "device");
    }
};

QTEST_GUILESS_MAIN(TestPortPlan)
#include "test_port_plan.moc"
