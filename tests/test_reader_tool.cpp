// reader-tool on logs the exchange cycle wrote against instrument-sim, and instrument-sim
// replaying such a log.
#include "reader_state.h"
#include "sim_core.h"
#include "sim_process.h"
#include "test_files.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Cycles against the simulator with the exchange log on: each entry is a simulator command for
// that cycle (or none). Speed index 11 leaves no gap limit, so each read takes everything that
// comes within TimeOut.
void RunCycles(const QString& folder, SimProcess& sim, const QStringList& commands,
               const QByteArray& settings = "[COM_SETTINGS]\nSpd=11\n[SETTINGS]\nTimeOut=250\n") {
    QVERIFY(WritePortsFile(folder, {sim.Device()}, settings));
    const QString old = QDir::currentPath();
    QDir::setCurrent(folder); // dev.dat and the log are the current folder's
    ReaderState state(ProtocolVariant::Crc);
    LoadSettings(state.Settings);
    state.Port.ReopenPort(state.Settings.Spd, state.Settings.Port, state.Settings.TimeOut);
    for (const QString& command : commands) {
        if (!command.isEmpty())
            QVERIFY(sim.Command(command));
        state.BeginExchange({});
        while (state.Exchange.InFlight())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    QDir::setCurrent(old);
}

struct Finished {
    bool InTime = false; // ended within the bound
    int Status = -1;     // exit status; -1 when it did not exit normally
    QByteArray Out, Err;
};

// Runs a program of build/bin to its end (killed after `ms`), stdin and stdout optionally
// files.
Finished Run(const QString& program, const QStringList& arguments, const QString& in = {},
             const QString& out = {}, int ms = 20000) {
    QProcess process;
    if (!in.isEmpty())
        process.setStandardInputFile(in);
    if (!out.isEmpty())
        process.setStandardOutputFile(out);
    process.start(QCoreApplication::applicationDirPath() + "/" + program, arguments);
    Finished done;
    done.InTime = process.waitForFinished(ms);
    if (!done.InTime) {
        process.kill();
        process.waitForFinished();
    }
    if (process.exitStatus() == QProcess::NormalExit)
        done.Status = process.exitCode();
    done.Out = process.readAllStandardOutput();
    done.Err = process.readAllStandardError();
    return done;
}

Finished Tool(const QStringList& arguments) {
    return Run("reader-tool", arguments);
}

// A crc answer with a good checksum whose channels hold the given texts (the rest 0).
QByteArray Answer(const QList<QByteArray>& values = {}) {
    QByteArray frame = "!" + QByteArray(21, '0') + ";";
    for (int ch = 0; ch < 12; ++ch)
        frame += "00" + (ch < values.size() ? values[ch] : QByteArray("0")) + ";";
    return frame + QByteArray::number(InstrumentCrc(frame.toStdString())) + "\r";
}

// One record as the readers log it, stamped "DD MM YYYY HH-MM-SS.mmm", of a crc request to the
// instrument at `network`.
QByteArray Record(const QByteArray& stamp, const QByteArray& ms = "24",
                  const QByteArray& answer = Answer(), int network = 1) {
    return "\r\r\n____________________________\r\r\n" + stamp +
           " \r\r\nSend:\r\r\n\xFF\xFF\xFF\xFF:" + QByteArray::number(network) + ";423;\r\r\r\n" +
           stamp + " \r\r\nexc time " + ms + " mS\r\r\nAnsw:\r\r\n" + answer;
}

// Instruments 1 and 2 polled in turn on one line; instrument 2's second answer has a channel 1
// value that does not convert, and instrument 1's third answer did not come.
QByteArray TwoInstruments() {
    const auto at = [](const char* time) { return QByteArray("06 12 2026 14-03-") + time; };
    return Record(at("00.000"), "20", Answer({"10"}), 1) +
           Record(at("00.500"), "30", Answer({"20"}), 2) +
           Record(at("01.000"), "20", Answer({"11"}), 1) +
           Record(at("01.500"), "40", Answer({"x"}), 2) + Record(at("02.000"), "20", "", 1) +
           Record(at("04.000"), "30", Answer({"22"}), 2);
}

// Records on 6 December 2026 from 14:03:00.000, at the given milliseconds after it.
QByteArray Polled(const QList<int>& atMs) {
    QByteArray log;
    for (int ms : atMs)
        log += Record(QString::asprintf("06 12 2026 14-%02d-%02d.%03d", 3 + ms / 60000,
                                        ms / 1000 % 60, ms % 1000)
                          .toLatin1());
    return log;
}

// The CSV rows (header left out), split into fields.
QList<QStringList> Rows(const QByteArray& csv) {
    QList<QStringList> rows;
    const QList<QByteArray> lines = csv.split('\n');
    for (qsizetype i = 1; i < lines.size(); ++i)
        if (!lines[i].trimmed().isEmpty())
            rows << QString::fromLatin1(lines[i].trimmed()).split(',');
    return rows;
}

// Columns of a row: 1 exchange_ms, 5 outcome, 6 + 3n channel n+1's value, 42 keys, 47 relays,
// 48 request hex, 49 answer hex.
constexpr int kOutcome = 5, kKeys = 42, kRelays = 47, kAnswerHex = 49;

} // namespace

class TestReaderTool : public QObject {
    Q_OBJECT
private slots:
    void roundTripAndReplay() {
        QTemporaryDir first, second;
        // A simulator command for each cycle, and the outcome the cycle's row shows.
        const QStringList steps =
            QString("reading example: ok|channel 2 0 4 12.5: ok|reading live: ok|"
                    "next silence: no-answer|next badsum: checksum-mismatch|"
                    "next short: too-short|next noise: ok|next split 50: ok|next delay 50: ok|"
                    "next long: no-frame|next garbage: no-frame")
                .split('|');
        QStringList commands;
        for (const QString& step : steps)
            commands << step.section(": ", 0, 0);
        SimProcess sim({"--reading", "zero"});
        RunCycles(first.path(), sim, commands);
        const QStringList sent = sim.Answers();
        QCOMPARE(sent.size(), steps.size());

        const QList<QStringList> rows = Rows(Tool({"csv", "--raw", first.filePath("COM.txt")}).Out);
        QCOMPARE(rows.size(), steps.size());
        for (qsizetype i = 0; i < steps.size(); ++i) {
            QCOMPARE(rows[i][kOutcome], steps[i].section(": ", 1));
            // Byte for byte what the simulator sent, of which a read takes 200 bytes at most.
            QCOMPARE(rows[i][kAnswerHex], sent[i].left(400));
        }
        QCOMPARE(rows[0][6], QString("25.5")); // channel 1 of the example
        QCOMPARE(rows[0][kKeys], QString("129"));
        QCOMPARE(rows[0][kRelays], QString("769"));
        QCOMPARE(rows[1].mid(9, 3), (QStringList{"12.5", "0", "4"})); // channel 2 as set
        QVERIFY(rows[3][6].isEmpty());                                // no answer: no reading

        // The log played again: the same answers, so the same readings.
        SimProcess replay({"--replay", first.filePath("COM.txt")});
        RunCycles(second.path(), replay, QStringList(steps.size(), QString()));
        const QList<QStringList> again =
            Rows(Tool({"csv", "--raw", second.filePath("COM.txt")}).Out);
        QCOMPARE(again.size(), rows.size());
        for (qsizetype i = 0; i < rows.size(); ++i)
            QCOMPARE(again[i].mid(kOutcome), rows[i].mid(kOutcome));
    }

    // Every command explains itself; a log that cannot be read stops the job with status 2 and
    // leaves nothing at -o; map writes its line and keeps the rest.
    void commandLine() {
        for (const char* command : {"csv", "stats", "plot", "ports", "map"}) {
            const Finished help = Tool({command, "--help"});
            QVERIFY(help.Status == 0 && help.Out.startsWith("usage: reader-tool"));
        }
        QCOMPARE(Tool({"--version"}).Out, QByteArray("reader-tool " READER_VERSION "\n"));
        QTemporaryDir folder;
        QCOMPARE(Tool({"csv", "-o", folder.filePath("out.csv"), folder.filePath("missing")}).Status,
                 2);
        QCOMPARE(QDir(folder.path()).entryList(QDir::Files), QStringList());

        const QString devDat = folder.filePath("dev.dat");
        WriteAll(devDat, "; mine\n[PORTS]\nCOM1=/dev/ttyS0\n");
        QCOMPARE(Tool({"map", "com2", "/dev/serial/by-id/usb-adapter", "--file", devDat}).Status,
                 0);
        QCOMPARE(ReadAll(devDat),
                 "; mine\n[PORTS]\nCOM1=/dev/ttyS0\nCOM2=/dev/serial/by-id/usb-adapter\n");
        QCOMPARE(Tool({"map", "COM17", "/dev/ttyS1", "--file", devDat}).Status, 2);
        // Stored as the readers and ports read it back: blanks and enclosing quotes go.
        QCOMPARE(Tool({"map", "COM1", "  \"/dev/ttyUSB0\"  ", "--file", devDat}).Status, 0);
        QCOMPARE(ReadAll(devDat),
                 "; mine\n[PORTS]\nCOM1=/dev/ttyUSB0\nCOM2=/dev/serial/by-id/usb-adapter\n");
        QVERIFY(QFile::resize(devDat, qint64(280) << 20)); // sparse: no disk space taken
        const Finished large = Tool({"map", "COM1", "/dev/ttyS1", "--file", devDat});
        QVERIFY(large.Status == 2 && large.Err.contains("too large"));
    }

    // Figures and rows of small logs, against values worked out by hand.
    void outputs_data() {
        QTest::addColumn<QByteArray>("log");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QStringList>("texts"); // in the output; "!text": not in it
        QTest::newRow("dates around January and February")
            << Record("31 12 2027 23-59-59.500") + Record("01 01 2028 00-00-00.250") +
                   Record("29 02 2028 12-00-00.000") + Record("01 03 2028 00-00-00.000")
            << QStringList{"stats", "--json"}
            << QStringList{"\"first\":\"2027-12-31T23:59:59.500\"",
                           "\"last\":\"2028-03-01T00:00:00.000\"", "\"span_ms\":5184000500",
                           "\"longest_gaps\":[{\"from\":\"2028-01-01T00:00:00.250\""};
        QByteArray tenTimes;
        for (int i = 1; i <= 10; ++i)
            tenTimes += Record(QString::asprintf("29 02 2028 10-00-%02d.000", i).toLatin1(),
                               QByteArray::number(i * 10));
        QTest::newRow("exchange times by nearest rank")
            << tenTimes << QStringList{"stats", "--json"}
            << QStringList{"\"first\":\"2028-02-29T10:00:01.000\"",
                           "\"exchange_ms\":{\"min\":10,\"median\":50,\"p95\":100,\"p99\":100,"
                           "\"max\":100}"};
        QTest::newRow("a gap is over twice the median period")
            << Polled({0, 500, 1000, 1500, 2500, 3501}) << QStringList{"stats", "--json"}
            << QStringList{"\"median_period_ms\":500,\"gap_threshold_ms\":1000,\"gaps\":1,"};
        QTest::newRow("an invalid stamp between valid ones")
            << Polled({0, 500, 1000}) + Record("00 00 0000 00-00-00.000") +
                   Polled({2000, 3000, 4000})
            << QStringList{"stats", "--json"}
            << QStringList{"\"median_period_ms\":1000,\"gap_threshold_ms\":2000,\"gaps\":0,"};
        QTest::newRow("inf and NaN are no good readings")
            << Record("06 12 2026 14-03-00.000", "24", Answer({"1"})) +
                   Record("06 12 2026 14-03-01.000", "24", Answer({"inf"})) +
                   Record("06 12 2026 14-03-02.000", "24", Answer({"nan"})) +
                   Record("06 12 2026 14-03-03.000", "24", Answer({"3"}))
            << QStringList{"stats", "--json"}
            << QStringList{"{\"channel\":1,\"good\":2,\"min\":1,\"mean\":2.000000,\"max\":3}"};
        QTest::newRow("a stamp that is no date")
            << Record("00 00 0000 00-00-00.000") + Record("06 12 2026 14-03-07.250")
            << QStringList{"stats"}
            << QStringList{"invalid stamps      1 ", "time span           2026-12-06T14:03:07.250 ",
                           "!65535"};
        QTest::newRow("two instruments, each on its own")
            << TwoInstruments() << QStringList{"stats"}
            << QStringList{"exchanges           6 (malformed parts: 0)\n",
                           "answered            5 of 6 (83.3 %)\n",
                           "polling period, ms  median 500; 1 gaps over 1000: 2000 from "
                           "2026-12-06T14:03:02.000\nnetworks            1, 2\n\n",
                           "network 1\nexchanges           3\nanswered            2 of 3 (66.7 %)\n"
                           "outcomes            ok 2, no-answer 1, too-short 0, no-frame 0, "
                           "checksum-mismatch 0, unknown-request 0\n"
                           "exchange time, ms   min 20, median 20, p95 20, p99 20, max 20\n"
                           "polling period, ms  median 1000; 0 gaps over 2000\n"
                           "channel   good readings          min         mean          max\n"
                           "      1               2       10.000       10.500       11.000\n",
                           "network 2\nexchanges           3\nanswered            3 of 3 (100.0 "
                           "%)\n",
                           "exchange time, ms   min 30, median 30, p95 40, p99 40, max 40\n"
                           "polling period, ms  median 1000; 1 gaps over 2000: 2500 from "
                           "2026-12-06T14:03:01.500\n",
                           "      1               3       20.000       20.667       22.000\n"};
        QTest::newRow("two instruments, as JSON")
            << TwoInstruments() << QStringList{"stats", "--json"}
            << QStringList{"{\"exchanges\":6,", "\"polling\":{\"median_period_ms\":500,",
                           "\"networks\":[{\"network\":1,\"exchanges\":3,\"answered\":2,",
                           "{\"network\":2,\"exchanges\":3,\"answered\":3,",
                           "\"polling\":{\"median_period_ms\":1000,\"gap_threshold_ms\":2000,"
                           "\"gaps\":1,\"longest_gaps\":[{\"from\":\"2026-12-06T14:03:01.500\","
                           "\"ms\":2500}]},\"channels\":[{\"channel\":1,\"good\":3,\"min\":20,"
                           "\"mean\":20.666667,\"max\":22}"};
        QTest::newRow("two instruments, one chosen")
            << TwoInstruments() << QStringList{"stats", "--network", "2"}
            << QStringList{"exchanges           3 (malformed parts: 0)\n",
                           "      1               3       20.000       20.667       22.000\n",
                           "!network"};
    }
    void outputs() {
        QFETCH(QByteArray, log);
        QFETCH(QStringList, arguments);
        QTemporaryDir folder;
        const QString path = folder.filePath("COM.txt");
        WriteAll(path, log);
        const Finished run = Tool(arguments << path);
        QCOMPARE(run.Status, 0);
        const QString out = QString::fromLatin1(run.Out);
        QFETCH(QStringList, texts);
        for (const QString& text : texts)
            QVERIFY2(text.startsWith('!') ? !out.contains(text.mid(1)) : out.contains(text),
                     qPrintable(text + " / " + out));
    }

    // Each instrument keeps its own reading; --network picks one; plot draws one at a time.
    void networks_data() {
        QTest::addColumn<QString>("command"); // OUT stands for a folder to write into
        QTest::addColumn<int>("status");
        QTest::addColumn<QStringList>("rows"); // network and channel 1's value of each CSV row
        QTest::newRow("all") << "csv" << 0
                             << QStringList{"1 10", "2 20", "1 11", "2 20", "1 ", "2 22"};
        QTest::newRow("--network 2")
            << "csv --network 2" << 0 << QStringList{"2 20", "2 20", "2 22"};
        QTest::newRow("--network 0, not in the log") << "csv --network 0" << 0 << QStringList{};
        for (const char* bad : {"256", "-1", "01x", "", "1000000000000"})
            QTest::addRow("--network '%s'", bad)
                << QString("stats --network ") + bad << 2 << QStringList{};
        QTest::newRow("plot of two instruments") << "plot -o OUT/chart.svg" << 2 << QStringList{};
        QTest::newRow("plot of one of them")
            << "plot --network 1 -o OUT/chart.svg" << 0 << QStringList{};
    }
    void networks() {
        QFETCH(QString, command);
        QTemporaryDir dir;
        WriteAll(dir.filePath("COM.txt"), TwoInstruments());
        QStringList arguments = command.split(' ').replaceInStrings("OUT", dir.path());
        const Finished run = Tool(arguments << dir.filePath("COM.txt"));
        QTEST(run.Status, "status");
        QStringList rows;
        if (arguments[0] == "csv")
            for (const QStringList& row : Rows(run.Out))
                rows << row[2] + ' ' + row[6];
        QTEST(rows, "rows");
        QCOMPARE(QFileInfo::exists(dir.filePath("chart.svg")),
                 run.Status == 0 && !arguments.contains("csv"));
    }

    // Nothing at -o or at a planted name is lost, whatever the job meets; failures are status 2.
    void outputSafety_data() {
        QTest::addColumn<QString>("command"); // "setup: arguments"; LOG, OUT, FILE, FOLDER: paths
        QTest::addColumn<int>("status");
        QTest::newRow("csv -o its input") << "csv -o LOG LOG" << 2;
        QTest::newRow("csv --follow -o its input") << "csv --follow -o LOG LOG" << 2;
        QTest::newRow("-o a link to the input") << "link-to-log: stats -o OUT LOG" << 2;
        QTest::newRow("the input on standard input") << "stdin: csv -o LOG -" << 2;
        QTest::newRow("-o a FIFO") << "fifo: csv -o OUT LOG" << 2;
        QTest::newRow("--follow -o, missing log") << "csv --follow -o FILE FOLDER/missing" << 2;
        QTest::newRow("planted temporary, failed job") << "planted: csv -o OUT FOLDER/missing" << 2;
        QTest::newRow("planted temporary, good job") << "planted: csv -o OUT LOG" << 0;
        QTest::newRow("csv to a full device") << "full: csv LOG" << 2;
        QTest::newRow("stats to a full device") << "full: stats LOG" << 2;
        QTest::newRow("ports to a full device") << "full: ports --file FILE" << 2;
        QTest::newRow("-o a link stays a link") << "link-to-file: csv -o OUT LOG" << 0;
    }
    void outputSafety() {
        QFETCH(QString, command);
        const QString setup = command.contains(": ") ? command.section(": ", 0, 0) : QString();
        QTemporaryDir dir;
        const QString log = dir.filePath("COM.txt"), out = dir.filePath("out.csv"),
                      file = dir.filePath("file"), folder = dir.filePath("folder");
        const QByteArray logBytes = Polled({0, 500}), fileBytes = "keep me\n";
        WriteAll(log, logBytes);
        WriteAll(file, fileBytes);
        QVERIFY(QDir().mkdir(folder));
        if (setup == "link-to-log")
            QVERIFY(QFile::link(log, out));
        if (setup == "link-to-file") {
            QVERIFY(QFile::link(file, out));
            QVERIFY(QFile::setPermissions(file, QFile::ReadOwner | QFile::WriteOwner));
        }
        if (setup == "planted")
            QVERIFY(QFile::link(file, out + ".part"));
        if (setup == "fifo")
            QCOMPARE(mkfifo(out.toLocal8Bit().constData(), 0644), 0);
        QStringList arguments = command.section(": ", -1).split(' ');
        arguments.replaceInStrings("LOG", log).replaceInStrings("OUT", out);
        arguments.replaceInStrings("FILE", file).replaceInStrings("FOLDER", folder);
        const QStringList before =
            QDir(dir.path()).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
        const Finished run = Run("reader-tool", arguments, setup == "stdin" ? log : QString(),
                                 setup == "full" ? "/dev/full" : QString());
        QVERIFY(run.InTime);
        QTEST(run.Status, "status");
        if (run.Status != 0)
            QCOMPARE(run.Err.count('\n'), 1);
        QCOMPARE(ReadAll(log), logBytes);
        QStringList after =
            QDir(dir.path()).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
        if (run.Status == 0 && !before.contains("out.csv"))
            after.removeOne("out.csv");
        QCOMPARE(after, before);
        if (setup == "link-to-file") { // the link's target replaced, with its permissions
            QVERIFY(QFileInfo(out).isSymLink());
            QVERIFY(ReadAll(file).startsWith("sent,exchange_ms,"));
            QCOMPARE(QFile::permissions(file),
                     QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser);
        } else {
            QCOMPARE(ReadAll(file), fileBytes);
        }
        if (setup == "fifo")
            QVERIFY(QFileInfo(out).exists() && !QFileInfo(out).isFile()); // still the FIFO
    }

    // Charts of awkward logs end in bounded time as small files.
    void chartLimits_data() {
        QTest::addColumn<QByteArray>("log");
        QTest::addColumn<QString>("label"); // a tick label the chart must show
        QTest::newRow("eight days")
            << Record("06 12 2026 00-00-00.000") + Record("14 12 2026 00-00-00.000")
            << "2026-12-09";
        QTest::newRow("a year") << Record("01 01 2026 00-00-00.000") +
                                       Record("01 07 2026 00-00-00.000") +
                                       Record("01 01 2027 00-00-00.000")
                                << "start 2026-01-01T00:00:00.000";
        QByteArray flat, wrongYear;
        for (int i = 0; i < 39; ++i) {
            const QByteArray stamp = QString::asprintf("06 12 2026 14-03-%02d.000", i).toLatin1();
            flat += Record(stamp, "24", Answer(QList<QByteArray>(12, "1e20")));
            wrongYear += Record(i == 20 ? "06 12 2036 14-03-20.000" : stamp);
        }
        QTest::newRow("flat at 1e20") << flat << "1.000e+20";
        QByteArray between;
        for (int i = 0; i < 30; ++i) {
            const QByteArray stamp = QString::asprintf("06 12 2026 14-03-%02d.000", i).toLatin1();
            const QByteArray value = QByteArray::number(12.3 + i * 0.22, 'f', 2);
            between += Record(stamp, "24", Answer(QList<QByteArray>(12, value)));
        }
        QTest::newRow("values 12.3 to 18.7, between ticks") << between << ">16</text>";
        QTest::newRow("one stamp ten years off")
            << wrongYear << "1 exchanges outside the time axis (stamp invalid or distant)";
    }
    void chartLimits() {
        QFETCH(QByteArray, log);
        QTemporaryDir dir;
        WriteAll(dir.filePath("COM.txt"), log);
        for (const char* chart : {"chart.svg", "chart.png"}) {
            const Finished run = Tool({"plot", "-o", dir.filePath(chart), dir.filePath("COM.txt")});
            QVERIFY(run.InTime);
            QCOMPARE(run.Status, 0);
            QVERIFY(QFileInfo(dir.filePath(chart)).size() < 200000);
        }
        const QString svg = QString::fromUtf8(ReadAll(dir.filePath("chart.svg")));
        QFETCH(QString, label);
        QVERIFY2(svg.contains(label), qPrintable(label));
        QVERIFY(svg.count("<text") < 60);
        // Every horizontal grid line lies inside a panel's frame (its black lines), every tick
        // label on the left beside one.
        QList<double> frames, grid, labels;
        const QRegularExpression line(
            "<rect x=\"[^\"]*\" y=\"([^\"]*)\" width=\"[^\"]*\" height=\"1.0\" "
            "fill=\"#(000000|dcdcdc)\""),
            tickLabel("<text x=\"([^\"]*)\" y=\"([^\"]*)\" [^>]*text-anchor=\"end\">");
        for (const QRegularExpressionMatch& m : line.globalMatch(svg))
            (m.captured(2) == "000000" ? frames : grid) << m.captured(1).toDouble();
        for (const QRegularExpressionMatch& m : tickLabel.globalMatch(svg))
            if (m.captured(1).toDouble() < 100) // left of the panels
                labels << m.captured(2).toDouble();
        QCOMPARE(frames.size(), 4); // top and bottom of the values, then of the exchange times
        const auto inPanel = [&](double y, double below) {
            return (y >= frames[0] && y <= frames[1] + below) ||
                   (y >= frames[2] && y <= frames[3] + below);
        };
        for (double y : grid)
            QVERIFY2(inPanel(y, 0), qPrintable(QString::number(y)));
        for (double y : labels)
            QVERIFY2(inPanel(y, 12), qPrintable(QString::number(y)));
    }

    // --follow reads a log again from its start when it is rewritten or replaced, and says so.
    void followRewrites_data() {
        QTest::addColumn<QString>("change");
        QTest::addColumn<int>("records"); // in the new file
        QTest::newRow("rewritten shorter") << "rewrite" << 5;
        QTest::newRow("rewritten longer") << "rewrite" << 20;
        QTest::newRow("renamed, a new one made") << "rename" << 10;
    }
    void followRewrites() {
        QFETCH(QString, change);
        QFETCH(int, records);
        QTemporaryDir dir;
        const QString log = dir.filePath("COM.txt");
        QList<int> first, second;
        for (int i = 0; i < 10; ++i)
            first << i * 500;
        for (int i = 0; i < records; ++i)
            second << 30000 + i * 500;
        WriteAll(log, Polled(first));
        QProcess tool;
        tool.start(QCoreApplication::applicationDirPath() + "/reader-tool",
                   {"csv", "--follow", log});
        const auto waitForLines = [&](int lines) {
            QByteArray out;
            for (QElapsedTimer t; t.isValid() ? t.elapsed() < 20000 : (t.start(), true);) {
                tool.waitForReadyRead(200);
                out += tool.readAllStandardOutput();
                if (out.count('\n') >= lines)
                    break;
            }
            return out;
        };
        QByteArray out = waitForLines(11);           // the header and ten rows
        const int late = change == "rename" ? 3 : 0; // added just before the old log goes
        if (change == "rename") {
            QFile old(log);
            QVERIFY(old.open(QIODevice::Append) && old.write(Polled({5000, 5500, 6000})) > 0);
            old.close();
            QVERIFY(QFile::rename(log, log + ".1"));
        }
        WriteAll(log, Polled(second));
        out += waitForLines(late + records);
        tool.terminate();
        QVERIFY(tool.waitForFinished(20000));
        out += tool.readAllStandardOutput();
        const QList<QStringList> rows = Rows(out);
        QCOMPARE(rows.size(), 10 + late + records);
        if (late)
            QCOMPARE(rows[10][0], QString("2026-12-06T14:03:05.000"));
        QCOMPARE(rows[10 + late][0], QString("2026-12-06T14:03:30.000")); // the new file's first
        QCOMPARE(rows.last()[kOutcome], QString("ok"));
        const QByteArray err = tool.readAllStandardError();
        QCOMPARE(err.count(change == "rename" ? "was replaced" : "was rewritten"), 1);
        QCOMPARE(err.count('\n'), 1);
    }

    // csv --follow -o: a write past the file-size limit after the file was published leaves the
    // rows written before it, whole, and ends with status 2.
    void followOutputCutShort() {
        QTemporaryDir dir;
        const QString log = dir.filePath("COM.txt"), out = dir.filePath("out.csv");
        WriteAll(log, Polled({0, 500, 1000}));
        const QByteArray published = Tool({"csv", log}).Out;
        QProcess tool;
        tool.setChildProcessModifier([limit = rlim_t(published.size() + 40)] {
            std::signal(SIGXFSZ, SIG_DFL);
            const rlimit bound{limit, limit};
            setrlimit(RLIMIT_FSIZE, &bound);
        });
        tool.start(QCoreApplication::applicationDirPath() + "/reader-tool",
                   {"csv", "--follow", "-o", out, log});
        QTRY_COMPARE_WITH_TIMEOUT(ReadAll(out), published, 20000);
        QFile grow(log);
        QVERIFY(grow.open(QIODevice::Append) && grow.write(Polled({1500, 2000, 2500})) > 0);
        grow.close();
        QVERIFY(tool.waitForFinished(20000));
        QCOMPARE(tool.exitStatus(), QProcess::NormalExit);
        QCOMPARE(tool.exitCode(), 2);
        QCOMPARE(ReadAll(out), published);
    }

    // A first SIGTERM or SIGINT ends a program blocked in an open or a read: status 2.
    void signalsWhileBlocked_data() {
        QTest::addColumn<QString>("command"); // FIFO stands for a FIFO without a writer
        QTest::addColumn<int>("signal");
        QTest::newRow("stats opening a FIFO, SIGTERM") << "reader-tool stats FIFO" << int(SIGTERM);
        QTest::newRow("csv opening a FIFO, SIGINT")
            << "reader-tool csv -o FIFO.csv FIFO" << int(SIGINT);
        QTest::newRow("csv reading a silent pipe, SIGTERM") << "reader-tool csv -" << int(SIGTERM);
        QTest::newRow("replay opening a FIFO, SIGINT")
            << "instrument-sim --replay FIFO" << int(SIGINT);
        QTest::newRow("replay opening a FIFO, SIGTERM")
            << "instrument-sim --replay FIFO" << int(SIGTERM);
    }
    void signalsWhileBlocked() {
        QFETCH(QString, command);
        QFETCH(int, signal);
        QTemporaryDir dir;
        const QString fifo = dir.filePath("fifo");
        QCOMPARE(mkfifo(fifo.toLocal8Bit().constData(), 0644), 0);
        QStringList arguments = command.split(' ').replaceInStrings("FIFO", fifo);
        QProcess process; // its standard input: a pipe that stays open and silent
        process.start(QCoreApplication::applicationDirPath() + "/" + arguments.takeFirst(),
                      arguments);
        QVERIFY(process.waitForStarted());
        QVERIFY(CatchesSignal(process.processId(), signal));
        ::kill(pid_t(process.processId()), signal);
        QVERIFY(process.waitForFinished(20000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 2);
        QVERIFY(process.readAllStandardError().contains("interrupted"));
        QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot),
                 QStringList{"fifo"});
    }

    // instrument-sim refuses a log to replay without records and option values that are not
    // numbers, lists or faults of its bus: status 2 and no device line. A recorded time is held
    // to the replay cap.
    void simRefusalsAndReplayCap() {
        QTemporaryDir dir;
        WriteAll(dir.filePath("garbage.txt"), "no record here\n");
        for (const QStringList& bad : QList<QStringList>{{"--replay", dir.path()},
                                                         {"--replay", dir.filePath("garbage.txt")},
                                                         {"--address", "x"},
                                                         {"--address", "1-3", "--fault", "4:short"},
                                                         {"--fault-ms", "x"},
                                                         {"--turnaround", "-5"},
                                                         {"--baud", "fast"},
                                                         {"--replay-cap", "x"}}) {
            const Finished run = Run("instrument-sim", bad);
            QVERIFY2(run.Status == 2 && run.Out.isEmpty(), qPrintable(bad.join(' ')));
        }
        WriteAll(dir.filePath("COM.txt"),
                 Record("06 12 2026 14-03-00.000", "86399000", Answer({"1"})) +
                     Record("06 12 2026 14-03-01.000", "30", Answer({"2"})));
        QTemporaryDir second;
        SimProcess sim(
            {"--replay", dir.filePath("COM.txt"), "--replay-timing", "--replay-cap", "100"});
        RunCycles(second.path(), sim, {QString(), QString()});
        const QList<QStringList> rows = Rows(Tool({"csv", second.filePath("COM.txt")}).Out);
        QCOMPARE(rows.size(), 2);
        QCOMPARE(rows[0][6], QString("1"));
        QCOMPARE(rows[1][6], QString("2"));
    }

    // On a bus of its own, --turnaround holds every answer back by that long. (At 115200 Bd a
    // read ends 12 ms after the answer's last byte.)
    void simTurnaroundOnBus() {
        QTemporaryDir dir;
        SimProcess sim({"--address", "1-3", "--turnaround", "200"});
        RunCycles(dir.path(), sim, {QString(), QString(), QString()},
                  "[COM_SETTINGS]\nSpd=10\n[SETTINGS]\nTimeOut=1000\n");
        const QList<QStringList> rows = Rows(Tool({"csv", dir.filePath("COM.txt")}).Out);
        QCOMPARE(rows.size(), 3);
        for (const QStringList& row : rows) {
            QCOMPARE(row[kOutcome], QString("ok"));
            QVERIFY2(row[1].toInt() >= 200, qPrintable(row[1]));
        }
    }
};

QTEST_GUILESS_MAIN(TestReaderTool)
#include "test_reader_tool.moc"
