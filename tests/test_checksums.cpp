#include "checksums.h"

#include <QTest>

#include <random>
#include <vector>

// The instrument's CRC as a straightforward bit loop, to check the table-driven one.
static uint16_t BitwiseCrc16(const std::vector<uint8_t>& data) {
    uint16_t reg = 0xFFFF;
    for (uint8_t byte : data) {
        reg ^= static_cast<uint16_t>(byte << 8);
        for (int i = 0; i < 8; ++i)
            reg = (reg & 1) ? static_cast<uint16_t>((reg >> 1) ^ 0xA001) : (reg >> 1);
    }
    return reg;
}

class TestChecksums : public QObject {
    Q_OBJECT
private slots:
    void knownValues_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<uint>("crc");
        QTest::addColumn<uint>("sum");
        QTest::newRow("abc") << QByteArray("abc") << 0xB9BAu << 0x26u;
        QTest::newRow("nothing") << QByteArray() << 0xFFFFu << 0x00u;
        QTest::newRow("sum wraps")
            << QByteArray("\xFF\xFF\x03", 3) << uint(BitwiseCrc16({0xFF, 0xFF, 0x03})) << 0x01u;
    }
    void knownValues() {
        QFETCH(QByteArray, bytes);
        QFETCH(uint, crc);
        QFETCH(uint, sum);
        const auto* data = reinterpret_cast<const uint8_t*>(bytes.constData());
        QCOMPARE(uint(Crc16(data, size_t(bytes.size()))), crc);
        QCOMPARE(uint(Sum8(data, size_t(bytes.size()))), sum);
    }

    // The high-byte CRC differs from CRC-16/ARC (0x5749 for "abc"); a mix-up fails here.
    void crcIsNotTheLowByteVariant() {
        const uint8_t abc[] = {'a', 'b', 'c'};
        QVERIFY(Crc16(abc, 3) != 0x5749);
    }

    void tableMatchesBitLoop() {
        std::mt19937 rng(7);
        for (int round = 0; round < 200; ++round) {
            std::vector<uint8_t> data(rng() % 200);
            for (auto& b : data)
                b = static_cast<uint8_t>(rng());
            QCOMPARE(Crc16(data.data(), data.size()), BitwiseCrc16(data));
        }
    }
};

QTEST_GUILESS_MAIN(TestChecksums)
#include "test_checksums.moc"
