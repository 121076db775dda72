#pragma once

// Reading and writing whole files in tests, and the dev.dat a first start writes.

#include <QFile>
#include <QTest>
#include <QThread>

inline const QByteArray kFreshDevDat =
    "[COM_SETTINGS]\nPort=1\nSpd=7\nPar=0\n[DEVICE]\nNetAdrr=1\n"
    "[SETTINGS]\nTimeOut=1000\n[LOG]\nUseLogFile=1\nLogFileName=COM.txt\n";

inline QByteArray ReadAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline void WriteAll(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
}

// Waits until the process has a handler for `signal`, so that one sent now is caught, not fatal.
inline bool CatchesSignal(qint64 pid, int signal) {
    for (int tries = 0; tries < 2000; ++tries) {
        for (const QByteArray& line : ReadAll(QString("/proc/%1/status").arg(pid)).split('\n'))
            if (line.startsWith("SigCgt:") &&
                (line.mid(7).trimmed().toULongLong(nullptr, 16) >> (signal - 1)) & 1)
                return true;
        QThread::msleep(10);
    }
    return false;
}
