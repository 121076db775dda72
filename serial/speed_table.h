#pragma once

// The line speeds by speed index (dev.dat's Spd): the baud rate and the read interval time-out,
// which is also the per-byte part of the total read time-out, in ms. The window's opening
// plans and the service's lines read their speeds here.

#include <array>
#include <cstdint>

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
