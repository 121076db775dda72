#pragma once

// A mosquitto broker for a test: on 127.0.0.1, on a free ephemeral port, with a temporary
// configuration; started, stopped and started again on the same port. Never the machine's own
// broker nor port 1883.

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>

#include <csignal>

class MqttBroker {
public:
    MqttBroker() {
        QTcpServer probe;
        if (probe.listen(QHostAddress::LocalHost, 0))
            m_port = probe.serverPort();
        probe.close();
        {
            QFile config(m_dir.filePath("mosquitto.conf"));
            if (config.open(QIODevice::WriteOnly))
                config.write("listener " + QByteArray::number(m_port) +
                             " 127.0.0.1\nallow_anonymous true\npersistence false\n");
        }
        Start();
    }
    ~MqttBroker() { Stop(); }

    uint16_t Port() const { return m_port; }

    // Starts the broker and waits until it takes connections.
    bool Start() {
        m_process.start("/usr/sbin/mosquitto", {"-c", m_dir.filePath("mosquitto.conf")});
        if (!m_process.waitForStarted(5000))
            return false;
        QElapsedTimer waited;
        waited.start();
        while (waited.elapsed() < 10000 && m_process.state() == QProcess::Running) {
            QTcpSocket socket;
            socket.connectToHost(QHostAddress::LocalHost, m_port);
            if (socket.waitForConnected(200))
                return true;
            QThread::msleep(20);
        }
        return false;
    }
    // SIGTERM, as an administrator's restart does.
    void Stop() {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.terminate();
        if (!m_process.waitForFinished(5000)) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }
    // A frozen broker reads nothing and acknowledges nothing; killing it loses what it had.
    void Freeze() { ::kill(pid_t(m_process.processId()), SIGSTOP); }
    void Kill() {
        m_process.kill();
        m_process.waitForFinished(5000);
    }

private:
    QTemporaryDir m_dir;
    QProcess m_process;
    uint16_t m_port = 0;
};
