#include "checksums.h"
#include "parser.h"
#include "sim_core.h"

#include <QTest>

#include <cstring>
#include <random>

Q_DECLARE_METATYPE(ProtocolVariant)

namespace {

const char* const kFaultNames[] = {"none",  "silence", "badsum", "short",  "noise",
                                   "split", "delay",   "long",   "garbage"};

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

    // What the simulator sends is what the reader accepts, for fixed and live readings. (The
    // example's bytes are pinned by TestExchange::logBytes.)
    void answersParse_data() {
        QTest::addColumn<ProtocolVariant>("variant");
        QTest::newRow("crc") << ProtocolVariant::Crc;
        QTest::newRow("sum") << ProtocolVariant::Sum;
    }
    void answersParse() {
        QFETCH(ProtocolVariant, variant);
        DeviceReading reading;
        QCOMPARE(Parse(variant, ComposeAnswer(variant, ExampleReading()), reading), 0);
        QCOMPARE(Parse(variant, ComposeAnswer(variant, ExampleReading(), true), reading), 1);
        SimReading extreme = ExampleReading();
        extreme.Channels[5].Value = -1e12; // clamped so the field stays within 15 characters
        QCOMPARE(Parse(variant, ComposeAnswer(variant, extreme), reading), 0);
        for (uint64_t n = 0; n < 400; n += 7)
            QCOMPARE(Parse(variant, ComposeAnswer(variant, LiveReading(n)), reading), 0);
    }

    // The reader's table-driven CRC and sum against the simulator's own bit-by-bit ones.
    void checksumsAgree() {
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

    void pacing() {
        const auto chunks = PlanAnswer("abc", Fault{FaultKind::Delay, 10}, true, 9600, 3);
        QCOMPARE(chunks.size(), size_t(3));
        QCOMPARE(chunks[0].DelayUs, 3000u + 10000u + 1041u); // turnaround, delay, one byte
        QCOMPARE(chunks[2].DelayUs, 1041u);
        const auto split = PlanAnswer("abc", Fault{FaultKind::Split, 5}, false, 9600, 7);
        QCOMPARE(split.size(), size_t(2));
        QCOMPARE(split[0].DelayUs, 7000u); // the turnaround comes before the first byte only
        QCOMPARE(split[1].DelayUs, 5000u);
        QVERIFY(!ParseFault("split", "x"));
        QVERIFY(!ParseFault("melt", ""));
    }

    // A bus of instruments 1 and 3 with the example reading, made with fault options and then
    // changed by commands. Expected: each command's result, then each instrument that answers
    // with the faults of its next two answers and channel 1's value in the first.
    void bus_data() {
        QTest::addColumn<QString>("script"); // '|'-separated options and commands
        QTest::addColumn<QString>("expected");
        QTest::newRow("fault options") << "--fault silence|--fault 3:split"
                                       << ": 1 silence silence 25.50; 3 split200 split200 25.50";
        QTest::newRow("one wins, whatever the order")
            << "--fault 3:delay|--fault-ms 400|--fault badsum|--fault 1:split:250"
            << ": 1 split250 split250 25.50; 3 delay400 delay400 25.50";
        for (const char* bad : {"2:silence", "3:", ":silence", "300:silence", "3:melt",
                                "split:", "3:split:1:2", "split:x", "x:silence"})
            QTest::addRow("refused %s", bad) << QString("--fault ") + bad << "refused";
        QTest::newRow("all") << "fault silence|next badsum"
                             << "ok ok: 1 badsum silence 25.50; 3 badsum silence 25.50";
        QTest::newRow("one") << "@3 fault silence|@1 next short|@3 channel 1 0 0 7.5"
                             << "ok ok ok: 1 short none 25.50; 3 silence silence 7.50";
        QTest::newRow("live per address") << "reading live|@1 reading zero"
                                          << "ok ok: 1 none none 0.00; 3 none none 220.00";
        QTest::newRow("refused, nothing changed")
            << "@2 fault silence|@x fault silence|@ fault silence|@3|@300 fault none|@3 address 4|"
               "@3 quit|@3 variant crc|@3 fault melt|@3fault none|address 5-2|address"
            << "error error error error error error error error error error error error: "
               "1 none none 25.50; 3 none none 25.50";
        QTest::newRow("address keeps and copies")
            << "@3 fault silence|@1 channel 1 0 0 9|address 3-4"
            << "ok ok ok: 3 silence silence 25.50; 4 none none 9.00";
        QTest::newRow("address renumbers one") << "address 1|@1 next badsum|address 42"
                                               << "ok ok ok: 42 badsum none 25.50";
    }
    void bus() {
        QFETCH(QString, script);
        QFETCH(QString, expected);
        std::vector<std::string> faults;
        std::string faultMs;
        QStringList results;
        std::optional<SimBus> bus;
        for (const QString& step : (script + '|').split('|')) { // the last one makes the bus
            if (step.startsWith("--fault-ms ")) {
                faultMs = step.mid(11).toStdString();
            } else if (step.startsWith("--fault ")) {
                faults.push_back(step.mid(8).toStdString());
            } else {
                if (!bus) {
                    const auto busFaults = ParseBusFaults(faults, faultMs, {1, 3});
                    QCOMPARE(busFaults.has_value(), expected != "refused");
                    if (!busFaults)
                        return;
                    bus.emplace(std::vector<uint32_t>{1, 3}, ReadingKind::Example, *busFaults);
                }
                if (!step.isEmpty())
                    results << (bus->Command(step.toStdString()) ? "ok" : "error");
            }
        }
        const auto name = [](const Fault& f) {
            return kFaultNames[int(f.Kind)] + (f.Ms ? QString::number(f.Ms) : QString());
        };
        QStringList shown;
        for (uint32_t address = 0; address <= 255; ++address) {
            if (const auto first = bus->AnswerFor(ProtocolVariant::Crc, address))
                shown
                    << QString("%1 %2 %3 %4")
                           .arg(address)
                           .arg(name(first->Applied))
                           .arg(name(bus->AnswerFor(ProtocolVariant::Crc, address)->Applied))
                           .arg(QByteArray::fromStdString(first->Bytes).split(';').value(1).mid(2));
        }
        QCOMPARE(results.join(' ') + ": " + shown.join("; "), expected);
    }
};

QTEST_GUILESS_MAIN(TestSimCore)
#include "test_sim_core.moc"
