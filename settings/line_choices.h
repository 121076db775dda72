#pragma once

// The serial port and speed choices that dev.dat stores as numbers and the window offers in its
// two lists: one table of each, from which the lists, the port openings and the settings rules
// are derived.

#include <array>
#include <cstdint>

// Speed index (dev.dat's Spd) -> baud rate and the read interval time-out, which is also the
// per-byte part of the total read time-out, in ms.
struct SpeedRow {
    uint32_t Baud;
    uint32_t PerByteMs;
};
inline constexpr std::array<SpeedRow, 11> kSpeedTable = {{
    {110, 1536},
    {300, 768},
    {600, 384},
    {1200, 192},
    {2400, 96},
    {4800, 48},
    {9600, 24},
    {19200, 24},
    {38400, 24},
    {57600, 24},
    {115200, 12},
}};
inline constexpr uint16_t kDefaultSpeedIndex = 7; // 19200 baud
// The speed list offers these indices, in order: "4800", "9600", "19200", "38400".
inline constexpr uint16_t kFirstListedSpeed = 5;
inline constexpr uint16_t kLastListedSpeed = 8;

// The port list offers COM1 to COM<kListedPorts>, "COM 1" first; dev.dat's Port 1 is COM1.
inline constexpr uint16_t kListedPorts = 8;
inline constexpr uint16_t kDefaultPort = 1;
// The highest port number any opening names (COM16).
inline constexpr uint16_t kHighestPort = 16;

constexpr bool IsListedSpeed(uint16_t speedIndex) {
    return speedIndex >= kFirstListedSpeed && speedIndex <= kLastListedSpeed;
}
// Position in the speed list, -1 for an index the list does not offer.
constexpr int SpeedListPosition(uint16_t speedIndex) {
    return IsListedSpeed(speedIndex) ? speedIndex - kFirstListedSpeed : -1;
}
constexpr uint16_t SpeedAtListPosition(int position) {
    return static_cast<uint16_t>(kFirstListedSpeed + position);
}
// Position in the port list, -1 for a port it does not offer.
constexpr int PortListPosition(uint16_t port) {
    return port >= 1 && port <= kListedPorts ? port - 1 : -1;
}
constexpr uint16_t PortAtListPosition(int position) {
    return static_cast<uint16_t>(position + 1);
}
