#pragma once

// The service's serial port: one device on a bus of instruments, read with the bus rule of
// bus_read.h rather than the window's time-outs. Writes and reads never block the event loop:
// each starts here and reports through its callback; while an answer comes in, the port wakes
// a few times, not once per byte. POSIX only, like the service.

#include "bus_read.h"
#include "line.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <functional>
#include <map>
#include <string>

class QSocketNotifier;

class BusPort : public QObject, public Line {
public:
    // Whether the bytes read so far end in a whole answer; the read ends there.
    using CompleteCheck = std::function<bool(const uint8_t* data, uint32_t count)>;

    BusPort(BusTiming timing, CompleteCheck complete);
    ~BusPort() override;

    // False, with the reason in LastError, when the device cannot be opened.
    bool Open(const std::string& device, uint32_t baud);
    void Close();
    bool IsOpen() const { return m_fd >= 0; }
    // Why the latest opening failed, or why the port failed during a transfer.
    const std::string& LastError() const { return m_error; }

    void Purge() override;
    // Hands the bytes to the device; `done` gets how many it took (0 at once without a port).
    void StartWrite(const uint8_t* data, uint32_t length, Completion done) override;
    // Reads under the bus rule; `done` gets the count, 0 when the port failed meanwhile (what
    // had come is no answer then) and the port is closed.
    void StartRead(uint8_t* buffer, uint32_t maximum, Completion done) override;
    // Ends the transfer or drain in flight now, its callback before this returns.
    void Abort() override;
    bool LastReadFailed() const override { return m_readFailed; }
    int64_t LastReadReturnNs() const override { return m_readReturnNs; }
    BusRead::End LastReadEnd() const { return m_readEnd; }

    // Reads and drops bytes until the line has been quiet for the drain's time (at most its
    // longest), then purges; `done` once over (at once without a port).
    void Drain(std::function<void()> done);

private:
    enum class Transfer { None, Write, Read, Drain };

    void OnReadable();
    void OnWritable();
    void OnTimer();
    // Reads what waits into the read buffer (or drops it while draining); false when the port
    // failed.
    bool TakeAvailable();
    void LookAtRead();
    void Fail(const std::string& reason);
    void Finish();
    int64_t NowUs() const { return m_clock.nsecsElapsed() / 1000; }
    void WakeAt(int64_t us);

    BusTiming m_timing;
    CompleteCheck m_complete;
    int m_fd = -1;
    std::string m_error;
    QSocketNotifier* m_readNotifier = nullptr;
    QSocketNotifier* m_writeNotifier = nullptr;
    QTimer m_timer;
    QElapsedTimer m_clock;

    Transfer m_transfer = Transfer::None;
    Completion m_done;
    std::function<void()> m_drainDone;
    const uint8_t* m_writeData = nullptr;
    uint8_t* m_readBuffer = nullptr;
    uint32_t m_count = 0;
    uint32_t m_maximum = 0;
    BusRead m_read;
    BusDrain m_drain;
    int64_t m_startUs = 0;
    bool m_readFailed = false;
    int64_t m_readReturnNs = 0;
    BusRead::End m_readEnd = BusRead::End::Silent;
    // The request last written, and the length of the latest whole answer to each request: an
    // instrument's answers are about as long as each other, so a read first looks when the
    // previous one's length has come.
    std::string m_request;
    std::map<std::string, uint32_t> m_answerLengths;
};
