#pragma once

// Runs instrument-sim for a test: waits for the device line it prints first, sends commands
// and waits for their acknowledgement, and collects the request frames it saw (verbose mode).

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStringList>

#include <csignal>
#include <functional>
#include <optional>

class SimProcess {
public:
    // The simulator is looked up beside the running program (build/bin).
    explicit SimProcess(const QStringList& arguments = {}) {
        m_process.setProgram(QCoreApplication::applicationDirPath() + "/instrument-sim");
        m_process.setArguments(QStringList{"--verbose"} + arguments);
        m_process.start();
        if (!m_process.waitForStarted(5000))
            return;
        m_device = NextLine(5000);
    }
    ~SimProcess() { Kill(); }

    QString Device() const { return m_device; }
    bool IsRunning() const { return m_process.state() == QProcess::Running; }
    // A paused simulator reads nothing: what the reader writes piles up until the line is full.
    void Pause(bool paused) { ::kill(pid_t(m_process.processId()), paused ? SIGSTOP : SIGCONT); }

    // Sends a command and waits until the simulator has taken it.
    bool Command(const QString& command) {
        m_process.write((command + "\n").toUtf8());
        while (true) {
            const QString line = NextLine(5000);
            if (line.isNull())
                return false;
            if (line == "ok " + command)
                return true;
            if (line.startsWith("error "))
                return false;
        }
    }

    // Request frames received and answers sent so far, as upper-case hex.
    QStringList Requests() {
        TakeWaitingLines();
        return m_requests;
    }
    QStringList Answers() {
        TakeWaitingLines();
        return m_answers;
    }

    void Kill() {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }

private:
    QString NextLine(int timeoutMs) {
        while (!m_process.canReadLine())
            if (!m_process.waitForReadyRead(timeoutMs))
                return QString();
        const QString line = QString::fromUtf8(m_process.readLine()).trimmed();
        Take(line);
        return line;
    }
    void Take(const QString& line) {
        if (line.startsWith("rx "))
            m_requests << line.mid(3);
        else if (line == "tx" || line.startsWith("tx "))
            m_answers << line.mid(3);
    }
    void TakeWaitingLines() {
        while (m_process.waitForReadyRead(50) || m_process.canReadLine())
            if (m_process.canReadLine())
                Take(QString::fromUtf8(m_process.readLine()).trimmed());
    }

    QProcess m_process;
    QString m_device;
    QStringList m_requests;
    QStringList m_answers;
};

// Writes dev.dat in `folder` mapping COM1 (and others) to devices, plus the given extra text.
inline bool WritePortsFile(const QString& folder, const QStringList& devices,
                           const QByteArray& extra = {}) {
    QFile file(QDir(folder).filePath("dev.dat"));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    QByteArray text = "[PORTS]\n";
    for (int i = 0; i < devices.size(); ++i)
        text += "COM" + QByteArray::number(i + 1) + "=" + devices[i].toUtf8() + "\n";
    return file.write(text + extra) == text.size() + extra.size();
}

// Runs the event loop until the transfer that `start` begins calls back with its byte count.
inline uint32_t AwaitCount(const std::function<void(std::function<void(uint32_t)>)>& start) {
    std::optional<uint32_t> count;
    start([&](uint32_t n) { count = n; });
    while (!count)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    return *count;
}
