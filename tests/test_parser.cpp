#include "address_list.h"
#include "checksums.h"
#include "frames.h"
#include "parser.h"
#include "scan_number.h"

#include <QTest>

#include <cmath>
#include <cstdio>
#ifdef Q_OS_UNIX
#include <locale.h>
#endif

Q_DECLARE_METATYPE(ProtocolVariant)

namespace {

const QByteArray kExampleBody =
    "810100030050200000301;0025.50;04100.1;B0-3.25;000.00;000.00;000.00;000.00;000.00;000.00;"
    "000.00;000.00;000.00;";
const QByteArray kExampleCrc = "!" + kExampleBody + "30526\r";
const QByteArray kExampleSum = "!" + kExampleBody + "2A\r";

// "!" + body + the checksum of the variant + CR; body ends with the last ';'.
QByteArray Answer(ProtocolVariant variant, const QByteArray& body) {
    const QByteArray framed = "!" + body;
    const auto* data = reinterpret_cast<const uint8_t*>(framed.constData());
    if (variant == ProtocolVariant::Crc)
        return framed + QByteArray::number(Crc16(data, size_t(framed.size()))) + "\r";
    return framed + QByteArray::number(Sum8(data + 1, size_t(framed.size() - 1)), 16).toUpper() +
           "\r";
}

QByteArray Fields(const QByteArray& field, int count) {
    QByteArray out;
    for (int i = 0; i < count; ++i)
        out += field + ";";
    return out;
}

uint16_t Parse(ProtocolVariant variant, const QByteArray& bytes, DeviceReading& reading) {
    ReceiveBuffer buffer{};
    const auto length = uint32_t(qMin<qsizetype>(bytes.size(), kMaxReadLength));
    std::memcpy(buffer.data(), bytes.constData(), length);
    return ParseResponse(variant, buffer, length, reading);
}

uint16_t ParseCrc(const QByteArray& bytes, DeviceReading& reading) {
    return Parse(ProtocolVariant::Crc, bytes, reading);
}

// A reading that differs from the zero one everywhere the parser may leave it alone.
DeviceReading GoodReading() {
    DeviceReading reading;
    ParseCrc(kExampleCrc, reading);
    return reading;
}

// The status values in hex: keys, keys2, number, inputs, controls, relays.
QString StatusValues(const DeviceReading& r) {
    return QString::asprintf("%x %x %x %x %x %x", r.KeyBits, r.KeyBits2, r.StatusNumber,
                             r.InputBits, r.ControlBits, r.RelayBits);
}

// Each channel's error code, state and value against "error/state/value" per channel, blank
// separated; a value of '=' stands for `kept`.
void CompareChannels(const DeviceReading& r, const QString& expected, float kept = 0) {
    const QStringList channels = expected.split(' ');
    QCOMPARE(channels.size(), 12);
    for (int i = 0; i < 12; ++i) {
        const QStringList parts = channels[i].split('/');
        QCOMPARE(int(r.Channels[i].ErrorCode), parts[0].toInt());
        QCOMPARE(int(r.Channels[i].StateBits), parts[1].toInt());
        QCOMPARE(r.Channels[i].Value, parts[2] == "=" ? kept : parts[2].toFloat());
    }
}

// Every text of 0 to maxLength characters drawn from alphabet.
QList<QByteArray> ShortTexts(const QByteArray& alphabet, int maxLength) {
    QList<QByteArray> texts{""};
    for (qsizetype length = 1, from = 0; length <= maxLength; ++length) {
        const qsizetype to = texts.size();
        for (qsizetype i = from; i < to; ++i)
            for (char c : alphabet)
                texts << texts[i] + c;
        from = to;
    }
    return texts;
}

} // namespace

class TestParser : public QObject {
    Q_OBJECT
private slots:
    void workedExampleCrc() {
        DeviceReading r;
        QCOMPARE(kExampleCrc.size(), 116);
        QCOMPARE(ParseCrc(kExampleCrc, r), uint16_t(0));
        QCOMPARE(StatusValues(r), QString("81 1 3 5 2 301"));
        QCOMPARE(r.ChecksumReceived, 30526);
        QCOMPARE(r.ChecksumComputed, 30526);
        const std::array<uint16_t, 10> keys{1, 0, 0, 0, 0, 0, 0, 1, 1, 0};
        QCOMPARE(r.KeyFlags, keys);
        const std::array<uint16_t, 16> relays{1, 0, 0, 0, 0, 0, 0, 0, 1, 1, 0, 0, 0, 0, 0, 0};
        QCOMPARE(r.RelayFlags, relays);
        const std::array<uint16_t, 16> discrete{1, 0, 1, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0};
        QCOMPARE(r.DiscreteFlags, discrete);
        CompareChannels(r, "0/0/25.5 0/4/100.1 11/0/-3.25 0/0/0 0/0/0 0/0/0 0/0/0 0/0/0 0/0/0 "
                           "0/0/0 0/0/0 0/0/0");
    }

    // Each frame built for a number is read back as that number, of that variant.
    void requestFrames_data() {
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
    void requestFrames() {
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
    void refusedRequests_data() {
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
    void refusedRequests() {
        QFETCH(QByteArray, frame);
        QVERIFY(!ParseRequest(reinterpret_cast<const uint8_t*>(frame.constData()),
                              size_t(frame.size())));
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

    // Whole answers against their result and the checksums found. A read may end early only at
    // the frame's CR after a matching checksum.
    void checksums_data() {
        QTest::addColumn<ProtocolVariant>("variant");
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<int>("result");
        QTest::addColumn<int>("received");
        const auto crc = ProtocolVariant::Crc;
        const auto sum = ProtocolVariant::Sum;
        const QByteArray framed = "!" + kExampleBody;
        QTest::newRow("crc leading zeros") << crc << framed + "0030526\r" << 0 << 30526;
        QTest::newRow("crc low 16 bits") << crc << framed + "96062\r" << 0 << 30526;
        QTest::newRow("crc 15 characters") << crc << framed + "000000000030526\r" << 0 << 30526;
        QTest::newRow("crc mismatch") << crc << framed + "30527\r" << 1 << 30527;
        QTest::newRow("checksum text that is no number") << crc << framed + "x\r" << 1 << -1;
        QTest::newRow("no checksum text") << crc << framed + "\r" << 1 << -1;
        QTest::newRow("sum upper") << sum << framed + "2A\r" << 0 << 0x2A;
        QTest::newRow("sum lower") << sum << framed + "2a\r" << 0 << 0x2A;
        QTest::newRow("sum 12A never matches") << sum << framed + "12A\r" << 1 << 0x12A;
        QTest::newRow("a crc answer read as sum") << sum << kExampleCrc << 1 << 0x0526;
        // "%x" reads a bare "0x" as 0; this body's bytes add up to 0x100.
        QTest::newRow("sum 0x matches a sum of 0") << sum << framed + "\x9B;0x\r" << 0 << 0;
        QTest::newRow("crc with blanks and a sign") << crc << framed + " +30526\r" << 0 << 30526;
        QTest::newRow("noise and a second ! before")
            << crc << "\xFF\xFF:1;423;\r!!xx" + kExampleCrc << 0 << 30526;
        QTest::newRow("bytes after the last CR") << crc << kExampleCrc + "zz;1;2" << 0 << 30526;
        QTest::newRow("fields after the twelfth are covered")
            << crc << Answer(crc, kExampleBody + "extra;more;") << 0 << -1;
    }
    void checksums() {
        QFETCH(ProtocolVariant, variant);
        QFETCH(QByteArray, answer);
        QFETCH(int, result);
        QFETCH(int, received);
        DeviceReading r = GoodReading(); // its ChecksumReceived already equals the CRC
        QCOMPARE(int(Parse(variant, answer, r)), result);
        QCOMPARE(AnswerLooksComplete(variant, reinterpret_cast<const uint8_t*>(answer.constData()),
                                     uint32_t(answer.size())),
                 result == 0 && answer.endsWith('\r'));
        if (received >= 0)
            QCOMPARE(int(r.ChecksumReceived), received);
        if (result == 1 && received >= 0) // the computed one is the answer's own
            QVERIFY(r.ChecksumComputed != r.ChecksumReceived);
        QCOMPARE(r.StatusNumber, 3); // the frame itself was decoded each time (parsing clears it)
    }

    // Answers that cannot be framed fail and leave everything but the status values alone.
    void unframeable_data() {
        QTest::addColumn<QByteArray>("answer");
        QTest::newRow("69 bytes") << kExampleCrc.right(69);
        QTest::newRow("a short whole frame") << Answer(ProtocolVariant::Crc, "0;");
        QTest::newRow("no carriage return") << kExampleCrc.left(115) + QByteArray(85, '0');
        QTest::newRow("no ; before the CR") << "!" + QByteArray(80, '1') + "\r";
        QTest::newRow("checksum text of 16") << "!" + kExampleBody + "0000000000030526\r";
        QTest::newRow("CR only at position 0") << "\r" + kExampleCrc.left(115);
    }
    void unframeable() {
        QFETCH(QByteArray, answer);
        DeviceReading r = GoodReading();
        const DeviceReading before = r;
        QCOMPARE(ParseCrc(answer, r), uint16_t(1));
        QVERIFY(!AnswerLooksComplete(ProtocolVariant::Crc,
                                     reinterpret_cast<const uint8_t*>(answer.constData()),
                                     uint32_t(answer.size())));
        QCOMPARE(r.StatusNumber, 0);
        QCOMPARE(r.KeyBits, 0);
        QCOMPARE(r.RelayBits, 0);
        QCOMPARE(r.KeyFlags, before.KeyFlags);
        QCOMPARE(r.RelayFlags, before.RelayFlags);
        QCOMPARE(r.ChecksumReceived, before.ChecksumReceived);
        QCOMPARE(r.ChecksumComputed, before.ChecksumComputed);
        for (int i = 0; i < 12; ++i)
            QCOMPARE(r.Channels[i].Value, before.Channels[i].Value);
    }

    void separatorBeforeStartMark() {
        DeviceReading r;
        const QByteArray answer = QByteArray(60, 'n') + ";65535\r!" + QByteArray(10, 'z');
        QCOMPARE(ParseCrc(answer, r), uint16_t(0));
        QCOMPARE(r.ChecksumComputed, 0xFFFF);
        QCOMPARE(
            Parse(ProtocolVariant::Sum, QByteArray(60, 'n') + ";0\r!" + QByteArray(10, 'z'), r),
            uint16_t(0));
    }

    // The tail of an answer ("...;0" CR, or ";65535" CR), then the start of the next one cut
    // off at 200 bytes: the last '!' lies after the last CR, so the checksum's ';' lies before
    // the start and its text matches a checksum of no byte. The window's programs take that as
    // parsed; under the whole-frame rule it is no frame, nothing of it reaches the reading, and
    // a read never ends on it.
    void checksumOfNoByte_data() {
        QTest::addColumn<ProtocolVariant>("variant");
        QTest::addColumn<QByteArray>("bytes");
        const QByteArray tail = "0100030050200000301;" + Fields("000.00", 8);
        const QByteArray cut = "!" + kExampleBody + kExampleBody;
        QTest::newRow("crc") << ProtocolVariant::Crc << tail + "65535\r" + cut;
        QTest::newRow("sum") << ProtocolVariant::Sum << tail + "0\r" + cut;
    }
    void checksumOfNoByte() {
        QFETCH(ProtocolVariant, variant);
        QFETCH(QByteArray, bytes);
        bytes = bytes.left(kMaxReadLength);
        QCOMPARE(bytes.size(), qsizetype(kMaxReadLength));
        ReceiveBuffer buffer{};
        std::memcpy(buffer.data(), bytes.constData(), size_t(bytes.size()));
        DeviceReading reading = GoodReading();
        QCOMPARE(ParseAnswer(variant, buffer, kMaxReadLength, reading), ParseOutcome::Parsed);
        reading = GoodReading();
        QCOMPARE(ParseAnswer(variant, buffer, kMaxReadLength, reading, FrameRule::WholeFrame),
                 ParseOutcome::NoFrame);
        QCOMPARE(reading.Channels[1].Value, GoodReading().Channels[1].Value);
        const QByteArray ending = bytes.left(bytes.indexOf('\r') + 1); // as it came, up to its CR
        QVERIFY(!AnswerLooksComplete(variant, reinterpret_cast<const uint8_t*>(ending.constData()),
                                     uint32_t(ending.size())));
        // A whole frame is read under either rule.
        std::memcpy(buffer.data(), kExampleCrc.constData(), size_t(kExampleCrc.size()));
        QCOMPARE(ParseAnswer(ProtocolVariant::Crc, buffer, uint32_t(kExampleCrc.size()), reading,
                             FrameRule::WholeFrame),
                 ParseOutcome::Parsed);
    }

    // Status text decoding: which characters land where.
    void statusText_data() {
        QTest::addColumn<QByteArray>("status");
        QTest::addColumn<QString>("values"); // keys, keys2, number, inputs, controls, relays (hex)
        QTest::newRow("relays 1 and 16") << QByteArray("000000000000000008001") << "0 0 0 0 0 8001";
        QTest::newRow("lower case") << QByteArray("ab0000ff0ff3f00000a0b") << "ab 0 f ff 3f a0b";
        QTest::newRow("short: 4 chars") << QByteArray("8101") << "81 1 0 0 0 0";
        QTest::newRow("single digit pair") << QByteArray("8") << "8 0 0 0 0 0";
        QTest::newRow("20 chars") << QByteArray("00000000000000000ff1") << "0 0 0 0 0 ff01";
        QTest::newRow("non-hex first char") << QByteArray("g1z2") << "0 0 0 0 0 0";
        // Each pair is read as "%2x" from its place: blanks skipped, a sign or 0x within it.
        QTest::newRow("sign and prefix count toward the pair")
            << QByteArray("+50x") << "5 0 0 0 0 0";
        QTest::newRow("blank before a pair is skipped") << QByteArray("000000 53") << "0 0 3 0 0 0";
        QTest::newRow("minus sign fills the relay byte")
            << QByteArray("0000000000000000000-1") << "0 0 0 0 0 ff";
        QTest::newRow("empty") << QByteArray() << "0 0 0 0 0 0";
    }
    void statusText() {
        QFETCH(QByteArray, status);
        DeviceReading r = GoodReading();
        QCOMPARE(ParseCrc(Answer(ProtocolVariant::Crc, status + ";" + Fields("1100.5", 12)), r),
                 uint16_t(0));
        QTEST(StatusValues(r), "values");
        for (int i = 0; i < 16; ++i)
            QCOMPARE(int(r.RelayFlags[i]), (r.RelayBits >> i) & 1);
        QCOMPARE(r.Channels[0].Value, 0.5f); // the fields start right after the status text
    }

    // The forward walk over the channel fields and what it leaves in each channel.
    void channelWalk_data() {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("expected"); // "error/state/value" per channel, '=' = kept
        QTest::newRow("error codes B and b")
            << "0;B1-1;b2+2;A4 3;C71e2;08;" + Fields("00", 6)
            << "11/1/-1 11/2/2 10/4/3 12/7/100 0/8/= 0/0/= 0/0/= 0/0/= 0/0/= 0/0/= 0/0/= 0/0/=";
        // "%1x" skips a blank; a sign alone fills the one character and reads nothing.
        QTest::newRow("blank and sign before a digit")
            << "0;" + QByteArray(" 5") + "2.5;+31.5;" + Fields("00", 10)
            << "5/5/2.5 0/3/1.5 0/0/= 0/0/= 0/0/= 0/0/= 0/0/= 0/0/= 0/0/= 0/0/= 0/0/= 0/0/=";
        QTest::newRow("single digit keeps value")
            << "0;" + Fields("0", 12)
            << "0/0/= 0/0/= 0/0/= 0/0/= 0/0/= 0/0/= 0/0/= 0/0/= 0/0/= 0/0/= 0/0/= 0/0/=";
        QTest::newRow("value that does not convert")
            << "0;11abc;" + Fields("22", 11)
            << "1/1/= 2/2/= 2/2/= 2/2/= 2/2/= 2/2/= 2/2/= 2/2/= 2/2/= 2/2/= 2/2/= 2/2/=";
        // 18 characters: fields 1-3 find no ';' in 16 positions and step one position in.
        QTest::newRow("over-long field shifts the walk")
            << "0;1A1234567890123456;" + Fields("3301", 11)
            << "0/0/= 0/0/= 0/0/= 2/3/4567890123456 3/3/1 3/3/1 3/3/1 3/3/1 3/3/1 3/3/1 3/3/1 "
               "3/3/1";
        QTest::newRow("fewer than twelve fields")
            << QByteArray("0;1101;2202;")
            << "1/1/1 2/2/2 0/0/= 0/0/= 0/0/= 0/0/= 0/0/= 0/0/= 0/0/= 0/0/= 0/0/= 0/0/=";
        QTest::newRow("empty status text")
            << ";" + Fields("5509", 12)
            << "5/5/9 5/5/9 5/5/9 5/5/9 5/5/9 5/5/9 5/5/9 5/5/9 5/5/9 5/5/9 5/5/9 5/5/9";
        // No ';' within the 30 positions after '!' (this one is at the 31st): the fields start
        // two positions after it.
        QTest::newRow("status without ;")
            << QByteArray(30, '0') + ";" + Fields("7702", 12)
            << "0/0/= 0/0/= 0/0/= 0/0/= 0/0/= 0/0/= 0/0/= 0/0/= 0/0/= 0/0/= 0/0/= 0/0/=";
    }
    void channelWalk() {
        QFETCH(QByteArray, body);
        QFETCH(QString, expected);
        DeviceReading r;
        for (auto& channel : r.Channels)
            channel.Value = 42.0f;
        QCOMPARE(ParseCrc(Answer(ProtocolVariant::Crc, body).rightJustified(70, 'n'), r),
                 uint16_t(0));
        CompareChannels(r, expected, 42.0f);
    }

    // The conversions agree with the C library's sscanf on every short text made of blanks,
    // signs, digits, prefixes and letters.
    void scanMatchesTheCLibrary_data() {
        QTest::addColumn<QByteArray>("format");
        QTest::addColumn<uint>("base");
        QTest::addColumn<uint>("width");
        QTest::newRow("%1x") << QByteArray("%1x") << 16u << 1u;
        QTest::newRow("%2x") << QByteArray("%2x") << 16u << 2u;
        QTest::newRow("%x") << QByteArray("%x") << 16u << 0u;
        QTest::newRow("%u") << QByteArray("%u") << 10u << 0u;
    }
    void scanMatchesTheCLibrary() {
        QFETCH(QByteArray, format);
        QFETCH(uint, base);
        QFETCH(uint, width);
        for (const QByteArray& text : ShortTexts(" \t\n\v\f\r+-0xX5Fg", 4)) {
            unsigned value = 0;
            const bool stored = std::sscanf(text.constData(), format.constData(), &value) == 1;
            const auto scanned = ScanUnsigned(text.constData(), base, width);
            QVERIFY2(scanned.has_value() == stored && (!stored || *scanned == value),
                     text.toPercentEncoding());
        }
    }

#ifdef __GLIBC__ // the conversions follow the GNU C library's sscanf
    // Channel values read as sscanf's "%f" reads them: every text of up to four characters over
    // an alphabet of blanks, signs, digits, hex and exponent marks and the letters of "inf" and
    // "nan", then longer texts where the two conversions part ways.
    void floatMatchesSscanf() {
        QList<QByteArray> texts = ShortTexts(" \v+-.0x5XepPinfa", 4);
        for (const char* text :
             {"25.50",    "1e39",    "-1e39",   "1e-40",  "1e-46",    "3.4028236e38", "0x1p-149",
              "0x1p-150", "0x",      "+0x",     "0xg",    "0xp1",     "0x.",          "0x.8",
              "0X1P+3",   "infin",   "infinit", "INFINI", "infinity", "-INFINITY5",   "infx",
              "-nan",     "NAN(12)", "na",      "1e+",    "\n\r\f7"})
            texts << QByteArray(text);
        for (const QByteArray& text : texts) {
            float expected = 0;
            const bool stored = std::sscanf(text.constData(), "%f", &expected) == 1;
            const auto scanned = ScanFloat(text.constData());
            QVERIFY2(scanned.has_value() == stored, text.toPercentEncoding());
            if (stored)
                QVERIFY2(std::signbit(*scanned) == std::signbit(expected) &&
                             (std::isnan(expected) ? std::isnan(*scanned) : *scanned == expected),
                         text.toPercentEncoding());
        }
    }
#endif

    void valuesIgnoreTheProcessLocale() {
        const char* old = setlocale(LC_NUMERIC, nullptr);
        const QByteArray saved = old ? QByteArray(old) : QByteArray("C");
        if (!setlocale(LC_NUMERIC, "de_DE.UTF-8") && !setlocale(LC_NUMERIC, "ru_RU.UTF-8"))
            QSKIP("no locale with a decimal comma installed");
        DeviceReading r;
        ParseCrc(kExampleCrc, r);
        setlocale(LC_NUMERIC, saved.constData());
        QCOMPARE(r.Channels[1].Value, 100.1f);
    }
};

QTEST_GUILESS_MAIN(TestParser)
#include "test_parser.moc"
