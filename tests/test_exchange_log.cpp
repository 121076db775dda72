#include "exchange_log.h"
#include "exchange_log_reader.h"

#include <QFile>
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
