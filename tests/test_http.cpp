#include "metrics.h"
#include "sim_process.h"
#include "test_files.h"

#include <QDate>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>

namespace {

uint16_t FreePort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

// A client socket to 127.0.0.1:port; `receiveBuffer` > 0 keeps the kernel's share small.
int Connect(uint16_t port, int receiveBuffer = 0) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (receiveBuffer > 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    return fd;
}

// What the peer sent until it closed (`closed`) or `waitMs` passed.
QByteArray ReadUntilClosed(int fd, int waitMs, bool* closed = nullptr) {
    QByteArray got;
    QElapsedTimer clock;
    clock.start();
    char buffer[65536];
    ssize_t n = 1;
    for (pollfd p{fd, POLLIN, 0};
         n > 0 && ::poll(&p, 1, int(std::max<qint64>(waitMs - clock.elapsed(), 0))) > 0;)
        if ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0)
            got.append(buffer, n);
    if (closed)
        *closed = n <= 0;
    return got;
}

// Sends `request` and returns the whole answer, status line first.
QByteArray Exchange(uint16_t port, const QByteArray& request) {
    const int fd = Connect(port);
    ::send(fd, request.constData(), size_t(request.size()), MSG_NOSIGNAL);
    const QByteArray answer = ReadUntilClosed(fd, 15000);
    ::close(fd);
    return answer;
}

QByteArray Get(uint16_t port, const QByteArray& path) {
    const QByteArray answer =
        Exchange(port, "GET " + path + " HTTP/1.1\r\nHost: t\r\nConnection: close\r\n\r\n");
    return answer.mid(answer.indexOf("\r\n\r\n") + 4);
}

// One series' value from the text format, or NaN.
double Sample(const QByteArray& metrics, const QByteArray& series) {
    for (const QByteArray& line : metrics.split('\n'))
        if (line.startsWith(series + ' '))
            return line.mid(series.size() + 1).toDouble();
    return qQNaN();
}

// HTTP/1.0: the stream comes as it is, not in chunks.
const QByteArray kEvents = "GET /api/events HTTP/1.0\r\n\r\n";
const QByteArray kOk3 = R"(reader_exchanges_total{line="a",address="3",outcome="ok"})";

} // namespace

// One service for the whole program: line a (instruments 1 live, 2 silent, 3 with a fixed
// channel 1 and a sensor break on channel 2) every 200 ms, line b every 20 ms so that events
// come thick.
class TestHttp : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    std::unique_ptr<SimProcess> m_simA;
    QProcess m_simB; // quiet: polled every 20 ms, it would fill a pipe nobody reads
    QProcess m_service;
    uint16_t m_port = FreePort();
    QString m_config = m_dir.filePath("s.conf");

    QByteArray Config(const QByteArray& http) {
        return "[service]\ndata_dir=" + m_dir.filePath("data").toUtf8() +
               "\n[line a]\ndevice=" + m_dir.filePath("ttyA").toUtf8() +
               "\nvariant=crc\nspeed=115200\ntimeout=50\naddresses=1,2,3\nperiod=200\n"
               "offline_after=2\n[line b]\ndevice=" +
               m_dir.filePath("ttyB").toUtf8() +
               "\nvariant=crc\nspeed=115200\ntimeout=50\naddresses=1\nperiod=20\n[http]\nlisten="
               "127.0.0.1:" +
               QByteArray::number(m_port) + "\nmax_clients=8\n" + http;
    }
    void StartSimA() {
        m_simA = std::make_unique<SimProcess>(QStringList{
            "--address", "1,2,3", "--fault", "2:silence", "--link", m_dir.filePath("ttyA")});
        QVERIFY(m_simA->Command("@3 channel 1 0 0 42.5"));
        QVERIFY(m_simA->Command("@3 channel 2 0 4 -999.9"));
    }
    // Waits until the service's log holds `text` past what was read before.
    bool Told(const QByteArray& text) {
        QByteArray seen;
        QElapsedTimer clock;
        clock.start();
        for (seen = m_service.readAllStandardError();
             !seen.contains(text) && clock.elapsed() < 10000;
             seen += m_service.readAllStandardError())
            m_service.waitForReadyRead(100);
        return seen.contains(text);
    }
    QByteArray Status(const QByteArray& path) {
        return Exchange(m_port, "GET " + path + " HTTP/1.1\r\nConnection: close\r\n\r\n").left(12);
    }

private slots:
    void initTestCase() {
        StartSimA();
        m_simB.setStandardOutputFile(QProcess::nullDevice());
        m_simB.start(QCoreApplication::applicationDirPath() + "/instrument-sim",
                     {"--address", "1", "--link", m_dir.filePath("ttyB")});
        QTRY_VERIFY(QFile::exists(m_dir.filePath("ttyB")));
        WriteAll(m_config, Config({}));
        m_service.start(QCoreApplication::applicationDirPath() + "/reader-service",
                        {"--config", m_config});
        QTRY_VERIFY_WITH_TIMEOUT(Get(m_port, "/api/health").contains("\"ok\""), 10000);
    }
    void cleanupTestCase() {
        m_service.terminate();
        m_service.waitForFinished(5000);
        m_simB.kill();
        m_simB.waitForFinished();
    }

    // The figures as Prometheus exposes them: buckets add up, special values spelt as
    // Prometheus reads them, an instrument that never answered has no channel series.
    void metricsText_data() {
        QTest::addColumn<QByteArray>("line");
        QTest::newRow("value") << QByteArray(
            R"(reader_channel_value{line="a",address="1",channel="1"} NaN)");
        QTest::newRow("float") << QByteArray(
            R"(reader_channel_value{line="a",address="1",channel="2"} 100.1)");
        QTest::newRow("break") << QByteArray(
            R"(reader_channel_break{line="a",address="1",channel="2"} 1)");
        QTest::newRow("bucket") << QByteArray(
            R"(reader_exchange_duration_seconds_bucket{line="a",le="0.05"} 2)");
        QTest::newRow("+Inf") << QByteArray(
            R"(reader_exchange_duration_seconds_bucket{line="a",le="+Inf"} 3)");
        QTest::newRow("sum") << QByteArray(
            R"(reader_exchange_duration_seconds_sum{line="a"} 6.03)");
        QTest::newRow("no reading") << QByteArray(R"(!reader_channel_value{line="a",address="2")");
    }
    void metricsText() {
        QFETCH(QByteArray, line);
        DeviceReading reading;
        reading.Channels[0].Value = qQNaN();
        reading.Channels[1] = {0, kSensorBreakBit, 100.1f};
        MetricsInput in;
        in.Instruments.push_back({"a", 1, true, &reading, 0, {}});
        in.Instruments.push_back({"a", 2, false, nullptr, -1, {}});
        in.Lines.push_back({"a", true, {}, 0, {}});
        for (uint32_t ms : {20, 10, 6000})
            in.Lines[0].Times.Add(ms);
        const QByteArray text = QByteArray::fromStdString(MetricsText(in));
        QCOMPARE(text.contains('\n' + line.mid(line.startsWith('!'))), !line.startsWith('!'));
    }

    // What a client may and may not send.
    void requests_data() {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QByteArray>("answer"); // its start; empty: closed without one
        const QByteArray get = "GET / HTTP/1.1\r\nHost: t\r\n";
        QTest::newRow("page") << get + "\r\n" << QByteArray("HTTP/1.1 200");
        QTest::newRow("unknown") << QByteArray("GET /x HTTP/1.1\r\n\r\n")
                                 << QByteArray("HTTP/1.1 404");
        QTest::newRow("POST") << QByteArray("POST / HTTP/1.1\r\nContent-Length: 0\r\n\r\n")
                              << QByteArray("HTTP/1.1 405");
        QTest::newRow("body") << get + "Content-Length: 3\r\n\r\nabc" << QByteArray("HTTP/1.1 413");
        QTest::newRow("9 KiB header") << get + "X: " + QByteArray(9000, 'a') + "\r\n\r\n"
                                      << QByteArray("HTTP/1.1 431");
        QTest::newRow("1 MB header") << get + "X: " + QByteArray(1 << 20, 'a') + "\r\n\r\n"
                                     << QByteArray("HTTP/1.1 431");
    }
    void requests() {
        QFETCH(QByteArray, request);
        QFETCH(QByteArray, answer);
        QVERIFY2(Exchange(m_port, request).startsWith(answer), request.left(60));
    }

    // HEAD gives the headers of GET and no body; a connection serves request after request.
    void headAndKeepAlive() {
        const QByteArray twice = Exchange(
            m_port, "HEAD /api/lines HTTP/1.1\r\nHost: t\r\n\r\nGET /api/lines HTTP/1.1\r\nHost: "
                    "t\r\nConnection: close\r\n\r\n");
        QCOMPARE(twice.count("HTTP/1.1 200"), 2);
        QCOMPARE(twice.count("\"line\":\"a\""), 1);
    }

    // A real Prometheus scrapes every second: what it stored is what the simulator sent, and
    // the count lies between the service's own counts before and after.
    void prometheus() {
        const uint16_t port = FreePort();
        WriteAll(m_dir.filePath("p.yml"),
                 "scrape_configs:\n- job_name: reader\n  scrape_interval: 1s\n  static_configs:\n"
                 "  - targets: ['127.0.0.1:" +
                     QByteArray::number(m_port) + "']\n");
        QProcess prometheus;
        prometheus.start("prometheus", {"--config.file=" + m_dir.filePath("p.yml"),
                                        "--storage.tsdb.path=" + m_dir.filePath("tsdb"),
                                        "--web.listen-address=127.0.0.1:" + QString::number(port)});
        const auto query = [&](const QByteArray& q) {
            return QJsonDocument::fromJson(
                       Get(port, "/api/v1/query?query=" + QUrl::toPercentEncoding(q)))
                .object()["data"]
                .toObject()["result"]
                .toArray();
        };
        QTRY_VERIFY_WITH_TIMEOUT(!query("up").isEmpty(), 20000);
        const double before = Sample(Get(m_port, "/metrics"), kOk3);
        const double afterBefore = double(QDateTime::currentMSecsSinceEpoch()) / 1000;
        QTest::qWait(3500);
        const double beforeAfter = double(QDateTime::currentMSecsSinceEpoch()) / 1000 - 0.5;
        const double after = Sample(Get(m_port, "/metrics"), kOk3);
        int seen = 0;
        for (const QJsonValue sample : query(kOk3 + "[10s]").at(0).toObject()["values"].toArray()) {
            const double at = sample[0].toDouble(), value = sample[1].toString().toDouble();
            if (at > afterBefore && at < beforeAfter) {
                ++seen;
                QVERIFY(value >= before && value <= after);
            }
        }
        QVERIFY(seen >= 2);
        QCOMPARE(query(R"(up{job="reader"})")[0].toObject()["value"][1].toString(), QString("1"));
        QCOMPARE(query(R"(reader_channel_value{address="3",channel="1"})")[0]
                     .toObject()["value"][1]
                     .toString(),
                 QString("42.5"));
        prometheus.terminate();
        prometheus.waitForFinished(10000);

        QProcess promtool;
        promtool.start("promtool", {"check", "metrics"});
        promtool.write(Get(m_port, "/metrics"));
        promtool.closeWriteChannel();
        QVERIFY(promtool.waitForFinished(10000));
        QCOMPARE(promtool.readAll(), QByteArray());
        QCOMPARE(promtool.exitCode(), 0);
    }

    // One event per exchange, in order: each instrument's count goes up by one at a time.
    void eventsInOrder() {
        const int fd = Connect(m_port);
        ::send(fd, kEvents.constData(), size_t(kEvents.size()), MSG_NOSIGNAL);
        const QByteArray stream = ReadUntilClosed(fd, 2000);
        ::close(fd);
        QMap<QString, int> last;
        int events = 0;
        QByteArray type;
        for (const QByteArray& line : stream.split('\n'))
            if (line.startsWith("event: ")) {
                type = line.mid(7);
            } else if (line.startsWith("data: ") && type == "exchange") {
                const QJsonObject o = QJsonDocument::fromJson(line.mid(6)).object();
                int total = 0;
                for (const QJsonValue n : o["counts"].toObject())
                    total += n.toInt();
                const QString key = o["line"].toString() + QString::number(o["address"].toInt());
                QVERIFY2(!last.contains(key) || total == last[key] + 1, qPrintable(key));
                last[key] = total;
                ++events;
            }
        QVERIFY(events > 50);
    }

    // The page, live, in headless Chromium; it says so when the service stops.
    void page() {
        QProcess check;
        check.start("/usr/bin/python3", {QFINDTESTDATA("page_check.py"),
                                         "http://127.0.0.1:" + QString::number(m_port) + "/",
                                         QDir::current().filePath("reader-service-page.png")});
        QTRY_VERIFY_WITH_TIMEOUT(check.canReadLine(), 60000);
        QCOMPARE(check.readLine().trimmed(), QByteArray("ok"));
        m_service.kill();
        m_service.waitForFinished();
        check.write("stopped\n");
        QTRY_VERIFY_WITH_TIMEOUT(check.state() == QProcess::NotRunning, 60000);
        QCOMPARE(check.readAll().trimmed(), QByteArray("ok stopped"));
        m_service.start(QCoreApplication::applicationDirPath() + "/reader-service",
                        {"--config", m_config});
        QTRY_VERIFY_WITH_TIMEOUT(Get(m_port, "/api/health").contains("\"ok\""), 10000);
    }

    // Half a request, 200 connections, a stream never read: each is closed in its time (past
    // max_clients at once), and line a keeps its period meanwhile.
    void hostileClients() {
        const QByteArray dropped = "reader_http_event_streams_dropped_total";
        const double droppedBefore = Sample(Get(m_port, "/metrics"), dropped);
        const qint64 from = QDateTime::currentMSecsSinceEpoch();
        const int half = Connect(m_port);
        ::send(half, "GET / HTTP/1.1\r\nHo", 18, MSG_NOSIGNAL);
        QElapsedTimer clock;
        clock.start();
        std::vector<int> crowd;
        for (int i = 0; i < 200; ++i)
            crowd.push_back(Connect(m_port));
        QTest::qWait(500);
        int taken = 0;
        for (const int fd : crowd) {
            bool closed = false;
            ReadUntilClosed(fd, 1, &closed);
            taken += closed ? 0 : 1;
            ::close(fd);
        }
        QCOMPARE(taken, 7); // max_clients less the half request
        QTest::qWait(300);
        const int stream = Connect(m_port, 4096);
        ::send(stream, kEvents.constData(), size_t(kEvents.size()), MSG_NOSIGNAL);
        bool closed = false; // waited for in the event loop, which keeps the simulator read
        QTRY_VERIFY_WITH_TIMEOUT((ReadUntilClosed(half, 0, &closed), closed), 12000);
        QVERIFY2(clock.elapsed() >= 9500, qPrintable(QString::number(clock.elapsed())));
        QTRY_VERIFY_WITH_TIMEOUT(Sample(Get(m_port, "/metrics"), dropped) > droppedBefore, 30000);
        ::close(half);
        ::close(stream);
        const qint64 to = QDateTime::currentMSecsSinceEpoch();
        qint64 previous = 0, worst = 0;
        const QString day = QDate::currentDate().toString(Qt::ISODate);
        for (const QByteArray& row : ReadAll(m_dir.filePath("data/a/" + day + ".csv")).split('\n'))
            if (row.split(',').value(2) == "1") {
                const qint64 at =
                    QDateTime::fromString(QString::fromLatin1(row.split(',')[0]), Qt::ISODateWithMs)
                        .toMSecsSinceEpoch();
                if (at > from && at < to && previous > 0)
                    worst = std::max(worst, std::abs(at - previous - 200));
                previous = at;
            }
        QVERIFY2(worst <= 25, qPrintable(QString::number(worst)));
    }

    // A reload that leaves [http] as it was keeps the server and its streams; one that changes
    // allow puts it in force at once.
    void reload() {
        QProcess stream; // read at once, into a file: never behind
        stream.setStandardOutputFile(m_dir.filePath("events"));
        stream.start("curl",
                     {"-sN", "http://127.0.0.1:" + QString::number(m_port) + "/api/events"});
        QTest::qWait(500);
        ::kill(pid_t(m_service.processId()), SIGHUP);
        QVERIFY(Told("configuration read again"));
        const qint64 size = QFileInfo(m_dir.filePath("events")).size();
        QTest::qWait(1000);
        QVERIFY(QFileInfo(m_dir.filePath("events")).size() > size);
        QCOMPARE(stream.state(), QProcess::Running);
        stream.kill();
        stream.waitForFinished();
        WriteAll(m_config, Config("allow=10.0.0.0/8\n"));
        ::kill(pid_t(m_service.processId()), SIGHUP);
        QVERIFY(Told("listening"));
        QCOMPARE(Status("/api/health"), QByteArray());
        WriteAll(m_config, Config({}));
        ::kill(pid_t(m_service.processId()), SIGHUP);
        QVERIFY(Told("listening"));
        QCOMPARE(Status("/api/health"), QByteArray("HTTP/1.1 200"));
    }

    // /api/health follows the port: 503 with the reason while it is gone, 200 once back.
    void health() {
        m_simA.reset();
        QTRY_COMPARE_WITH_TIMEOUT(Status("/api/health"), QByteArray("HTTP/1.1 503"), 10000);
        QVERIFY(Get(m_port, "/api/health").contains("ttyA"));
        StartSimA();
        QTRY_COMPARE_WITH_TIMEOUT(Status("/api/health"), QByteArray("HTTP/1.1 200"), 20000);
    }
};

QTEST_GUILESS_MAIN(TestHttp)
#include "test_http.moc"
