// The exchange cycle end to end: the window, its port and instrument-sim on a pseudo-terminal.
// Most cycles are begun by calling the timer handler rather than waiting for the timer.
#include "form_fixture.h"
#include "sim_process.h"
#include "stall_probe.h"

#include <QComboBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTest>
#include <QTimer>

Q_DECLARE_METATYPE(ProtocolVariant)

namespace {

const QString kNoAnswer = "Ответа нет";
// The status texts one cycle shows, in order.
const QString kParsedCycle = "Передача запроса > Пришел ответ > Ответ разобран";
const QString kParseFailedCycle = "Передача запроса > Пришел ответ > Ошибка при разборе ответа";
const QString kNoAnswerCycle = "Передача запроса > Ответа нет";

// dev.dat for a reader on the simulator. Speed index 11 on a fresh port leaves no gap limit
// and no per-byte part, so a silent read lasts exactly TimeOut ms: quick tests of silence.
QByteArray DevDat(const QString& device, int spd, int timeOut, int useLog = 0,
                  const QByteArray& logName = "COM.txt") {
    return "[PORTS]\nCOM1=" + device.toUtf8() + "\n[COM_SETTINGS]\nSpd=" + QByteArray::number(spd) +
           "\n[SETTINGS]\nTimeOut=" + QByteArray::number(timeOut) +
           "\n[LOG]\nUseLogFile=" + QByteArray::number(useLog) + "\nLogFileName=" + logName + "\n";
}

struct Bench {
    Bench(ProtocolVariant variant, int spd, int timeOut, int useLog = 0,
          const QByteArray& logName = "COM.txt", std::function<LocalTime()> clock = LocalTimeNow)
        : sim({"--reading", "example"}),
          fixture(variant, DevDat(sim.Device(), spd, timeOut, useLog, logName), std::move(clock)) {
        QObject::connect(fixture.form->StatusBar1, &QStatusBar::messageChanged,
                         [this](const QString& text) { shown << text; });
    }

    void Start() { QTest::mouseClick(fixture.form->Button1, Qt::LeftButton); }
    // One tick; the status texts shown during it, in order.
    QString Cycle() {
        shown.clear();
        fixture.Tick();
        return shown.join(" > ");
    }
    ReaderState& State() { return *fixture.state; }

    SimProcess sim;
    QStringList shown; // outlives the window, whose closing ends a cycle
    FormFixture fixture;
};

} // namespace

class TestExchange : public QObject {
    Q_OBJECT
private slots:
    void variants_data() {
        QTest::addColumn<ProtocolVariant>("variant");
        QTest::addColumn<QString>("request");
        QTest::addColumn<bool>("linesAfterPick"); // DTR and RTS after a speed pick
        QTest::newRow("crc") << ProtocolVariant::Crc << "FFFFFFFF3A313B3432333B0D" << false;
        QTest::newRow("sum") << ProtocolVariant::Sum << "FFFFFFFF3E313B36430D" << true;
    }
    void variants() {
        QFETCH(ProtocolVariant, variant);
        QFETCH(QString, request);
        QFETCH(bool, linesAfterPick);
        Bench b(variant, 7, 300);
        TForm1& w = *b.fixture.form;
        const SerialPort& port = b.fixture.state->Port;
        QCOMPARE(port.LastModemLines(), (SerialPort::ModemLines{true, true})); // start-up

        QCOMPARE(b.Cycle(), QString()); // stopped: a tick does nothing
        QCOMPARE(w.Timer4->interval(), 50);
        QVERIFY(b.sim.Requests().isEmpty());

        b.Start();
        QCOMPARE(w.Button1->text(), QString("Закончить обмен"));
        QCOMPARE(b.Cycle(), kParsedCycle);
        QCOMPARE(b.sim.Requests(), QStringList{request});
        QCOMPARE(b.fixture.Text(1), QString("25.50"));
        QCOMPARE(b.fixture.Text(10), QString("b"));
        QCOMPARE(w.Timer4->interval(), 500);
        QVERIFY(w.Timer4->isActive());
        QCOMPARE(b.fixture.Counters(), QString("1/0"));

        QVERIFY(b.sim.Command("next badsum"));
        QCOMPARE(b.Cycle(), kParseFailedCycle);
        QCOMPARE(b.fixture.Counters(), QString("2/1"));

        // A network number picked in the list goes into the next request.
        QVERIFY(b.sim.Command("address 42"));
        emit w.ComboBox3->activated(42);
        QCOMPARE(b.Cycle(), kParsedCycle);
        QVERIFY(b.sim.Requests().last().contains(variant == ProtocolVariant::Crc ? "3A34323B"
                                                                                 : "3E34323B"));

        // A speed picked between cycles reopens the port; the exchange carries on.
        emit w.ComboBox2->activated(3);
        QCOMPARE(b.Cycle(), kParsedCycle);
        QCOMPARE(port.LastOpening()->Line.BaudRate, 38400u);
        QCOMPARE(port.LastModemLines(), (SerialPort::ModemLines{linesAfterPick, linesAfterPick}));

        // Stop keeps the counters and the status; start resets both.
        QTest::mouseClick(w.Button1, Qt::LeftButton);
        QCOMPARE(w.Button1->text(), QString("Начать обмен"));
        QCOMPARE(b.Cycle(), QString()); // the tick after a stop runs no cycle
        QCOMPARE(w.Timer4->interval(), 50);
        QCOMPARE(b.fixture.Counters(), QString("4/1"));
        b.Start();
        QCOMPARE(b.fixture.Counters(), QString("0/0"));
    }

    // Silence and a too short answer: the short one repaints, silence keeps the picture.
    void silenceKeepsTheReading() {
        Bench b(ProtocolVariant::Crc, 11, 200);
        b.Start();
        QCOMPARE(b.Cycle(), kParsedCycle);
        QCOMPARE(b.fixture.Text(57), QString("3"));
        QVERIFY(b.sim.Command("next silence"));
        QCOMPARE(b.Cycle(), kNoAnswerCycle);
        QCOMPARE(b.fixture.Text(57), QString("3"));
        QCOMPARE(b.fixture.Text(1), QString("25.50"));
        QVERIFY(b.sim.Command("next short"));
        QCOMPARE(b.Cycle(), kParseFailedCycle);
        QCOMPARE(b.fixture.Text(57), QString("0")); // status values cleared, the rest kept
        QCOMPARE(b.fixture.Text(1), QString("25.50"));
        // An answer that comes after the read has ended is purged before the next request, so
        // the next answer is read alone.
        QVERIFY(b.sim.Command("next delay 300"));
        QCOMPARE(b.Cycle(), kNoAnswerCycle);
        QTest::qWait(250);
        QCOMPARE(b.Cycle(), kParsedCycle);
    }

    void noPortStillCounts() {
        FormFixture f(ProtocolVariant::Sum,
                      "[PORTS]\nCOM1=/nonexistent/tty\n[LOG]\nUseLogFile=0\n");
        QCOMPARE(f.portMessages.size(), 1);
        QTest::mouseClick(f.form->Button1, Qt::LeftButton);
        for (int i = 0; i < 3; ++i)
            f.Tick();
        QCOMPARE(f.form->StatusBar1->currentMessage(), kNoAnswer);
        QCOMPARE(f.Counters(), QString("3/3"));
    }

    // The log, byte for byte, with a clock that gives known stamps.
    void logBytes() {
        int tick = 0; // 06 12 2026 14-03-07.250, then a second and 5 ms later each time
        auto clock = [&tick] {
            const int t = tick++;
            return LocalTime{2026, 12, 0, 6, 14, 3, uint16_t(7 + t), uint16_t(250 + 5 * t)};
        };
        Bench b(ProtocolVariant::Crc, 11, 200, 1, "COM.txt", clock);
        b.Start();
        QVERIFY(b.sim.Command("next silence"));
        QCOMPARE(b.Cycle(), kNoAnswerCycle);
        QCOMPARE(b.Cycle(), kParsedCycle);
        const QByteArray request = "\xFF\xFF\xFF\xFF:1;423;\r";
        QByteArray answer = "!810100030050200000301;0025.50;04100.10;B0-3.25;000.00;000.00;000.00;"
                            "000.00;000.00;000.00;000.00;000.00;000.00;";
        const QByteArray expected =
            "\r\r\n____________________________\r\r\n06 12 2026 14-03-07.250 \r\r\nSend:\r\r\n" +
            request + "\r\r\n06 12 2026 14-03-08.255 \r\r\nexc time 1005 mS\r\r\nAnsw:\r\r\n" +
            "\r\r\n____________________________\r\r\n06 12 2026 14-03-09.260 \r\r\nSend:\r\r\n" +
            request + "\r\r\n06 12 2026 14-03-10.265 \r\r\nexc time 1005 mS\r\r\nAnsw:\r\r\n" +
            answer;
        const QByteArray bytes = ReadAll(b.fixture.folder.filePath("COM.txt"));
        QVERIFY2(bytes.startsWith(expected), bytes.toPercentEncoding());
        QVERIFY(bytes.endsWith("\r")); // the answer's CR, no line end after it
        QVERIFY(QRegularExpression("^[0-9]+\r$")
                    .match(QString::fromLatin1(bytes.mid(expected.size())))
                    .hasMatch());
    }

    void logSwitchAndBadNames_data() {
        QTest::addColumn<int>("useLog");
        QTest::addColumn<QByteArray>("logName");
        QTest::addColumn<bool>("created");
        QTest::newRow("off") << 0 << QByteArray("COM.txt") << false;
        QTest::newRow("2 is off") << 2 << QByteArray("COM.txt") << false;
        QTest::newRow("empty name") << 1 << QByteArray("") << false;
        QTest::newRow("missing folder") << 1 << QByteArray("no/such/dir/log.txt") << false;
        QTest::newRow("on") << 1 << QByteArray("logs.txt") << true;
    }
    void logSwitchAndBadNames() {
        QFETCH(int, useLog);
        QFETCH(QByteArray, logName);
        QFETCH(bool, created);
        Bench b(ProtocolVariant::Crc, 7, 300, useLog, logName);
        b.Start();
        QCOMPARE(b.Cycle(), kParsedCycle);
        const QStringList files = QDir(b.fixture.folder.path()).entryList(QDir::Files);
        QCOMPARE(files.size(), created ? 2 : 1); // dev.dat, and the log when it is on
        QVERIFY(b.fixture.errors.isEmpty());
    }

    // The window keeps answering while the exchange runs: the event loop is never held up by a
    // read, whatever the instrument does. A blocking read would stall it for the whole silent
    // read (600 ms here), far above the bound.
    void eventLoopNeverStalls_data() {
        QTest::addColumn<QString>("fault"); // for every answer; "vanish": the instrument is gone
        QTest::addColumn<int>("spd");       // 11: no gap limit, a silent read lasts TimeOut
        QTest::newRow("silence") << "silence" << 11;
        QTest::newRow("long answer") << "long" << 7;
        QTest::newRow("split answer") << "split 100" << 7;
        QTest::newRow("port vanishes") << "vanish" << 7;
    }
    void eventLoopNeverStalls() {
        QFETCH(QString, fault);
        QFETCH(int, spd);
        Bench b(ProtocolVariant::Crc, spd, 600);
        if (fault == "vanish")
            b.sim.Kill();
        else
            QVERIFY(b.sim.Command("fault " + fault));
        QSignalSpy cycles(b.fixture.form.get(), &TForm1::CycleEnded);
        StallProbe probe;
        b.Start(); // the real timer runs the cycles from here
        while (cycles.count() < 2)
            QVERIFY(cycles.wait(10000));
        QCOMPARE(b.State().Counters.RequestCount, 2u);
        QVERIFY2(probe.LargestGapMs() < 200, QByteArray::number(probe.LargestGapMs()));
    }

    // A pick or a click during an exchange takes effect when the cycle has ended, in the order
    // given; the port is never reopened under the read.
    void inputWaitsForTheCycle() {
        Bench b(ProtocolVariant::Crc, 11, 400);
        QVERIFY(b.sim.Command("fault silence"));
        TForm1& w = *b.fixture.form;
        b.Start();
        w.Timer4Timer();
        QVERIFY(b.State().Exchange.InFlight());
        emit w.ComboBox2->activated(3);               // 38400
        emit w.ComboBox2->activated(0);               // then 4800
        QTest::mouseClick(w.Button1, Qt::LeftButton); // stop
        QCOMPARE(b.fixture.state->Port.LastOpening()->Line.BaudRate, 19200u);
        QCOMPARE(b.State().ExchangeActive, 1);
        QSignalSpy ended(&w, &TForm1::CycleEnded);
        QVERIFY(ended.wait(5000));
        QCOMPARE(b.fixture.state->Port.LastOpening()->Line.BaudRate, 4800u);
        QCOMPARE(b.State().ExchangeActive, 0);
        QCOMPARE(w.Button1->text(), QString("Начать обмен"));
    }

    // A close request (the close box, a signal) while the request is being written ends the
    // cycle at once: no read is started after it, the cycle finishes with no answer and its log
    // record is whole. (TestPrograms::signalDuringSilentRead ends a silent read so.)
    void closeWhileWriting() {
        Bench b(ProtocolVariant::Crc, 7, 30000, 1); // the read would last 34.8 s
        QVERIFY(b.sim.Command("fault silence"));
        b.Start();
        b.shown.clear();
        b.fixture.form->Timer4Timer();
        QVERIFY(b.State().Exchange.InFlight());
        QElapsedTimer timer;
        timer.start();
        b.State().Exchange.Abort(); // what the window's closing does first
        QVERIFY(!b.State().Exchange.InFlight());
        b.fixture.form->close();
        QVERIFY2(timer.elapsed() < 200, QByteArray::number(timer.elapsed()));
        QCOMPARE(b.shown.join(" > "), kNoAnswerCycle);
        QCOMPARE(b.State().Counters.ErrorCount, 1u);
        const QByteArray bytes = ReadAll(b.fixture.folder.filePath("COM.txt"));
        QCOMPARE(bytes.count("Send:"), 1);
        QCOMPARE(bytes.count("Answ:"), 1);
        QVERIFY(bytes.endsWith(" mS\r\r\nAnsw:\r\r\n"));
    }

    // The real timer: it runs from the start; once started, each cycle begins 500 ms after the
    // previous one ended.
    void timerCadence() {
        QList<qint64> starts, ends; // outlive the window, whose closing ends a cycle
        Bench b(ProtocolVariant::Crc, 7, 300);
        TForm1& w = *b.fixture.form;
        QVERIFY(w.Timer4->isActive());
        QElapsedTimer clock;
        clock.start();
        connect(w.StatusBar1, &QStatusBar::messageChanged, &w, [&](const QString& text) {
            if (text == "Передача запроса")
                starts << clock.elapsed();
        });
        connect(&w, &TForm1::CycleEnded, &w, [&] { ends << clock.elapsed(); });
        b.Start();
        QTRY_VERIFY_WITH_TIMEOUT(starts.size() == 3, 10000);
        QVERIFY2(starts[0] < 200, QByteArray::number(starts[0])); // the first within a tick
        for (int i = 0; i < 2; ++i) {
            const qint64 pause = starts[i + 1] - ends[i];
            QVERIFY2(pause >= 495 && pause < 2000, QByteArray::number(pause));
        }
    }
};

QTEST_MAIN(TestExchange)
#include "test_exchange.moc"
