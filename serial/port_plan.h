#pragma once

// What an opening of the serial port amounts to, computed from the opening routine's arguments
// before any device is touched: the port name, the line settings, the time-out record and the
// modem lines. The device layer applies it; tests check it without a device.

#include <cstdint>
#include <optional>
#include <string>

// The five read/write time-outs in ms, with the meaning the exchange's read gives them.
// One record lives for the whole run: an opening that sets no value leaves the previous one.
struct CommTimeouts {
    uint32_t ReadIntervalTimeout = 0; // longest gap after a byte; 0 = no gap limit
    uint32_t ReadTotalTimeoutMultiplier = 0;
    uint32_t ReadTotalTimeoutConstant = 0;
    uint32_t WriteTotalTimeoutMultiplier = 0;
    uint32_t WriteTotalTimeoutConstant = 0;

    bool operator==(const CommTimeouts&) const = default;
};

enum class LineParity { None, Odd, Even };

// The size of the port's input and output queues.
constexpr uint32_t kQueueBytes = 1024;

struct LineSettings {
    uint32_t BaudRate = 19200;
    uint8_t DataBits = 8;
    LineParity Parity = LineParity::None;
    uint8_t StopBits = 1;
    // Always: binary mode, no hardware or XON/XOFF flow control, kQueueBytes queues.

    bool operator==(const LineSettings&) const = default;
};

struct PortOpening {
    std::optional<std::string> PortName; // "COM1".."COM16"; nullopt: nothing is opened
    LineSettings Line;
    CommTimeouts Timeouts;    // the record as this opening leaves it
    bool RaiseDtrRts = false; // true: DTR then RTS asserted; false: both left off
};

// ReopenPort(speed index, port number): ports 0 and 1 open COM1, 2-8 COM2-COM8, others nothing.
// Speed indices 3-10 set baud, interval and multiplier; other indices leave interval and
// multiplier as they were and run the line at 19200 baud.
PortOpening PlanReopenPort(uint16_t speedIndex, uint16_t port, uint16_t timeOut,
                           const CommTimeouts& previous);

// OpenPort(port, speed index, data bits, parity, stop-bit code, read time-out): ports 1-16 open
// COM1-COM16, any other number COM1; indices outside 0-10 mean 19200 baud and 24 ms; always one
// stop bit; DTR and RTS stay off.
PortOpening PlanOpenPort(uint16_t port, uint16_t speedIndex, uint16_t dataBits, uint16_t parity,
                         uint16_t stopBitCode, uint16_t readTimeout, const CommTimeouts& previous);

// How long a read of up to `count` bytes may take in all and how long it may wait after a byte.
struct ReadLimits {
    uint32_t TotalMs = 0;    // from the start of the read
    uint32_t IntervalMs = 0; // after the latest byte; 0 = no gap limit
};
// A record with no total time-out would block until `count` bytes came; such a read is held to
// kFallbackTotalMs instead, so the window never hangs on a silent line.
constexpr uint32_t kFallbackTotalMs = 1000;
ReadLimits ReadLimitsFor(const CommTimeouts& timeouts, uint32_t count);

// How long a write of `count` bytes may go without progress before it ends with what the port
// took: the wire time at this line's speed of what the output queue can hold of it, plus a
// second. No speed can cut a healthy write short (a port may report bytes written only once
// they have left the wire), while a wedged adapter still cannot hold the exchange for ever.
uint32_t WriteStallLimitMs(const LineSettings& line, uint32_t count);

// How a platform names serial devices.
enum class DeviceNaming {
    Posix,   // COMn is /dev/ttyS<n-1>
    Windows, // COMn is COMn, \\.\COMn from COM10 on
#ifdef _WIN32
    Host = Windows
#else
    Host = Posix
#endif
};

// The device behind a port name "COMn": the mapping from dev.dat's [PORTS] section when there is
// one, else the platform's own name for it.
std::string DeviceForPortName(const std::string& portName, const std::optional<std::string>& mapped,
                              DeviceNaming naming = DeviceNaming::Host);
