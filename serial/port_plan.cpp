#include "port_plan.h"

namespace {

struct SpeedRow {
    uint32_t baud;
    uint32_t perByteMs;
};

// Speed index -> baud rate and the read interval / per-byte multiplier.
constexpr SpeedRow kSpeeds[] = {
    {110, 1536}, {300, 768},  {600, 384},  {1200, 192}, {2400, 96},   {4800, 48},
    {9600, 24},  {19200, 24}, {38400, 24}, {57600, 24}, {115200, 12},
};
constexpr uint16_t kLastSpeedIndex = 10;

std::string ComName(unsigned n) {
    return std::string("COM").append(std::to_string(n));
}

} // namespace

PortOpening PlanReopenPort(uint16_t speedIndex, uint16_t port, uint16_t timeOut,
                           const CommTimeouts& previous) {
    PortOpening opening;
    if (port <= 1)
        opening.PortName = ComName(1);
    else if (port <= 8)
        opening.PortName = ComName(port);

    opening.Timeouts = previous;
    if (speedIndex >= 3 && speedIndex <= kLastSpeedIndex) {
        // ReopenPort keeps the 9600-baud gap of 24 ms at 115200 as well.
        const uint32_t perByte = speedIndex == kLastSpeedIndex ? 24 : kSpeeds[speedIndex].perByteMs;
        opening.Line.BaudRate = kSpeeds[speedIndex].baud;
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
    opening.PortName = ComName(port >= 1 && port <= 16 ? port : 1);

    const SpeedRow speed =
        speedIndex <= kLastSpeedIndex ? kSpeeds[speedIndex] : SpeedRow{19200, 24};
    opening.Line.BaudRate = speed.baud;
    opening.Line.Parity = parity == 1   ? LineParity::Odd
                          : parity == 2 ? LineParity::Even
                                        : LineParity::None;
    opening.Line.StopBits = 1;
    opening.Line.DataBits = (dataBits >= 5 && dataBits <= 8) ? static_cast<uint8_t>(dataBits) : 8;

    opening.Timeouts = previous;
    opening.Timeouts.ReadIntervalTimeout = speed.perByteMs;
    opening.Timeouts.ReadTotalTimeoutMultiplier = speed.perByteMs;
    opening.Timeouts.ReadTotalTimeoutConstant = readTimeout;
    opening.Timeouts.WriteTotalTimeoutMultiplier = 0;
    opening.Timeouts.WriteTotalTimeoutConstant = 0;
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

std::string DeviceForPortName(const std::string& portName,
                              const std::optional<std::string>& mapped) {
    if (mapped)
        return *mapped;
    const unsigned n = static_cast<unsigned>(std::stoul(portName.substr(3)));
    return std::string("/dev/ttyS").append(std::to_string(n - 1));
}
