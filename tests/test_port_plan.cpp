#include "port_plan.h"

#include <QTest>

Q_DECLARE_METATYPE(CommTimeouts)

namespace {

const CommTimeouts kPrevious{111, 222, 333, 444, 555};

// "name baud bits+parity+stop interval/multiplier/constant/write/write", name "-" for none.
QString Describe(const PortOpening& o) {
    const CommTimeouts& t = o.Timeouts;
    return QString::asprintf("%s %u %u%c%u %u/%u/%u/%u/%u", o.PortName.value_or("-").c_str(),
                             o.Line.BaudRate, o.Line.DataBits, "NOE"[int(o.Line.Parity)],
                             o.Line.StopBits, t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier,
                             t.ReadTotalTimeoutConstant, t.WriteTotalTimeoutMultiplier,
                             t.WriteTotalTimeoutConstant);
}

} // namespace

class TestPortPlan : public QObject {
    Q_OBJECT
private slots:
    // ReopenPort with TimeOut 1000 over kPrevious.
    void reopenPort_data() {
        QTest::addColumn<int>("speedIndex");
        QTest::addColumn<int>("port");
        QTest::addColumn<QString>("opening");
        QTest::newRow("port 0 is COM1") << 7 << 0 << "COM1 19200 8N1 24/24/1000/0/0";
        QTest::newRow("port 8") << 7 << 8 << "COM8 19200 8N1 24/24/1000/0/0";
        QTest::newRow("port 9 opens nothing") << 7 << 9 << "- 19200 8N1 24/24/1000/0/0";
        QTest::newRow("1200") << 3 << 1 << "COM1 1200 8N1 192/192/1000/0/0";
        QTest::newRow("4800") << 5 << 1 << "COM1 4800 8N1 48/48/1000/0/0";
        QTest::newRow("38400") << 8 << 2 << "COM2 38400 8N1 24/24/1000/0/0";
        QTest::newRow("115200 keeps 24") << 10 << 1 << "COM1 115200 8N1 24/24/1000/0/0";
        // Outside 3-10 the record keeps the previous interval and multiplier.
        QTest::newRow("index 2 keeps") << 2 << 1 << "COM1 19200 8N1 111/222/1000/0/0";
        QTest::newRow("index 11 keeps") << 11 << 1 << "COM1 19200 8N1 111/222/1000/0/0";
    }
    void reopenPort() {
        QFETCH(int, speedIndex);
        QFETCH(int, port);
        const PortOpening o = PlanReopenPort(uint16_t(speedIndex), uint16_t(port), 1000, kPrevious);
        QTEST(Describe(o), "opening");
        QVERIFY(o.RaiseDtrRts);
    }

    // OpenPort with stop-bit code 2 and read time-out 750 over kPrevious.
    void openPort_data() {
        QTest::addColumn<int>("port");
        QTest::addColumn<int>("speedIndex");
        QTest::addColumn<int>("dataBits");
        QTest::addColumn<int>("parity");
        QTest::addColumn<QString>("opening");
        QTest::newRow("usual") << 3 << 8 << 8 << 0 << "COM3 38400 8N1 24/24/750/0/0";
        QTest::newRow("port 0 is COM1") << 0 << 7 << 8 << 0 << "COM1 19200 8N1 24/24/750/0/0";
        QTest::newRow("port 16") << 16 << 7 << 8 << 0 << "COM16 19200 8N1 24/24/750/0/0";
        QTest::newRow("port 17 is COM1") << 17 << 7 << 8 << 0 << "COM1 19200 8N1 24/24/750/0/0";
        QTest::newRow("110") << 1 << 0 << 8 << 0 << "COM1 110 8N1 1536/1536/750/0/0";
        QTest::newRow("115200 is 12") << 1 << 10 << 8 << 0 << "COM1 115200 8N1 12/12/750/0/0";
        QTest::newRow("index 11 is 19200") << 1 << 11 << 8 << 0 << "COM1 19200 8N1 24/24/750/0/0";
        QTest::newRow("odd, 7 bits") << 1 << 7 << 7 << 1 << "COM1 19200 7O1 24/24/750/0/0";
        QTest::newRow("even, 5 bits") << 1 << 7 << 5 << 2 << "COM1 19200 5E1 24/24/750/0/0";
        QTest::newRow("parity 3, 9 bits") << 1 << 7 << 9 << 3 << "COM1 19200 8N1 24/24/750/0/0";
    }
    void openPort() {
        QFETCH(int, port);
        QFETCH(int, speedIndex);
        QFETCH(int, dataBits);
        QFETCH(int, parity);
        const PortOpening o = PlanOpenPort(uint16_t(port), uint16_t(speedIndex), uint16_t(dataBits),
                                           uint16_t(parity), 2, 750, kPrevious);
        QTEST(Describe(o), "opening");
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
        QTest::addColumn<int>("port");
        QTest::addColumn<QString>("mapped"); // empty: no [PORTS] entry
        QTest::addColumn<bool>("windows");
        QTest::addColumn<QString>("device");
        QTest::newRow("mapped") << 2 << "/dev/pts/7" << false << "/dev/pts/7";
        QTest::newRow("COM1") << 1 << "" << false << "/dev/ttyS0";
        QTest::newRow("COM16") << 16 << "" << false << "/dev/ttyS15";
        QTest::newRow("Windows COM9") << 9 << "" << true << "COM9";
        QTest::newRow("Windows COM10") << 10 << "" << true << "\\\\.\\COM10";
    }
    void deviceNames() {
        QFETCH(int, port);
        QFETCH(QString, mapped);
        QFETCH(bool, windows);
        const auto device =
            DeviceForPortName("COM" + std::to_string(port),
                              mapped.isEmpty() ? std::nullopt : std::optional(mapped.toStdString()),
                              windows ? DeviceNaming::Windows : DeviceNaming::Posix);
        QTEST(QString::fromStdString(device), "device");
    }
};

QTEST_GUILESS_MAIN(TestPortPlan)
#include "test_port_plan.moc"
