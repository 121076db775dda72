#include "exchange_log.h"
#include "exchange_log_reader.h"
#include "number_text.h"
#include "record_format.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

Q_DECLARE_METATYPE(LocalTime)

namespace {

LocalTime At(int hour, int minute, int second, int ms, int64_t steadyMs = -1) {
    LocalTime t;
    t.Year = 2026;
    t.Month = 12;
    t.Day = 6;
    t.Hour = uint16_t(hour);
    t.Minute = uint16_t(minute);
    t.Second = uint16_t(second);
    t.Milliseconds = uint16_t(ms);
    t.SteadyMs = steadyMs;
    return t;
}

QByteArray Bytes(const std::string& s) {
    return QByteArray(s.data(), qsizetype(s.size()));
}

// The parts of one logged exchange as the writer writes them.
const uint8_t* Data(const QByteArray& b) {
    return reinterpret_cast<const uint8_t*>(b.data());
}
QByteArray AnswerPart(const QByteArray& answer, int second = 7, uint32_t ms = 40) {
    return Bytes(LogAnswerPart(At(14, 3, second, 290), ms, Data(answer), size_t(answer.size())));
}
QByteArray Record(const QByteArray& request, const QByteArray& answer, int second = 7,
                  uint32_t ms = 40) {
    return Bytes(LogSendPart(At(14, 3, second, 250), Data(request), size_t(request.size()))) +
           AnswerPart(answer, second, ms);
}

// What a reader makes of a log fed in pieces of `piece` bytes: the answers, and the lines of
// the malformed parts.
QStringList ReadBack(const QByteArray& log, int piece, QList<quint64>* malformedLines = nullptr) {
    QStringList answers;
    ExchangeLogReader reader(
        [&](const LoggedExchange& e) {
            answers << QString::fromLatin1(QByteArray::fromStdString(e.Answer).toHex());
        },
        [&](const MalformedPart& part) {
            if (malformedLines)
                *malformedLines << part.Line;
        });
    for (qsizetype at = 0; at < log.size(); at += piece)
        reader.Feed(std::string_view(log.constData() + at,
                                     size_t(std::min<qsizetype>(piece, log.size() - at))));
    reader.Finish();
    return answers;
}

// The worked example's reading: channel 1 25.5, channel 2 100.1 with a sensor break, channel 3
// -3.25 with error 11; keys 0x81, keys2 1, number 3, inputs 5, controls 2, relays 0x0301.
DeviceReading ExampleReading() {
    DeviceReading r;
    r.KeyBits = 0x81, r.KeyBits2 = 1, r.StatusNumber = 3, r.InputBits = 5, r.ControlBits = 2;
    r.RelayBits = 0x0301;
    r.Channels[0].Value = 25.5f;
    r.Channels[1] = {0, 4, 100.1f};
    r.Channels[2] = {11, 0, -3.25f};
    return r;
}

} // namespace

class TestExchangeLog : public QObject {
    Q_OBJECT
private slots:
    // The record of a crc request to number 1 that got no answer, byte for byte.
    void recordWithoutAnswer() {
        const uint8_t request[] = {0xFF, 0xFF, 0xFF, 0xFF, ':', '1', ';', '4', '2', '3', ';', '\r'};
        const LocalTime sent = At(14, 3, 7, 250);
        const LocalTime received = At(14, 3, 13, 62);
        const QByteArray record =
            Bytes(LogSendPart(sent, request, sizeof request)) +
            Bytes(LogAnswerPart(received, ExchangeTimeMs(sent, received), nullptr, 0));
        const QByteArray expected = "\r\r\n____________________________\r\r\n"
                                    "06 12 2026 14-03-07.250 \r\r\n"
                                    "Send:\r\r\n"
                                    "\xFF\xFF\xFF\xFF:1;423;\r"
                                    "\r\r\n"
                                    "06 12 2026 14-03-13.062 \r\r\n"
                                    "exc time 5812 mS\r\r\n"
                                    "Answ:\r\r\n";
        QCOMPARE(record, expected);
    }

    void answerBytesAsText() {
        const uint8_t answer[] = {'!', 0x0A, 0x00, 0xFF, '\r', 0x0A};
        const QByteArray part = Bytes(LogAnswerPart(At(1, 2, 3, 4), 7, answer, sizeof answer));
        QVERIFY(part.endsWith(QByteArray("Answ:\r\r\n!\r\n\0\xFF\r\r\n", 16)));
        QVERIFY(part.contains("06 12 2026 01-02-03.004 \r\r\nexc time 7 mS\r\r\n"));
    }

    void exchangeTime_data() {
        QTest::addColumn<LocalTime>("sent");
        QTest::addColumn<LocalTime>("received");
        QTest::addColumn<uint>("ms");
        QTest::newRow("seconds") << At(14, 3, 7, 250) << At(14, 3, 13, 62) << 5812u;
        QTest::newRow("minute changes") << At(14, 3, 59, 900) << At(14, 4, 0, 150) << 250u;
        QTest::newRow("equal stamps") << At(9, 0, 0, 0) << At(9, 0, 0, 0) << 0u;
        QTest::newRow("over a minute") << At(14, 3, 7, 250) << At(14, 4, 17, 250) << 70000u;
        QTest::newRow("hour changes") << At(14, 59, 59, 990) << At(15, 0, 0, 10) << 20u;
        QTest::newRow("midnight") << At(23, 59, 59, 900) << At(0, 0, 0, 100) << 200u;
        // The steady clock only overrules stamps that a change of the wall clock put apart.
        QTest::newRow("stamps rule within a second")
            << At(14, 3, 7, 250, 1000) << At(14, 3, 8, 255, 2004) << 1005u;
        QTest::newRow("clock set back an hour")
            << At(14, 3, 7, 250, 1000) << At(13, 3, 7, 270, 1020) << 20u;
        QTest::newRow("clock set forward a minute")
            << At(14, 3, 7, 250, 1000) << At(14, 4, 7, 270, 1020) << 20u;
    }
    void exchangeTime() {
        QFETCH(LocalTime, sent);
        QFETCH(LocalTime, received);
        QTEST(uint(ExchangeTimeMs(sent, received)), "ms");
    }

    // The reader gives back the bytes the writer was given, whatever the pieces it is fed in,
    // and counts what is not a record.
    void readBack_data() {
        QTest::addColumn<QByteArray>("log");
        QTest::addColumn<QStringList>("answers"); // hex
        QTest::addColumn<QList<quint64>>("malformedLines");
        const QByteArray request = "\xFF\xFF\xFF\xFF:1;423;\r";
        const QByteArray answer = "!81;0025.50;30526\r";
        const QByteArray two = Record(request, answer) + Record(request, "", 8);
        QTest::newRow("two records") << two << QStringList{answer.toHex(), ""} << QList<quint64>{};
        QTest::newRow("LF, CR LF, CR and NUL in an answer")
            << Record(request, QByteArray("a\nb\r\nc\r\0", 9))
            << QStringList{QByteArray("a\nb\r\nc\r\0", 9).toHex()} << QList<quint64>{};
        // Only the CR the log put before an LF goes; a bare LF (a log edited by hand) keeps the
        // byte before it.
        QTest::newRow("a bare LF in an answer")
            << Record(request, "") + "x\ny\r\nz" << QStringList{QByteArray("x\ny\nz").toHex()}
            << QList<quint64>{};
        QTest::newRow("exchange times of four and more digits")
            << Record(request, answer, 7, 1000) + Record(request, "", 8, 86399000)
            << QStringList{answer.toHex(), ""} << QList<quint64>{};
        QTest::newRow("cut in the middle of a send part")
            << two + Record(request, answer).left(50) << QStringList{answer.toHex(), ""}
            << QList<quint64>{17};
        QTest::newRow("garbage before the first record")
            << "garbage\n" + two << QStringList{answer.toHex(), ""} << QList<quint64>{1};
        QTest::newRow("an answer part alone")
            << AnswerPart(answer) + two << QStringList{answer.toHex(), ""} << QList<quint64>{1};
    }
    void readBack() {
        QFETCH(QByteArray, log);
        for (int piece : {1, 7, 4096}) {
            QList<quint64> malformed;
            QTEST(ReadBack(log, piece, &malformed), "answers");
            QTEST(malformed, "malformedLines");
        }
    }

    // An exchange as a CSV row and a JSON Lines row, each the same for the window's log read
    // back, the service's day files and reader-tool.
    void rows_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("raw");
        QTest::addColumn<QByteArray>("csv");
        QTest::addColumn<QByteArrayList>("jsonl"); // the whole row, or its telling parts
        QTest::newRow("a reading")
            << "ok" << false
            << QByteArray("2026-12-06T14:03:07.250,40,17,sum,3,ok,25.5,0,0,100.1,0,4,-3.25,11,0," +
                          QByteArray("0,0,0,").repeated(9) + "129,1,3,5,2,769\r\n")
            << QByteArrayList{"{\"sent\":\"2026-12-06T14:03:07.250\",\"exchange_ms\":40,"
                              "\"network\":17,\"variant\":\"sum\",\"answer_bytes\":3,"
                              "\"outcome\":\"ok\",\"channels\":[{\"value\":25.5,\"error\":0,"
                              "\"state\":0},{\"value\":100.1,\"error\":0,\"state\":4},"
                              "{\"value\":-3.25,\"error\":11,\"state\":0}" +
                              QByteArray(",{\"value\":0,\"error\":0,\"state\":0}").repeated(9) +
                              "],\"keys\":129,\"keys2\":1,\"number\":3,\"inputs\":5,"
                              "\"controls\":2,\"relays\":769}\n"};
        QTest::newRow("values that are no numbers, with the bytes")
            << "inf" << true
            << QByteArray("2026-12-06T14:03:07.250,40,17,sum,3,ok,inf,0,0,-inf,0,0," +
                          QByteArray("nan,0,0,").repeated(10) +
                          "129,1,3,5,2,769,FFFFFFFF3E31373B36450D,21410D\r\n")
            << QByteArrayList{"\"channels\":[{\"value\":null,\"error\":0,\"state\":0},"
                              "{\"value\":null,",
                              ",\"request_hex\":\"FFFFFFFF3E31373B36450D\",\"answer_hex\":"
                              "\"21410D\"}\n"};
        QTest::newRow("no answer")
            << "silent" << false
            << QByteArray("2026-12-06T14:03:07.250,40,17,sum,0,no-answer" + QByteArray(42, ',') +
                          "\r\n")
            << QByteArrayList{"{\"sent\":\"2026-12-06T14:03:07.250\",\"exchange_ms\":40,"
                              "\"network\":17,\"variant\":\"sum\",\"answer_bytes\":0,"
                              "\"outcome\":\"no-answer\",\"channels\":null,\"keys\":null,"
                              "\"keys2\":null,\"number\":null,\"inputs\":null,"
                              "\"controls\":null,\"relays\":null}\n"};
        QTest::newRow("a stamp that is no date, a request of no variant")
            << "unknown" << false
            << QByteArray("invalid,40,,,3,unknown-request" + QByteArray(42, ',') + "\r\n")
            << QByteArrayList{"{\"sent\":null,\"exchange_ms\":40,\"network\":null,"
                              "\"variant\":null,\"answer_bytes\":3,\"outcome\":"
                              "\"unknown-request\","};
    }
    void rows() {
        QFETCH(QString, kind);
        QFETCH(bool, raw);
        DeviceReading reading = ExampleReading();
        if (kind == "inf") {
            for (ChannelReading& c : reading.Channels)
                c = {0, 0, std::numeric_limits<float>::quiet_NaN()};
            reading.Channels[0].Value = std::numeric_limits<float>::infinity();
            reading.Channels[1].Value = -std::numeric_limits<float>::infinity();
        }
        ExchangeRecord record;
        record.Address = 17;
        record.Variant = ProtocolVariant::Sum;
        record.Sent = At(14, 3, 7, 250);
        record.ExchangeMs = 40;
        record.Request = "\xFF\xFF\xFF\xFF>17;6E\r";
        record.Answer = kind == "silent" ? "" : "!A\r";
        record.Outcome = kind == "silent" ? ExchangeOutcome::NoAnswer : ExchangeOutcome::Ok;
        record.Reading = kind == "silent" ? nullptr : &reading;
        if (kind == "unknown") {
            record = ExchangeRecord{};
            record.ExchangeMs = 40;
            record.Answer = "!A\r";
            record.Outcome = ExchangeOutcome::UnknownRequest;
        }
        std::string csvRow, jsonRow;
        AppendCsvRow(csvRow, record, raw);
        AppendJsonLinesRow(jsonRow, record, raw);
        QTEST(QByteArray::fromStdString(csvRow), "csv");
        QFETCH(QByteArrayList, jsonl);
        const QByteArray row = QByteArray::fromStdString(jsonRow);
        for (const QByteArray& part : jsonl)
            QVERIFY2(row.contains(part), row.constData());
        QVERIFY(QJsonDocument::fromJson(row).isObject());
    }

    // A reading as published: the channels' values read back as the same float (null when
    // not finite), their state bits and flags in the reading's order.
    void stateJson_data() {
        QTest::addColumn<qint64>("utcMs");
        QTest::addColumn<QString>("ts");
        QTest::addColumn<float>("value");
        QTest::addColumn<int>("stateBits");
        QTest::addColumn<QList<bool>>("breakSp1Sp2");
        const float nan = std::numeric_limits<float>::quiet_NaN();
        const float inf = std::numeric_limits<float>::infinity();
        QTest::newRow("epoch, decimal") << qint64(0) << "1970-01-01T00:00:00.000Z" << 0.1f << 0
                                        << QList<bool>{false, false, false};
        QTest::newRow("leap day, break") << qint64(1709211909123) << "2024-02-29T13:05:09.123Z"
                                         << -273.15f << 4 << QList<bool>{true, false, false};
        QTest::newRow("last ms of a year, setpoints")
            << qint64(1767225599999) << "2025-12-31T23:59:59.999Z" << 123456.79f << 3
            << QList<bool>{false, true, true};
        QTest::newRow("not a number") << qint64(1) << "1970-01-01T00:00:00.001Z" << nan << 2
                                      << QList<bool>{false, false, true};
        QTest::newRow("infinite") << qint64(1) << "1970-01-01T00:00:00.001Z" << -inf << 1
                                  << QList<bool>{false, true, false};
    }
    void stateJson() {
        QFETCH(qint64, utcMs);
        QFETCH(float, value);
        QFETCH(int, stateBits);
        DeviceReading reading;
        reading.Channels[3].Value = value;
        reading.Channels[3].StateBits = uint16_t(stateBits);
        reading.Channels[11].ErrorCode = 11;
        reading.RelayFlags[0] = reading.RelayFlags[15] = 1;
        reading.DiscreteFlags[2] = reading.DiscreteFlags[9] = 1;
        reading.KeyFlags[8] = 1;
        reading.StatusNumber = 7;
        ExchangeRecord record;
        record.Received.UtcMs = utcMs;
        record.ExchangeMs = 57;
        record.Reading = &reading;
        const QJsonObject o =
            QJsonDocument::fromJson(QByteArray::fromStdString(StateJson(record, 42, 1000)))
                .object();
        QTEST(o["ts"].toString(), "ts");
        QCOMPARE(o["started"].toString(), "1970-01-01T00:00:01.000Z");
        QCOMPARE(o["seq"].toInteger(), 42);
        QCOMPARE(o["exchange_ms"].toInteger(), 57);
        QCOMPARE(o["status_number"].toInteger(), 7);
        const QJsonArray channels = o["channels"].toArray();
        QCOMPARE(channels.size(), 12);
        const QJsonObject c = channels[3].toObject();
        if (std::isfinite(value)) // reads back as the same float
            QCOMPARE(float(c["value"].toDouble()), value);
        else
            QVERIFY(c["value"].isNull());
        QTEST((QList<bool>{c["break"].toBool(), c["setpoint1"].toBool(), c["setpoint2"].toBool()}),
              "breakSp1Sp2");
        QCOMPARE(channels[11].toObject()["error"].toInteger(), 11);
        const auto flags = [&](const char* key) {
            QString bits;
            for (const QJsonValue& v : o[key].toArray())
                bits += v.isBool() ? (v.toBool() ? '1' : '0') : '?';
            return bits;
        };
        QCOMPARE(flags("relays"), QString("1000000000000001"));
        QCOMPARE(flags("inputs"), QString("0010"));
        QCOMPARE(flags("controls"), QString("01"));
        QCOMPARE(flags("keys"), QString("0000000010"));
    }

    // The shortest text that reads back as the same float, also on the fast path for hundredths.
    void floatText_data() {
        QTest::addColumn<float>("value");
        QTest::addColumn<QByteArray>("text");
        QTest::newRow("hundredths") << 25.47f << QByteArray("25.47");
        QTest::newRow("tenths") << 25.5f << QByteArray("25.5");
        QTest::newRow("small") << -0.05f << QByteArray("-0.05");
        QTest::newRow("whole") << 10000.0f << QByteArray("10000");
        QTest::newRow("largest on the fast path") << 99999.99f << QByteArray("99999.99");
        QTest::newRow("shorter in scientific") << 100000.0f << QByteArray("1e+05");
        QTest::newRow("thousandths") << 0.001f << QByteArray("0.001");
        QTest::newRow("no float near the hundredth") << 0.3f + 0.6f << QByteArray("0.90000004");
        QTest::newRow("negative zero") << -0.0f << QByteArray("-0");
        QTest::newRow("infinity") << -std::numeric_limits<float>::infinity() << QByteArray("-inf");
    }
    void floatText() {
        QFETCH(float, value);
        std::string out;
        AppendFloat(out, value, false);
        QTEST(QByteArray::fromStdString(out), "text");
    }

    void appending() {
        QTemporaryDir dir;
        const std::string path = dir.filePath("COM.txt").toStdString();
        QVERIFY(AppendToLog(path, "ab"));
        QVERIFY(AppendToLog(path, std::string("\0c", 2)));
        QFile file(QString::fromStdString(path));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("ab\0c", 4));
        QVERIFY(!AppendToLog("", "x"));
        QVERIFY(!AppendToLog(dir.filePath("no/such/folder/log.txt").toStdString(), "x"));
        QVERIFY(!AppendToLog(dir.path().toStdString(), "x")); // a folder
    }
};

QTEST_GUILESS_MAIN(TestExchangeLog)
#include "test_exchange_log.moc"
