#include "frames.h"

#include <QTest>

Q_DECLARE_METATYPE(ProtocolVariant)

class TestFrames : public QObject {
    Q_OBJECT
private slots:
    void frames_data() {
        QTest::addColumn<ProtocolVariant>("variant");
        QTest::addColumn<uint>("netAdrr");
        QTest::addColumn<QByteArray>("frame");
        const auto crc = ProtocolVariant::Crc;
        const auto sum = ProtocolVariant::Sum;
        QTest::newRow("crc 1") << crc << 1u << QByteArray::fromHex("FFFFFFFF3A313B3432333B0D");
        QTest::newRow("sum 1") << sum << 1u << QByteArray::fromHex("FFFFFFFF3E313B36430D");
        QTest::newRow("crc 0") << crc << 0u << QByteArray::fromHex("FFFFFFFF3A303B3432333B0D");
        QTest::newRow("sum 0") << sum << 0u << QByteArray::fromHex("FFFFFFFF3E303B36420D");
        QTest::newRow("crc 255") << crc << 255u
                                 << QByteArray::fromHex("FFFFFFFF3A3235353B3432333B0D");
        QTest::newRow("sum 255") << sum << 255u << QByteArray::fromHex("FFFFFFFF3E3235353B44370D");
        // two digits; 0x31+0x30+0x3B = 0x9C
        QTest::newRow("sum 10") << sum << 10u << QByteArray("\xFF\xFF\xFF\xFF>10;9C\r");
        QTest::newRow("crc 99") << crc << 99u << QByteArray("\xFF\xFF\xFF\xFF:99;423;\r");
        QTest::newRow("sum 100") << sum << 100u << QByteArray("\xFF\xFF\xFF\xFF>100;CC\r");
    }
    void frames() {
        QFETCH(ProtocolVariant, variant);
        QFETCH(uint, netAdrr);
        QFETCH(QByteArray, frame);
        RequestBuffer buffer{};
        const uint16_t length = BuildRequest(variant, netAdrr, buffer);
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(buffer.data()), length), frame);
    }
};

QTEST_GUILESS_MAIN(TestFrames)
#include "test_frames.moc"
