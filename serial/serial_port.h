#pragma once

#include "app_settings.h"
#include "port_plan.h"

#include <QSerialPort>

#include <chrono>
#include <functional>
#include <optional>
#include <string>

// The one serial port of the program. Openings are planned by port_plan and applied here; the
// exchange then only purges, writes and reads. Reads follow the time-out record: they end at
// the byte count, at the gap limit after a byte, or at the total limit.
class SerialPort {
public:
    // Shows the operator a message box; supplied by the window so this layer shows no widget.
    using MessageBox = std::function<void(const QString& text, const QString& caption)>;

    static const char* const kCannotOpenText; // "Невозможно открыть последовательный порт"
    static const char* const kCannotOpenCaption; // "Ошибка"

    SerialPort(const AppSettings& settings, MessageBox showMessage);
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // Returns 1 when the port could not be opened and the message box was shown, else 0.
    uint16_t ReopenPort(uint16_t speedIndex, uint16_t port);
    void OpenPort(uint16_t port, uint16_t speedIndex, uint16_t dataBits, uint16_t parity,
                  uint16_t stopBitCode, uint16_t readTimeout);

    void SetMessageBox(MessageBox showMessage) { m_showMessage = std::move(showMessage); }

    void Close();
    bool IsOpen() const { return m_port.isOpen(); }
    void RaiseDtrRts();
    void Purge();
    // Blocks until the bytes are handed to the port; returns how many were.
    uint32_t Write(const uint8_t* data, uint32_t length);
    // Blocks under the time-outs; returns the number of bytes stored, 0 without a port.
    uint32_t Read(uint8_t* buffer, uint32_t maximum);

    // When the latest read got its last byte and when it returned, in ns from its start
    // (LastByteNs is -1 when nothing came).
    struct ReadTiming {
        qint64 LastByteNs = -1;
        qint64 ReturnNs = 0;
        std::chrono::steady_clock::time_point ReturnedAt; // for measuring what follows a read
    };
    const ReadTiming& LastReadTiming() const { return m_readTiming; }

    const CommTimeouts& Timeouts() const { return m_timeouts; }
    const std::optional<PortOpening>& LastOpening() const { return m_lastOpening; }
    QString DevicePath() const { return m_device; }

private:
    uint16_t Open(const PortOpening& opening);
    void DropAfterFailure();

    const AppSettings& m_settings;
    MessageBox m_showMessage;
    QSerialPort m_port;
    QString m_device; // the device of the latest opening
    CommTimeouts m_timeouts;
    std::optional<PortOpening> m_lastOpening;
    ReadTiming m_readTiming;
};
