#pragma once

// Where a port or speed stands in the window's two lists, and back.

#include "line_choices.h"

#include <cstdint>

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
