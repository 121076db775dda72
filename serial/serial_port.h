#pragma once

#include "line.h"
#include "port_plan.h"

#include <QElapsedTimer>
#include <QSerialPort>
#include <QTimer>

#include <chrono>
#include <functional>
#include <optional>
#include <string>

// The one serial port of the program. Openings are planned by port_plan and applied here; the
// exchange then only purges, writes and reads. Writes and reads never block the caller's thread:
// they start here and report their byte count through a callback once they have ended, driven
// by the event loop (readyRead and two timers), as Qt's own terminal example reads.
class SerialPort : public Line {
public:
    // Shows the operator a message box; supplied by the window so this layer shows no widget.
    using MessageBox = std::function<void(const QString& text, const QString& caption)>;
    // The device a port name ("COM3") stands for at the moment of an opening; supplied by the
    // caller, which knows where port names are mapped.
    using DeviceResolver = std::function<std::string(const std::string& portName)>;

    static const char* const kCannotOpenText; // "Невозможно открыть последовательный порт"
    static const char* const kCannotOpenCaption; // "Ошибка"

    SerialPort(DeviceResolver resolveDevice, MessageBox showMessage);
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // Returns 1 when the port could not be opened and the message box was shown, else 0.
    // timeOut: the reply time-out in ms (dev.dat's TimeOut).
    uint16_t ReopenPort(uint16_t speedIndex, uint16_t port, uint16_t timeOut);
    void OpenPort(uint16_t port, uint16_t speedIndex, uint16_t dataBits, uint16_t parity,
                  uint16_t stopBitCode, uint16_t readTimeout);

    // Why the latest opening failed.
    const QString& LastOpenError() const { return m_openError; }

    void SetMessageBox(MessageBox showMessage) { m_showMessage = std::move(showMessage); }

    void Close();
    bool IsOpen() const { return m_port.isOpen(); }
    void RaiseDtrRts();
    void Purge() override;

    // Hands length bytes to the port; `done` gets how many it took. A write that makes no
    // progress for WriteStallLimitMs ends with what the port took; the rest is discarded.
    // Without a port, done(0) runs before this returns. `data` must stay valid until `done` has
    // run.
    void StartWrite(const uint8_t* data, uint32_t length, Completion done) override;
    // Reads up to `maximum` bytes into buffer under the time-out record: the read ends at
    // `maximum` bytes, at the interval time-out after a byte, or at the total time-out. `done`
    // gets the count (0 at once without a port; 0 too when the port fails during the read,
    // whatever had arrived before). `buffer` must stay valid until `done` has run.
    void StartRead(uint8_t* buffer, uint32_t maximum, Completion done) override;
    // Ends the write or read in flight now: its `done` runs before this returns, with the bytes
    // moved so far. Does nothing when none is in flight.
    void Abort() override;
    // The port failed for good and its closing waits in the event loop.
    bool DropQueued() const { return m_dropPosted; }
    // A write or read has started and its `done` has not run yet.
    bool Busy() const { return m_transfer != Transfer::None || m_pending.has_value(); }

    // What the modem lines were last set to, whether or not the device has them (a
    // pseudo-terminal has none): hardware powered from the port depends on these.
    struct ModemLines {
        bool Dtr = false;
        bool Rts = false;
        bool operator==(const ModemLines&) const = default;
    };
    ModemLines LastModemLines() const { return m_modemLines; }

    // When the latest read got its last byte and when it ended, in ns from its start
    // (LastByteNs is -1 when nothing came).
    struct ReadTiming {
        qint64 LastByteNs = -1;
        qint64 ReturnNs = 0;
        std::chrono::steady_clock::time_point ReturnedAt; // for measuring what follows a read
    };
    const ReadTiming& LastReadTiming() const { return m_readTiming; }
    bool LastReadFailed() const override { return m_readFailed; }
    int64_t LastReadReturnNs() const override { return m_readTiming.ReturnNs; }

    const CommTimeouts& Timeouts() const { return m_timeouts; }
    const std::optional<PortOpening>& LastOpening() const { return m_lastOpening; }
    QString DevicePath() const { return m_device; }

private:
    enum class Transfer { None, Write, Read };

    uint16_t Open(const PortOpening& opening);
    void SetModemLines(bool dtr, bool rts);
    void OnReadyRead();
    void OnBytesWritten(qint64 count);
    void OnError(QSerialPort::SerialPortError error);
    void TakeAvailable(bool insideSignal);
    // Ends the transfer in flight. Inside one of QSerialPort's own signals the callback is
    // posted to the event loop, since it may close or reopen the port.
    void Finish(bool insideSignal);
    void RunPending();
    void DropAfterFailure();

    DeviceResolver m_resolveDevice;
    MessageBox m_showMessage;
    QSerialPort m_port;
    QString m_device; // the device of the latest opening
    QString m_openError;
    CommTimeouts m_timeouts;
    std::optional<PortOpening> m_lastOpening;
    ModemLines m_modemLines;

    Transfer m_transfer = Transfer::None;
    Completion m_done;
    uint32_t m_count = 0; // bytes moved by the transfer in flight
    uint32_t m_maximum = 0;
    uint8_t* m_readBuffer = nullptr;
    uint32_t m_intervalMs = 0;
    QTimer m_deadline; // total read time-out, or the write stall limit
    QTimer m_gap;      // interval time-out after the latest byte
    QElapsedTimer m_clock;
    ReadTiming m_readTiming;
    bool m_readFailed = false;
    struct Pending {
        Completion done;
        uint32_t count;
    };
    std::optional<Pending> m_pending; // a finished transfer whose callback has not run yet
    int m_writeStallMs = 0;
    uint64_t m_openingNumber = 0; // counts openings, so a queued drop closes only its own
    bool m_dropPosted = false;
};
