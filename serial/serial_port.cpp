#include "serial_port.h"

#include <algorithm>
#include <climits>

namespace {

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

// Errors after which the device is gone (adapter unplugged, peer closed). A hung-up line keeps
// reporting ReadError on every turn of the event loop, so it counts as gone too.
bool IsFatal(QSerialPort::SerialPortError error) {
    return error == QSerialPort::ResourceError || error == QSerialPort::DeviceNotFoundError ||
           error == QSerialPort::PermissionError || error == QSerialPort::ReadError ||
           error == QSerialPort::WriteError;
}

} // namespace

const char* const SerialPort::kCannotOpenText = "Невозможно открыть последовательный порт";
const char* const SerialPort::kCannotOpenCaption = "Ошибка";

SerialPort::SerialPort(DeviceResolver resolveDevice, MessageBox showMessage)
    : m_resolveDevice(std::move(resolveDevice)), m_showMessage(std::move(showMessage)) {
    // Precise timers: a coarse one may fire 5 % early or late, and the interval time-out
    // decides how soon a read returns after the answer's last byte.
    for (QTimer* timer : {&m_deadline, &m_gap}) {
        timer->setSingleShot(true);
        timer->setTimerType(Qt::PreciseTimer);
    }
    QObject::connect(&m_deadline, &QTimer::timeout, &m_deadline, [this] {
        if (m_transfer == Transfer::Write)
            m_port.clear(QSerialPort::Output); // what the port did not take is not sent later
        Finish(false);
    });
    QObject::connect(&m_gap, &QTimer::timeout, &m_gap, [this] { Finish(false); });
    QObject::connect(&m_port, &QSerialPort::readyRead, &m_port, [this] { OnReadyRead(); });
    QObject::connect(&m_port, &QSerialPort::bytesWritten, &m_port,
                     [this](qint64 count) { OnBytesWritten(count); });
    QObject::connect(&m_port, &QSerialPort::errorOccurred, &m_port,
                     [this](QSerialPort::SerialPortError error) { OnError(error); });
}

uint16_t SerialPort::ReopenPort(uint16_t speedIndex, uint16_t port, uint16_t timeOut) {
    return Open(PlanReopenPort(speedIndex, port, timeOut, m_timeouts));
}

void SerialPort::OpenPort(uint16_t port, uint16_t speedIndex, uint16_t dataBits, uint16_t parity,
                          uint16_t stopBitCode, uint16_t readTimeout) {
    Open(PlanOpenPort(port, speedIndex, dataBits, parity, stopBitCode, readTimeout, m_timeouts));
}

uint16_t SerialPort::Open(const PortOpening& opening) {
    Abort(); // never reopened under a transfer in flight
    Close();
    // A drop still queued for the previous opening must not close this one.
    ++m_openingNumber;
    m_dropPosted = false;
    m_lastOpening = opening;
    m_device.clear();
    if (!opening.PortName)
        return 0; // a port number without a name: the exchange runs without a port

    const QString device = QString::fromStdString(
        m_resolveDevice ? m_resolveDevice(*opening.PortName) : *opening.PortName);
    m_device = device;
    m_port.setPortName(device);
    m_openError.clear();
    if (!m_port.open(QIODevice::ReadWrite)) {
        m_openError = m_port.errorString();
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
    m_port.setReadBufferSize(kQueueBytes);
    m_port.clear(QSerialPort::AllDirections);
    SetModemLines(opening.RaiseDtrRts, opening.RaiseDtrRts);
    m_port.clearError();
    return 0;
}

void SerialPort::SetModemLines(bool dtr, bool rts) {
    m_modemLines = {dtr, rts};
    m_port.setDataTerminalReady(dtr);
    m_port.setRequestToSend(rts);
    m_port.clearError();
}

void SerialPort::Close() {
    if (m_port.isOpen())
        m_port.close();
    m_port.clearError();
}

void SerialPort::RaiseDtrRts() {
    if (m_port.isOpen())
        SetModemLines(true, true);
}

void SerialPort::Purge() {
    if (!m_port.isOpen())
        return;
    // Discards the kernel queues and the bytes already taken into Qt's buffer.
    m_port.clear(QSerialPort::AllDirections);
    m_port.clearError();
}

void SerialPort::DropAfterFailure() {
    // Later exchanges see no port and end at once, until the operator or the next opening
    // brings it back.
    m_port.close();
    m_port.clearError();
}

void SerialPort::StartWrite(const uint8_t* data, uint32_t length, Completion done) {
    Abort();
    m_transfer = Transfer::Write;
    m_done = std::move(done);
    m_count = 0;
    m_maximum = length;
    if (!m_port.isOpen() || length == 0 ||
        m_port.write(reinterpret_cast<const char*>(data), length) < 0) {
        Finish(false);
        return;
    }
    // Qt hands the bytes to the device from the event loop; bytesWritten tells how far it got.
    m_writeStallMs =
        int(WriteStallLimitMs(m_lastOpening ? m_lastOpening->Line : LineSettings{}, length));
    m_deadline.start(m_writeStallMs);
}

void SerialPort::OnBytesWritten(qint64 count) {
    if (m_transfer != Transfer::Write)
        return;
    m_count += static_cast<uint32_t>(count);
    if (m_count >= m_maximum || m_port.bytesToWrite() == 0)
        Finish(true);
    else
        m_deadline.start(m_writeStallMs);
}

void SerialPort::StartRead(uint8_t* buffer, uint32_t maximum, Completion done) {
    Abort();
    m_transfer = Transfer::Read;
    m_done = std::move(done);
    m_count = 0;
    m_maximum = maximum;
    m_readBuffer = buffer;
    m_readTiming = ReadTiming{};
    m_readFailed = !m_port.isOpen();
    m_clock.start();
    if (!m_port.isOpen() || maximum == 0) {
        Finish(false);
        return;
    }
    const ReadLimits limits = ReadLimitsFor(m_timeouts, maximum);
    m_intervalMs = limits.IntervalMs;
    m_deadline.start(static_cast<int>(std::min<uint32_t>(limits.TotalMs, INT32_MAX)));
    if (m_port.bytesAvailable() > 0)
        TakeAvailable(false);
}

void SerialPort::OnReadyRead() {
    if (m_transfer == Transfer::Read)
        TakeAvailable(true);
}

void SerialPort::TakeAvailable(bool insideSignal) {
    const qint64 n =
        m_port.read(reinterpret_cast<char*>(m_readBuffer) + m_count, m_maximum - m_count);
    if (n <= 0)
        return;
    m_count += static_cast<uint32_t>(n);
    m_readTiming.LastByteNs = m_clock.nsecsElapsed();
    if (m_count >= m_maximum)
        Finish(insideSignal);
    else if (m_intervalMs > 0)
        m_gap.start(static_cast<int>(std::min<uint32_t>(m_intervalMs, INT32_MAX)));
}

void SerialPort::OnError(QSerialPort::SerialPortError error) {
    if (!IsFatal(error) || m_dropPosted)
        return;
    // Closing the port inside its own signal would pull it from under Qt's notifier code.
    m_dropPosted = true;
    QMetaObject::invokeMethod(
        &m_deadline,
        [this, opening = m_openingNumber] {
            if (opening != m_openingNumber)
                return; // the port has been reopened since: the new opening is healthy
            m_dropPosted = false;
            DropAfterFailure();
            if (m_transfer == Transfer::Read) {
                // A failed read has read nothing: a fragment that came before the failure is
                // no answer, and is kept out of the buffer the parser sees.
                std::fill_n(m_readBuffer, m_count, uint8_t(0));
                m_count = 0;
                m_readFailed = true;
            }
            if (m_transfer != Transfer::None)
                Finish(false);
        },
        Qt::QueuedConnection);
}

void SerialPort::Finish(bool insideSignal) {
    m_deadline.stop();
    m_gap.stop();
    if (m_transfer == Transfer::Read) {
        m_readTiming.ReturnNs = m_clock.nsecsElapsed();
        m_readTiming.ReturnedAt = std::chrono::steady_clock::now();
    }
    m_transfer = Transfer::None;
    m_pending = Pending{std::move(m_done), m_count};
    m_done = nullptr;
    if (insideSignal)
        QMetaObject::invokeMethod(
            &m_deadline, [this] { RunPending(); }, Qt::QueuedConnection);
    else
        RunPending();
}

void SerialPort::RunPending() {
    if (!m_pending)
        return;
    Pending pending = std::move(*m_pending);
    m_pending.reset();
    if (pending.done)
        pending.done(pending.count);
}

void SerialPort::Abort() {
    if (m_transfer == Transfer::Write)
        m_port.clear(QSerialPort::Output);
    if (m_transfer != Transfer::None)
        Finish(false);
    else
        RunPending();
}
