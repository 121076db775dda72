#include "port_plan.h"

#include "line_choices.h"
#include "speed_table.h"

#include <algorithm>

namespace {

// ReopenPort has line definitions for speed indices 3 to 10 only.
constexpr uint16_t kFirstReopenSpeed = 3;
constexpr uint16_t kLastSpeedIndex = uint16_t(kSpeedTable.size() - 1);
// Without a line definition of its own, a line runs at 19200 baud with a 24 ms interval.
constexpr SpeedRow kFallbackSpeed = kSpeedTable[kDefaultSpeedIndex];
// ReopenPort keeps the 24 ms interval of 9600 baud at 115200 as well.
constexpr uint32_t kReopenFastestPerByteMs = 24;

std::string ComName(unsigned n) {
    return std::string("COM").append(std::to_string(n));
}

// The record an opening that sets every value leaves: the speed's gap and per-byte time, the
// reply time-out, and no write time-outs.
CommTimeouts EveryTimeout(const CommTimeouts& previous, uint32_t perByteMs, uint32_t constantMs) {
    CommTimeouts timeouts = previous;
    timeouts.ReadIntervalTimeout = perByteMs;
    timeouts.ReadTotalTimeoutMultiplier = perByteMs;
    timeouts.ReadTotalTimeoutConstant = constantMs;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 0;
    return timeouts;
}

} // namespace

PortOpening PlanReopenPort(uint16_t speedIndex, uint16_t port, uint16_t timeOut,
                           const CommTimeouts& previous) {
    PortOpening opening;
    if (port <= 1)
        opening.PortName = ComName(1);
    else if (port <= kListedPorts)
        opening.PortName = ComName(port);

    opening.Timeouts = previous;
    if (speedIndex >= kFirstReopenSpeed && speedIndex <= kLastSpeedIndex) {
        const uint32_t perByte = speedIndex == kLastSpeedIndex ? kReopenFastestPerByteMs
                                                               : kSpeedTable[speedIndex].PerByteMs;
        opening.Line.BaudRate = kSpeedTable[speedIndex].Baud;
        opening.Timeouts.ReadIntervalTimeout = perByte;
        opening.Timeouts.ReadTotalTimeoutMultiplier = perByte;
    }
    opening.Timeouts.ReadTotalTimeoutConstant = timeOut;
    opening.Timeouts.WriteTotalTimeoutMultiplier = 0;
    opening.Timeouts.WriteTotalTimeoutConstant = 0;
    opening.RaiseDtrRts = true;
    return opening;
}

PortOpening PlanOpenPort(uint16_t port, uint16_t speedIndex, uint16_t dataBits, uint16_t parity,
                         uint16_t /*stopBitCode: always one stop bit*/, uint16_t readTimeout,
                         const CommTimeouts& previous) {
    PortOpening opening;
    opening.PortName = ComName(port >= 1 && port <= kHighestPort ? port : 1);

    const SpeedRow speed = speedIndex <= kLastSpeedIndex ? kSpeedTable[speedIndex] : kFallbackSpeed;
    opening.Line.BaudRate = speed.Baud;
    opening.Line.Parity = parity == 1   ? LineParity::Odd
                          : parity == 2 ? LineParity::Even
                                        : LineParity::None;
    opening.Line.StopBits = 1;
    opening.Line.DataBits = (dataBits >= 5 && dataBits <= 8) ? static_cast<uint8_t>(dataBits) : 8;

    opening.Timeouts = EveryTimeout(previous, speed.PerByteMs, readTimeout);
    opening.RaiseDtrRts = false;
    return opening;
}

ReadLimits ReadLimitsFor(const CommTimeouts& timeouts, uint32_t count) {
    ReadLimits limits;
    const uint64_t total =
        uint64_t(timeouts.ReadTotalTimeoutMultiplier) * count + timeouts.ReadTotalTimeoutConstant;
    limits.TotalMs = total == 0 ? kFallbackTotalMs
                                : static_cast<uint32_t>(total > UINT32_MAX ? UINT32_MAX : total);
    limits.IntervalMs = timeouts.ReadIntervalTimeout;
    return limits;
}

std::string DeviceForPortName(const std::string& portName, const std::optional<std::string>& mapped,
                              DeviceNaming naming) {
    if (mapped)
        return *mapped;
    const unsigned n = static_cast<unsigned>(std::stoul(portName.substr(3)));
    if (naming == DeviceNaming::Windows)
        return n >= 10 ? std::string("\\\\.\\").append(portName) : portName;
    return std::string("/dev/ttyS").append(std::to_string(n - 1));
}

uint32_t WriteStallLimitMs(const LineSettings& line, uint32_t count) {
    constexpr uint64_t kMarginMs = 1000;
    const uint64_t bitsPerByte =
        1 + line.DataBits + (line.Parity == LineParity::None ? 0 : 1) + line.StopBits;
    const uint64_t baud = line.BaudRate > 0 ? line.BaudRate : 1;
    const uint64_t queued = std::min(count, kQueueBytes);
    const uint64_t wireMs = (queued * bitsPerByte * 1000 + baud - 1) / baud;
    return uint32_t(std::min<uint64_t>(wireMs + kMarginMs, INT32_MAX));
}
