#pragma once

// The port and speed choices dev.dat stores as numbers: the defaults, and which ones the window
// offers (its lists show these; a value outside them is taken from the file as it is).

#include <cstdint>

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
