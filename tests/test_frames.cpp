#include "frames.h"

#include <QTest>

Q_DECLARE_METATYPE(ProtocolVariant)

class TestFrames : public QObject {
    Q_OBJECT
private slots:
    // Each frame built for a number is read back as that number, of that variant.
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
        const std::optional<ParsedRequest> request =
            ParseRequest(reinterpret_cast<const uint8_t*>(frame.constData()), size_t(frame.size()));
        QVERIFY(request.has_value());
        QCOMPARE(request->Variant, variant);
        QCOMPARE(uint(request->NetAdrr), netAdrr);
    }

    // Requests read back from logs: only the frames above, nothing like them.
    void refused_data() {
        QTest::addColumn<QByteArray>("frame");
        const QByteArray ff("\xFF\xFF\xFF\xFF");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("no CR") << ff + ":1;423;";
        QTest::newRow("cut in the tail") << ff + ":1;4";
        QTest::newRow("cut after the mark") << ff + ">";
        QTest::newRow("wrong mark") << ff + "!1;423;\r";
        QTest::newRow("wrong sum") << ff + ">1;6D\r";
        QTest::newRow("lower-case sum") << ff + ">10;9c\r";
        QTest::newRow("crc tail after the sum mark") << ff + ">1;423;\r";
        QTest::newRow("wrong crc tail") << ff + ":1;424;\r";
        QTest::newRow("leading garbage") << QByteArray(1, '\0') + ff + ":1;423;\r";
        QTest::newRow("three 0xFF") << ff.mid(1) + ":1;423;\r";
        QTest::newRow("five 0xFF") << "\xFF" + ff + ":1;423;\r";
        QTest::newRow("a byte after the CR") << ff + ":1;423;\r\n";
        QTest::newRow("leading zero") << ff + ":01;423;\r";
        QTest::newRow("no number") << ff + ":;423;\r";
        QTest::newRow("256") << ff + ":256;423;\r";
        QTest::newRow("1000") << ff + ":1000;423;\r";
    }
    void refused() {
        QFETCH(QByteArray, frame);
        QVERIFY(!ParseRequest(reinterpret_cast<const uint8_t*>(frame.constData()),
                              size_t(frame.size())));
    }
};

QTEST_GUILESS_MAIN(TestFrames)
#include "test_frames.moc"
