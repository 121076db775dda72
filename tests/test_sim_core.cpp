#include "parser.h"
#include "sim_core.h"

#include <QTest>

#include <cstring>

Q_DECLARE_METATYPE(ProtocolVariant)

namespace {

uint16_t Parse(ProtocolVariant variant, const std::string& bytes, DeviceReading& reading) {
    ReceiveBuffer buffer{};
    const size_t length = std::min<size_t>(bytes.size(), kMaxReadLength);
    std::memcpy(buffer.data(), bytes.data(), length);
    return ParseResponse(variant, buffer, uint32_t(length), reading);
}

} // namespace

class TestSimCore : public QObject {
    Q_OBJECT
private slots:
    void requests_data() {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QString>("found"); // "crc 1", "sum 255", or "" when none
        QTest::addColumn<int>("leftOver");
        QTest::newRow("crc") << QByteArray("\xFF\xFF\xFF\xFF:1;423;\r") << "crc 1" << 0;
        QTest::newRow("sum") << QByteArray("\xFF\xFF\xFF\xFF>255;D7\r") << "sum 255" << 0;
        QTest::newRow("behind junk") << QByteArray("xx;>\xFF\xFF:12;423;\rAB") << "crc 12" << 2;
        QTest::newRow("wrong sum dropped") << QByteArray("\xFF>1;6D\r") << "" << 0;
        QTest::newRow("partial kept") << QByteArray("junk\xFF\xFF:1;42") << "" << 7;
        QTest::newRow("four digits") << QByteArray(":1234;423;\r") << "" << 0;
        QTest::newRow("no digits") << QByteArray(":;423;\r") << "" << 0;
    }
    void requests() {
        QFETCH(QByteArray, input);
        QFETCH(QString, found);
        QFETCH(int, leftOver);
        std::string pending = input.toStdString();
        const auto frame = TakeRequest(pending);
        QString got;
        if (frame)
            got = QString(frame->Variant == ProtocolVariant::Crc ? "crc %1" : "sum %1")
                      .arg(frame->Address);
        QCOMPARE(got, found);
        QCOMPARE(int(pending.size()), leftOver);
    }

    // What the simulator sends is what the reader accepts, for fixed and live readings.
    void answersParse_data() {
        QTest::addColumn<ProtocolVariant>("variant");
        QTest::newRow("crc") << ProtocolVariant::Crc;
        QTest::newRow("sum") << ProtocolVariant::Sum;
    }
    void answersParse() {
        QFETCH(ProtocolVariant, variant);
        DeviceReading reading;
        QCOMPARE(Parse(variant, ComposeAnswer(variant, ExampleReading()), reading), 0);
        QCOMPARE(reading.RelayBits, 0x0301);
        QCOMPARE(reading.StatusNumber, 3);
        QCOMPARE(reading.Channels[2].ErrorCode, 11);
        QCOMPARE(reading.Channels[1].Value, 100.1f);
        QCOMPARE(Parse(variant, ComposeAnswer(variant, ExampleReading(), true), reading), 1);
        SimReading extreme = ExampleReading();
        extreme.Channels[5].Value = -1e12; // clamped so the field stays within 15 characters
        QCOMPARE(Parse(variant, ComposeAnswer(variant, extreme), reading), 0);
        for (uint64_t n = 0; n < 400; n += 7)
            QCOMPARE(Parse(variant, ComposeAnswer(variant, LiveReading(n)), reading), 0);
    }

    void pacing() {
        const auto chunks = PlanAnswer("abc", Fault{FaultKind::Delay, 10}, true, 9600);
        QCOMPARE(chunks.size(), size_t(3));
        QCOMPARE(chunks[0].DelayUs, 10000u + 1041u);
        QCOMPARE(chunks[2].DelayUs, 1041u);
        QVERIFY(!ParseFault("split", "x"));
        QVERIFY(!ParseFault("melt", ""));
    }
};

QTEST_GUILESS_MAIN(TestSimCore)
#include "test_sim_core.moc"
