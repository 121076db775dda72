#pragma once

// Reading and writing whole files in tests, and the dev.dat a first start writes.

#include <QFile>
#include <QTest>

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
