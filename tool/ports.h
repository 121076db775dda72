#pragma once

// The machine's serial ports, and the port names of dev.dat that stand for each.

#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

struct MachinePort {
    std::string Device; // /dev/ttyUSB0
    std::string Description, Maker, SerialNumber;
    std::string UsbIds;     // "0403:6001", empty when not a USB device
    std::string StableName; // its /dev/serial/by-id/ name, empty when it has none
};

// The ports Qt finds on this machine.
std::vector<MachinePort> FindMachinePorts();

// For each device that some COMn of dev.dat (its content) stands for, those names, COM1 first:
// a [PORTS] entry, or the platform's own device for the name. `canonical` gives a device's real
// path, so that a link and its target count as one device.
std::map<std::string, std::vector<std::string>>
PortNamesByDevice(std::string_view devDat,
                  const std::function<std::string(const std::string&)>& canonical);

// "COM3" for "COM3" or "com3", when n is a port number the programs open (1 to 16); else empty.
std::string NormalisedPortName(std::string_view name);
