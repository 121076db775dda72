#include "bus_port.h"

#include "serial_device.h"

#include <QSocketNotifier>

#include <algorithm>
#include <climits>

namespace {

// A write the device takes no byte of for this long ends with what it took.
constexpr int kWriteStallMs = 2000;
// Answer lengths remembered, by request: more than a bus of instruments in both variants asks.
constexpr size_t kRememberedRequests = 1024;

} // namespace

BusPort::BusPort(BusTiming timing, CompleteCheck complete)
    : m_timing(timing), m_complete(std::move(complete)), m_read(timing, 0), m_drain(timing) {
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, [this] { OnTimer(); });
    m_clock.start();
}

BusPort::~BusPort() {
    Close();
}

bool BusPort::Open(const std::string& device, uint32_t baud) {
    Close();
    m_error.clear();
    m_fd = OpenSerialDevice(device, baud, m_error);
    if (m_fd < 0)
        return false;
    m_readNotifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
    m_readNotifier->setEnabled(false);
    connect(m_readNotifier, &QSocketNotifier::activated, this, [this] { OnReadable(); });
    m_writeNotifier = new QSocketNotifier(m_fd, QSocketNotifier::Write, this);
    m_writeNotifier->setEnabled(false);
    connect(m_writeNotifier, &QSocketNotifier::activated, this, [this] { OnWritable(); });
    return true;
}

void BusPort::Close() {
    Abort();
    for (QSocketNotifier** notifier : {&m_readNotifier, &m_writeNotifier})
        if (*notifier) {
            // Off before the descriptor closes: its number may be reused at once.
            (*notifier)->setEnabled(false);
            (*notifier)->deleteLater();
            *notifier = nullptr;
        }
    CloseSerialDevice(m_fd);
    m_fd = -1;
}

void BusPort::Purge() {
    FlushSerialDevice(m_fd);
}

void BusPort::WakeAt(int64_t us) {
    const int64_t ms = (std::max<int64_t>(us - NowUs(), 0) + 999) / 1000;
    m_timer.start(int(std::min<int64_t>(ms, INT_MAX)));
}

void BusPort::StartWrite(const uint8_t* data, uint32_t length, Completion done) {
    Abort();
    m_transfer = Transfer::Write;
    m_done = std::move(done);
    m_writeData = data;
    m_request.assign(reinterpret_cast<const char*>(data), length);
    m_maximum = length;
    m_count = 0;
    if (m_fd < 0) {
        Finish();
        return;
    }
    OnWritable();
}

void BusPort::OnWritable() {
    if (m_transfer != Transfer::Write)
        return;
    std::string reason;
    const long n = WriteSerialDevice(m_fd, m_writeData + m_count, m_maximum - m_count, reason);
    if (n < 0) {
        Fail(reason);
        return;
    }
    m_count += uint32_t(n);
    if (m_count >= m_maximum) {
        m_writeNotifier->setEnabled(false);
        Finish();
        return;
    }
    if (n > 0 || !m_timer.isActive())
        m_timer.start(kWriteStallMs);
    m_writeNotifier->setEnabled(true);
}

void BusPort::StartRead(uint8_t* buffer, uint32_t maximum, Completion done) {
    Abort();
    m_transfer = Transfer::Read;
    m_done = std::move(done);
    m_readBuffer = buffer;
    m_maximum = maximum;
    m_count = 0;
    m_readFailed = m_fd < 0;
    m_readEnd = BusRead::End::Silent;
    m_startUs = NowUs();
    if (m_fd < 0 || maximum == 0) {
        Finish();
        return;
    }
    m_read = BusRead(m_timing, maximum);
    const auto known = m_answerLengths.find(m_request);
    m_read.Begin(m_startUs, known != m_answerLengths.end() ? known->second : 0);
    // The line was purged before the request: the first byte of the answer wakes the read.
    m_readNotifier->setEnabled(true);
    WakeAt(m_read.NextLookUs());
}

bool BusPort::TakeAvailable() {
    uint8_t scratch[256];
    while (m_fd >= 0) {
        uint8_t* into = m_transfer == Transfer::Read ? m_readBuffer + m_count : scratch;
        const size_t room = m_transfer == Transfer::Read ? m_maximum - m_count : sizeof scratch;
        if (room == 0)
            return true;
        std::string reason;
        const long n = ReadSerialDevice(m_fd, into, room, reason);
        if (n < 0) {
            Fail(reason);
            return false;
        }
        if (m_transfer == Transfer::Read)
            m_count += uint32_t(n);
        if (size_t(n) < room) // a terminal hands over all it holds: nothing more waits
            return true;
    }
    return false;
}

void BusPort::LookAtRead() {
    if (!TakeAvailable())
        return;
    const bool complete = m_count > 0 && m_complete && m_complete(m_readBuffer, m_count);
    m_readEnd = m_read.Look(NowUs(), m_count, complete);
    if (m_readEnd != BusRead::End::Open) {
        Finish();
        return;
    }
    // Once the answer is coming, the port looks at set times instead of waking for each byte.
    m_readNotifier->setEnabled(m_read.AwaitingFirstByte());
    WakeAt(m_read.NextLookUs());
}

void BusPort::OnReadable() {
    if (m_transfer == Transfer::Read) {
        LookAtRead();
    } else if (m_transfer == Transfer::Drain) {
        if (!TakeAvailable())
            return;
        if (m_drain.Look(NowUs(), true))
            Finish();
        else
            WakeAt(m_drain.NextLookUs());
    } else if (m_readNotifier) {
        // Bytes between exchanges wait for the purge before the next request.
        m_readNotifier->setEnabled(false);
    }
}

void BusPort::OnTimer() {
    switch (m_transfer) {
    case Transfer::Read:
        LookAtRead();
        break;
    case Transfer::Write:
        Finish(); // stalled: what the device did not take is not sent later
        break;
    case Transfer::Drain:
        if (m_drain.Look(NowUs(), false))
            Finish();
        else
            WakeAt(m_drain.NextLookUs());
        break;
    case Transfer::None:
        break;
    }
}

void BusPort::Drain(std::function<void()> done) {
    Abort();
    m_drainDone = std::move(done);
    m_transfer = Transfer::Drain;
    if (m_fd < 0) {
        Finish();
        return;
    }
    m_drain.Begin(NowUs());
    m_readNotifier->setEnabled(true);
    WakeAt(m_drain.NextLookUs());
}

void BusPort::Fail(const std::string& reason) {
    m_error = reason;
    const Transfer transfer = m_transfer;
    if (transfer == Transfer::Read) {
        // A failed read has read nothing: a fragment that came before is no answer.
        std::fill_n(m_readBuffer, m_count, uint8_t(0));
        m_count = 0;
        m_readFailed = true;
    }
    m_transfer = Transfer::None; // so that closing does not end it first
    for (QSocketNotifier* notifier : {m_readNotifier, m_writeNotifier})
        if (notifier)
            notifier->setEnabled(false);
    CloseSerialDevice(m_fd);
    m_fd = -1;
    for (QSocketNotifier** notifier : {&m_readNotifier, &m_writeNotifier})
        if (*notifier) {
            (*notifier)->deleteLater();
            *notifier = nullptr;
        }
    m_transfer = transfer;
    Finish();
}

void BusPort::Finish() {
    m_timer.stop();
    if (m_readNotifier)
        m_readNotifier->setEnabled(false);
    if (m_writeNotifier)
        m_writeNotifier->setEnabled(false);
    const Transfer transfer = std::exchange(m_transfer, Transfer::None);
    if (transfer == Transfer::Drain) {
        FlushSerialDevice(m_fd);
        if (auto done = std::exchange(m_drainDone, nullptr))
            done();
        return;
    }
    if (transfer == Transfer::Read) {
        m_readReturnNs = (NowUs() - m_startUs) * 1000;
        if (m_readEnd == BusRead::End::Complete) {
            if (m_answerLengths.size() >= kRememberedRequests)
                m_answerLengths.clear(); // more requests than any bus asks: start again
            m_answerLengths[m_request] = m_count;
        }
    }
    if (auto done = std::exchange(m_done, nullptr))
        done(m_count);
}

void BusPort::Abort() {
    if (m_transfer == Transfer::Read && m_fd >= 0)
        TakeAvailable(); // the read ends with what has come
    if (m_transfer != Transfer::None)
        Finish();
}
