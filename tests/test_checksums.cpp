#include "checksums.h"
#include "sim_core.h"

#include <QTest>

#include <random>
#include <string>

class TestChecksums : public QObject {
    Q_OBJECT
private slots:
    void knownValues_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<uint>("crc");
        QTest::addColumn<uint>("sum");
        QTest::newRow("abc") << QByteArray("abc") << 0xB9BAu << 0x26u;
        QTest::newRow("nothing") << QByteArray() << 0xFFFFu << 0x00u;
        QTest::newRow("sum wraps") << QByteArray("\xFF\xFF\x03", 3) << 0x7073u << 0x01u;
    }
    void knownValues() {
        QFETCH(QByteArray, bytes);
        const auto* data = reinterpret_cast<const uint8_t*>(bytes.constData());
        QTEST(uint(Crc16(data, size_t(bytes.size()))), "crc");
        QTEST(uint(Sum8(data, size_t(bytes.size()))), "sum");
    }

    // The reader's table-driven CRC and sum against the simulator's own bit-by-bit ones.
    void agreeWithTheInstrument() {
        std::mt19937 rng(7);
        for (int round = 0; round < 200; ++round) {
            std::string data(rng() % 200, '\0');
            for (char& byte : data)
                byte = static_cast<char>(rng());
            const auto* bytes = reinterpret_cast<const uint8_t*>(data.data());
            QCOMPARE(Crc16(bytes, data.size()), InstrumentCrc(data));
            QCOMPARE(Sum8(bytes, data.size()), InstrumentSum(data));
        }
    }
};

QTEST_GUILESS_MAIN(TestChecksums)
#include "test_checksums.moc"
