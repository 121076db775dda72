#include "address_list.h"
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

    // Requests read back from logs: exactly BuildRequest's frames for 0-255, nothing else.
    void parse_data() {
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<int>("variant"); // -1: not a request
        QTest::addColumn<uint>("netAdrr");
        const int crc = int(ProtocolVariant::Crc), sum = int(ProtocolVariant::Sum);
        for (uint n : {0u, 1u, 42u, 255u})
            for (ProtocolVariant variant : {ProtocolVariant::Crc, ProtocolVariant::Sum}) {
                RequestBuffer buffer{};
                const uint16_t length = BuildRequest(variant, n, buffer);
                QTest::addRow("round trip %s %u", variant == ProtocolVariant::Crc ? "crc" : "sum",
                              n)
                    << QByteArray(reinterpret_cast<const char*>(buffer.data()), length)
                    << int(variant) << n;
            }
        const QByteArray ff("\xFF\xFF\xFF\xFF");
        QTest::newRow("sum 10 by hand") << ff + ">10;9C\r" << sum << 10u;
        QTest::newRow("crc 99 by hand") << ff + ":99;423;\r" << crc << 99u;
        const struct {
            const char* name;
            QByteArray frame;
        } refused[] = {
            {"empty", ""},
            {"no CR", ff + ":1;423;"},
            {"cut in the tail", ff + ":1;4"},
            {"cut after the mark", ff + ">"},
            {"wrong mark", ff + "!1;423;\r"},
            {"wrong sum", ff + ">1;6D\r"},
            {"lower-case sum", ff + ">10;9c\r"},
            {"crc tail after the sum mark", ff + ">1;423;\r"},
            {"wrong crc tail", ff + ":1;424;\r"},
            {"leading garbage", QByteArray(1, '\0') + ff + ":1;423;\r"},
            {"three 0xFF", ff.mid(1) + ":1;423;\r"},
            {"five 0xFF", "\xFF" + ff + ":1;423;\r"},
            {"a byte after the CR", ff + ":1;423;\r\n"},
            {"leading zero", ff + ":01;423;\r"},
            {"no number", ff + ":;423;\r"},
            {"256", ff + ":256;423;\r"},
            {"1000", ff + ":1000;423;\r"},
        };
        for (const auto& row : refused)
            QTest::newRow(row.name) << row.frame << -1 << 0u;
    }
    void parse() {
        QFETCH(QByteArray, frame);
        QFETCH(int, variant);
        const std::optional<ParsedRequest> request =
            ParseRequest(reinterpret_cast<const uint8_t*>(frame.constData()), size_t(frame.size()));
        QCOMPARE(request.has_value(), variant >= 0);
        if (request) {
            QCOMPARE(int(request->Variant), variant);
            QTEST(uint(request->NetAdrr), "netAdrr");
        }
    }

    // Lists of network numbers: the order written kept, each number once, blanks around items.
    void addressLists_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("numbers");
        QTest::newRow("list and range") << QString("1,2,5-8") << "1 2 5 6 7 8";
        QTest::newRow("order kept") << QString("7, 1-3 ,0") << "7 1 2 3 0";
        QTest::newRow("ends") << QString("255,0-0") << "255 0";
        QTest::newRow("leading zeros") << QString("007") << "7";
        for (const char* bad :
             {"", "300", "5-2", "a", "1,", ",1", "1-2-3", "-3", "2-", "0255", "+1", "1-3,2", "4,4"})
            QTest::addRow("refused '%s'", bad) << bad << "refused";
    }
    void addressLists() {
        QFETCH(QString, text);
        const auto list = ParseAddressList(text.toStdString());
        QStringList got;
        for (uint32_t address : list.value_or(std::vector<uint32_t>{}))
            got << QString::number(address);
        QTEST(list ? got.join(' ') : "refused", "numbers");
    }
};

QTEST_GUILESS_MAIN(TestFrames)
#include "test_frames.moc"
