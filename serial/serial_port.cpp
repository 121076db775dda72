#include "serial_port.h"

#include <QElapsedTimer>

namespace {

// waitForReadyRead is called in slices so that a vanished device is noticed promptly.
constexpr int kMaxWaitSliceMs = 100;
constexpr int kWriteSliceMs = 1000;
constexpr qint64 kQueueSize = 1024;

QSerialPort::Parity ToQt(LineParity parity) {
    switch (parity) {
    case LineParity::Odd:
        return QSerialPort::OddParity;
    case LineParity::Even:
        return QSerialPort::EvenParity;
    case LineParity::None:
        break;
    }
    return QSerialPort::NoParity;
}

bool IsFatal(QSerialPort::SerialPortError error) {
    return error == QSerialPort::ResourceError || error == QSerialPort::DeviceNotFoundError ||
           error == QSerialPort::PermissionError;
}

} // namespace

const char* const SerialPort::kCannotOpenText = "Невозможно открыть последовательный порт";
const char* const SerialPort::kCannotOpenCaption = "Ошибка";

SerialPort::SerialPort(const AppSettings& settings, MessageBox showMessage)
    : m_settings(settings), m_showMessage(std::move(showMessage)) {}

uint16_t SerialPort::ReopenPort(uint16_t speedIndex, uint16_t port) {
    return Open(PlanReopenPort(speedIndex, port, m_settings.TimeOut, m_timeouts));
}

void SerialPort::OpenPort(uint16_t port, uint16_t speedIndex, uint16_t dataBits, uint16_t parity,
                          uint16_t stopBitCode, uint16_t readTimeout) {
    Open(PlanOpenPort(port, speedIndex, dataBits, parity, stopBitCode, readTimeout, m_timeouts));
}

uint16_t SerialPort::Open(const PortOpening& opening) {
    Close();
    m_lastOpening = opening;
    m_device.clear();
    if (!opening.PortName)
        return 0; // a port number without a name: the exchange runs without a port

    const QString device = QString::fromStdString(
        DeviceForPortName(*opening.PortName, PortDeviceFromSettings(*opening.PortName)));
    m_device = device;
    m_port.setPortName(device);
    if (!m_port.open(QIODevice::ReadWrite)) {
        m_port.clearError();
        if (m_showMessage)
            m_showMessage(QString::fromUtf8(kCannotOpenText),
                          QString::fromUtf8(kCannotOpenCaption));
        return 1;
    }

    // Results of the configuring calls are not examined: a pseudo-terminal, for one, has no
    // modem lines, and the exchange should run on it all the same.
    m_timeouts = opening.Timeouts;
    m_port.setBaudRate(static_cast<qint32>(opening.Line.BaudRate));
    m_port.setDataBits(static_cast<QSerialPort::DataBits>(opening.Line.DataBits));
    m_port.setParity(ToQt(opening.Line.Parity));
    m_port.setStopBits(QSerialPort::OneStop);
    m_port.setFlowControl(QSerialPort::NoFlowControl);
    m_port.setReadBufferSize(kQueueSize);
    m_port.clear(QSerialPort::AllDirections);
    m_port.setDataTerminalReady(opening.RaiseDtrRts);
    m_port.setRequestToSend(opening.RaiseDtrRts);
    m_port.clearError();
    return 0;
}

void SerialPort::Close() {
    if (m_port.isOpen())
        m_port.close();
    m_port.clearError();
}

void SerialPort::RaiseDtrRts() {
    if (!m_port.isOpen())
        return;
    m_port.setDataTerminalReady(true);
    m_port.setRequestToSend(true);
    m_port.clearError();
}

void SerialPort::Purge() {
    if (!m_port.isOpen())
        return;
    // Discards the kernel queues and the bytes already taken into Qt's buffer.
    m_port.clear(QSerialPort::AllDirections);
    m_port.clearError();
}

void SerialPort::DropAfterFailure() {
    // The device is gone (adapter unplugged, peer closed): later cycles see no port and return
    // at once, until the operator or the next opening brings it back.
    m_port.close();
    m_port.clearError();
}

uint32_t SerialPort::Write(const uint8_t* data, uint32_t length) {
    if (!m_port.isOpen())
        return 0;
    const qint64 queued = m_port.write(reinterpret_cast<const char*>(data), length);
    if (queued < 0) {
        if (IsFatal(m_port.error()))
            DropAfterFailure();
        return 0;
    }
    while (m_port.bytesToWrite() > 0) {
        if (!m_port.waitForBytesWritten(kWriteSliceMs)) {
            if (IsFatal(m_port.error()))
                DropAfterFailure();
            break;
        }
    }
    return static_cast<uint32_t>(queued);
}

uint32_t SerialPort::Read(uint8_t* buffer, uint32_t maximum) {
    m_readTiming = ReadTiming{};
    if (!m_port.isOpen())
        return 0;
    const ReadLimits limits = ReadLimitsFor(m_timeouts, maximum);
    QElapsedTimer clock;
    clock.start();
    qint64 lastByteAt = -1;
    uint32_t got = 0;
    while (got < maximum) {
        if (m_port.bytesAvailable() > 0) {
            const qint64 n = m_port.read(reinterpret_cast<char*>(buffer) + got, maximum - got);
            if (n > 0) {
                got += static_cast<uint32_t>(n);
                lastByteAt = clock.elapsed();
                m_readTiming.LastByteNs = clock.nsecsElapsed();
                continue;
            }
        }
        const qint64 now = clock.elapsed();
        qint64 deadline = limits.TotalMs;
        if (lastByteAt >= 0 && limits.IntervalMs > 0)
            deadline = std::min<qint64>(deadline, lastByteAt + limits.IntervalMs);
        if (now >= deadline)
            break;
        if (!m_port.waitForReadyRead(
                static_cast<int>(std::min<qint64>(deadline - now, kMaxWaitSliceMs)))) {
            if (IsFatal(m_port.error())) {
                DropAfterFailure();
                break;
            }
            m_port.clearError(); // a plain time-out of this slice
        }
    }
    m_readTiming.ReturnNs = clock.nsecsElapsed();
    m_readTiming.ReturnedAt = std::chrono::steady_clock::now();
    return got;
}
