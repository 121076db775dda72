#include "mqtt_broker.h"
#include "test_files.h"

#include <QDate>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTcpSocket>

#include <csignal>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// pymodbus: PORT UNIT FUNCTION ADDRESS COUNT [ORDER]; prints the exception, the bits or the
// registers, and with ORDER first the registers' pairs as floats read in that order.
const char kPymodbus[] = R"(
import sys
from pymodbus.client import ModbusTcpClient
from pymodbus.constants import Endian
from pymodbus.payload import BinaryPayloadDecoder
port, unit, fc, address, count = map(int, sys.argv[1:6])
c = ModbusTcpClient("127.0.0.1", port=port)
r = (c.read_discrete_inputs, c.read_holding_registers, c.read_input_registers)[fc - 2](
    address, count, slave=unit)
if len(sys.argv) > 6:
    e = lambda big: Endian.Big if big else Endian.Little
    d = BinaryPayloadDecoder.fromRegisters(r.registers, e(sys.argv[6][0] in "ac"), e(sys.argv[6][0] in "ab"))
    print(*[d.decode_32bit_float() for _ in range(count // 2)])
print(*(["exception", r.exception_code] if r.isError() else r.bits[:count] if fc == 2 else r.registers))
)";

QString Output(const QString& program, const QStringList& arguments) {
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    process.waitForFinished(10000);
    return QString::fromUtf8(process.readAll()).trimmed();
}

} // namespace

// The service on a bus of three simulated instruments (2 silent), publishing to a broker and
// answering Modbus on a free port, started once for every test.
class TestModbus : public QObject {
    Q_OBJECT

    QByteArray Config(const QByteArray& modbus) {
        return "[service]\ndata_dir=" + m_dir.filePath("data").toUtf8() +
               "\n[line a]\ndevice=" + m_dir.filePath("tty").toUtf8() +
               "\nvariant=crc\nspeed=115200\ntimeout=50\naddresses=1,2,3\nperiod=100\n"
               "offline_after=2\n[mqtt]\nhost=127.0.0.1\nbase=t\nport=" +
               QByteArray::number(m_broker.Port()) + "\n[modbus]\nidle_timeout=2\nmax_clients=3\n" +
               "listen=127.0.0.1:" + QByteArray::number(m_port) + "\n" + modbus;
    }
    bool WaitFor(const QByteArray& text, qsizetype times = 1) {
        for (int i = 0; i < 100 && m_told.count(text) < times; ++i) {
            m_service.waitForReadyRead(200);
            m_told += m_service.readAllStandardError();
        }
        return m_told.count(text) >= times;
    }
    bool Reload(const QByteArray& modbus) {
        WriteAll(m_dir.filePath("s.conf"), Config(modbus));
        const qsizetype before = m_told.count("configuration read again");
        ::kill(pid_t(m_service.processId()), SIGHUP);
        return WaitFor("configuration read again", before + 1);
    }
    // pymodbus once: "UNIT FUNCTION ADDRESS COUNT [ORDER]".
    QStringList Python(const QString& request) {
        return Output("/usr/bin/python3",
                      QStringList{"-c", kPymodbus, QString::number(m_port)} + request.split(' '))
            .split('\n');
    }
    // The rows of instrument `address` in today's CSV file.
    QList<QList<QByteArray>> Rows(int address) {
        QList<QList<QByteArray>> rows;
        for (const QByteArray& line :
             ReadAll(
                 m_dir.filePath("data/a/" + QDate::currentDate().toString(Qt::ISODate) + ".csv"))
                 .split('\n'))
            if (line.split(',').value(2) == QByteArray::number(address))
                rows << line.split(',');
        return rows;
    }
    // mbpoll once, unit 1's input registers unless `arguments` say otherwise.
    QString Mbpoll(const QStringList& arguments) {
        return Output("mbpoll", QStringList{"-m", "tcp", "-p", QString::number(m_port), "-1", "-0",
                                            "-q", "-t", "3", "-a", "1", "-r", "0", "127.0.0.1"} +
                                    arguments);
    }
    // The reply's bytes in hex to a request in hex, or "closed".
    static QString Ask(QTcpSocket& socket, const QByteArray& hex) {
        socket.write(QByteArray::fromHex(hex));
        socket.waitForReadyRead(3000);
        const QByteArray reply = socket.readAll();
        return reply.isEmpty() && socket.state() != QTcpSocket::ConnectedState ? "closed"
                                                                               : reply.toHex();
    }
    // The state message of that reading.
    QJsonObject State(int unit, int seq) {
        for (const QString& payload : m_observer->Payloads(QString("t/a/%1/state").arg(unit)))
            if (const QJsonObject state = QJsonDocument::fromJson(payload.toUtf8()).object();
                state["seq"] == seq)
                return state;
        return {};
    }
    bool Connect(QTcpSocket& socket) {
        socket.connectToHost("127.0.0.1", m_port);
        return socket.waitForConnected(3000);
    }

    QTemporaryDir m_dir;
    MqttBroker m_broker;
    std::unique_ptr<Observer> m_observer;
    QProcess m_sim; // its output, a line per exchange, is not kept
    uint16_t m_port = 0;
    QProcess m_service;
    QByteArray m_told;

private slots:
    void initTestCase() {
        m_observer = std::make_unique<Observer>(m_broker.Port());
        m_sim.setStandardOutputFile(QProcess::nullDevice());
        m_sim.start(QCoreApplication::applicationDirPath() + "/instrument-sim",
                    {"--address", "1,2,3", "--fault", "2:silence", "--reading", "live", "--link",
                     m_dir.filePath("tty")});
        QTRY_VERIFY(QFile::exists(m_dir.filePath("tty")));
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        m_port = probe.serverPort();
        probe.close();
        WriteAll(m_dir.filePath("s.conf"), Config({}));
        m_service.start(QCoreApplication::applicationDirPath() + "/reader-service",
                        {"--config", m_dir.filePath("s.conf")});
        QVERIFY(WaitFor("Modbus: listening on 127.0.0.1:") && WaitFor("a/3 online"));
    }
    void cleanupTestCase() {
        m_service.terminate();
        QVERIFY(m_service.waitForFinished(5000));
        QCOMPARE(m_service.exitCode(), 0);
        m_sim.close();
    }

    // Frames as they cross the wire: the answer's first bytes, or the connection closed.
    void frames_data() {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QString>("reply");
        QTest::newRow("online") << QByteArray("000100000006010400390001")
                                << "0001000000050104020001";
        QTest::newRow("write") << QByteArray("0003000000060106000a0001") << "000300000003018601";
        QTest::newRow("device id") << QByteArray("000400000005012b0e0100") << "00040000000301ab01";
        QTest::newRow("count 0") << QByteArray("000600000006010300000000") << "000600000003018303";
        QTest::newRow("unit 9") << QByteArray("000900000006090400000001") << "00090000000309840a";
        QTest::newRow("never answered")
            << QByteArray("000a00000006020400000001") << "000a0000000302840b";
        QTest::newRow("its line") << QByteArray("000b00000006020400400001")
                                  << "000b000000050204020001";
        QTest::newRow("protocol id") << QByteArray("000c00010006010400390001") << "closed";
        QTest::newRow("length field") << QByteArray("000d00000007010400390001") << "closed";
        QTest::newRow("short length") << QByteArray("000f00000005010600000001") << "closed";
        QTest::newRow("exception code") << QByteArray("000e000000020184") << "closed";
    }
    void frames() {
        QFETCH(QByteArray, request);
        QFETCH(QString, reply);
        QTcpSocket socket;
        QVERIFY(Connect(socket));
        QCOMPARE(Ask(socket, request).left(reply.size()), reply);
    }

    // Real clients: mbpoll (libmodbus) and pymodbus.
    void clients_data() {
        QTest::addColumn<QString>("request"); // mbpoll's options, or pymodbus's request
        QTest::addColumn<QString>("expected");
        QTest::newRow("unit 7") << "-a 7"
                                << "Gateway path unavailable";
        QTest::newRow("silent") << "-a 2"
                                << "Target device failed to respond";
        QTest::newRow("write") << "-t 4 5"
                               << "Illegal function";
        QTest::newRow("coils") << "-t 0"
                               << "Illegal function";
        QTest::newRow("past 127") << "-r 120 -c 9"
                                  << "Illegal data address";
        QTest::newRow("py 126") << "1 4 0 126"
                                << "exception 3";
        QTest::newRow("py bits") << "3 2 60 9"
                                 << "exception 2";
        QTest::newRow("py online") << "3 3 57 1"
                                   << "1";
    }
    void clients() {
        QFETCH(QString, request);
        QFETCH(QString, expected);
        const QString heard =
            request.startsWith('-') ? Mbpoll(request.split(' ')) : Python(request).join('\n');
        QVERIFY2(heard.contains(expected), qPrintable(heard));
    }

    // One read's values, error codes, relays and keys equal those the same exchange (by its
    // seq) published on MQTT and wrote to the CSV.
    void sameAsMqttAndCsv() {
        for (int unit : {1, 3}) {
            const QStringList lines = Python(QString("%1 4 0 61 abcd").arg(unit));
            const QStringList floats = lines.value(0).split(' '), words = lines.value(1).split(' ');
            QCOMPARE(words.size(), 61);
            QCOMPARE(floats.size(), 30);
            const int seq = words[58].toInt() << 16 | words[59].toInt();
            QJsonObject state;
            QTRY_VERIFY_WITH_TIMEOUT(!(state = State(unit, seq)).isEmpty(), 5000);
            QList<QList<QByteArray>> rows = Rows(unit);
            rows.removeIf([](const QList<QByteArray>& row) { return row.value(5) != "ok"; });
            const QList<QByteArray> row = rows.value(seq - 1);
            for (int n = 0; n < 12; ++n) {
                const QJsonObject channel = state["channels"].toArray().at(n).toObject();
                QCOMPARE(floats[n].toFloat(), float(channel["value"].toDouble()));
                QCOMPARE(floats[n].toFloat(), row.value(6 + 3 * n).toFloat());
                QCOMPARE(words[36 + n].toInt(), channel["error"].toInt());
            }
            const QJsonArray relays = state["relays"].toArray(), keys = state["keys"].toArray();
            QCOMPARE(relays.size(), 16);
            QCOMPARE(keys.size(), 10);
            for (int i = 0; i < 16; ++i) { // keys: 10, the word's bits 10-15 0
                QCOMPARE(bool(words[51].toInt() >> i & 1), relays.at(i).toBool());
                QCOMPARE(bool(words[54].toInt() >> i & 1), i < 10 && keys.at(i).toBool());
            }
        }
    }

    // Each float order as clients read it: the floats agree with the x10 integers. A reload
    // that leaves the listener as it was keeps a connection open through it.
    void floatOrders_data() {
        QTest::addColumn<QString>("order");
        for (const char* order : {"cdab", "badc", "dcba", "abcd"})
            QTest::newRow(order) << order;
    }
    void floatOrders() {
        QFETCH(QString, order);
        QTcpSocket kept;
        QVERIFY(Connect(kept));
        QVERIFY(Reload("float_order=" + order.toUtf8() + "\n"));
        QCOMPARE(Ask(kept, "000100000006010400390001"), QString("0001000000050104020001"));
        const QStringList lines = Python("1 3 0 36 " + order);
        const QStringList floats = lines.value(0).split(' '), words = lines.value(1).split(' ');
        QVERIFY2(floats.size() == 18 && words.size() == 36, qPrintable(lines.join('\n')));
        for (int n = 0; n < 12; ++n)
            QVERIFY2(qAbs(floats[n].toDouble() * 10 - qint16(words[24 + n].toInt())) <= 0.5001,
                     qPrintable(lines.join('\n')));
        if (order == "abcd" || order == "cdab") { // mbpoll reads these two, within the drift
            auto values = QRegularExpression("\\]: \t(\\S+)")
                              .globalMatch(Mbpoll(
                                  {"-t", "3:float", "-c", "12", order == "abcd" ? "-B" : "-1"}));
            for (int n = 0; n < 12; ++n)
                QVERIFY(values.hasNext() &&
                        qAbs(values.next().captured(1).toDouble() - floats[n].toDouble()) < 10);
        }
    }

    // An offline instrument: exception 0B, or its last values with online 0 and the age
    // growing; one that never answered is 0B either way.
    void offline_data() {
        QTest::addColumn<QString>("mode");
        QTest::newRow("exception") << "exception";
        QTest::newRow("stale") << "stale";
    }
    void offline() {
        QFETCH(QString, mode);
        QVERIFY(Reload("offline=" + mode.toUtf8() + "\n"));
        m_sim.write("@3 fault silence\n");
        QTRY_COMPARE_WITH_TIMEOUT(Python("3 4 57 1").value(0),
                                  mode == "stale" ? "0" : "exception 11", 5000);
        const QStringList before = Python("3 4 0 64").value(0).split(' ');
        QTest::qWait(1200);
        const QStringList after = Python("3 4 0 64").value(0).split(' ');
        QCOMPARE(Python("2 4 0 1").value(0), QString("exception 11"));
        m_sim.write("@3 fault none\n");
        if (mode == "stale") {
            QCOMPARE(after.mid(0, 56), before.mid(0, 56));
            QVERIFY(after[56].toInt() >= before[56].toInt() + 10);
        }
        QTRY_COMPARE_WITH_TIMEOUT(Python("3 4 57 1").value(0), QString("1"), 5000);
    }

    // Clients that send half a frame or nothing are closed at idle_timeout, one beyond
    // max_clients at once, and the line keeps its period meanwhile; a peer outside allow is
    // refused.
    void hostileClients() {
        // One sends requests and never reads, until its answers fill the sockets, then closes
        // its side: it stops counting at once, and is closed after idle_timeout.
        const int greedy = socket(AF_INET, SOCK_STREAM, 0);
        const int small = 4096;
        setsockopt(greedy, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        sockaddr_in to{AF_INET, htons(m_port), {htonl(INADDR_LOOPBACK)}, {}};
        QVERIFY(::connect(greedy, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0);
        const QByteArray requests = QByteArray::fromHex("000100000006010400390001").repeated(12000);
        QVERIFY(send(greedy, requests.data(), size_t(requests.size()), 0) == requests.size());
        shutdown(greedy, SHUT_WR);
        QTest::qWait(500);
        QTcpSocket silent, half, third, fourth;
        QVERIFY(Connect(silent) && Connect(half) && Connect(third));
        QCOMPARE(Ask(third, "000100000006010400390001"), QString("0001000000050104020001"));
        half.write(QByteArray::fromHex("0001000000"));
        QElapsedTimer clock;
        clock.start();
        QVERIFY(Connect(fourth) && fourth.waitForDisconnected(1000) && clock.elapsed() < 1000);
        for (QTcpSocket* socket : {&silent, &half, &third})
            QVERIFY(socket->state() == QTcpSocket::UnconnectedState ||
                    socket->waitForDisconnected(4000));
        QVERIFY(clock.elapsed() >= 1900);
        pollfd closed{greedy, 0, 0};
        QVERIFY(poll(&closed, 1, 2000) == 1 && (closed.revents & POLLHUP));
        close(greedy);
        QList<qint64> sent; // instrument 1's visits while they were connected
        for (const QList<QByteArray>& row : Rows(1))
            sent << QDateTime::fromString(row[0], Qt::ISODateWithMs).toMSecsSinceEpoch();
        for (qsizetype i = std::max<qsizetype>(1, sent.size() - 24); i < sent.size(); ++i)
            QVERIFY(sent[i] - sent[i - 1] < 150);

        QVERIFY(Reload("allow=10.0.0.0/8\n"));
        QTcpSocket outsider;
        QVERIFY(Connect(outsider) && outsider.waitForDisconnected(1000));
        QVERIFY(WaitFor("from 127.0.0.1: not in allow"));
        QVERIFY(Reload({}));
    }
};

QTEST_GUILESS_MAIN(TestModbus)
#include "test_modbus.moc"
