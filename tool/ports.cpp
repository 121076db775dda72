#include "ports.h"

#include "ports_section.h"

#include "line_choices.h"
#include "port_plan.h"
#include "profile.h"

#include <QDir>
#include <QFileInfo>
#include <QSerialPortInfo>

#include <cstdio>

std::vector<MachinePort> FindMachinePorts() {
    // Stable names: /dev/serial/by-id holds a link per device.
    std::map<QString, QString> stable;
    const QDir byId("/dev/serial/by-id");
    for (const QFileInfo& link : byId.entryInfoList(QDir::System | QDir::Files))
        stable[link.canonicalFilePath()] = link.absoluteFilePath();

    std::vector<MachinePort> ports;
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
        MachinePort port;
        port.Device = info.systemLocation().toStdString();
        port.Description = info.description().toStdString();
        port.Maker = info.manufacturer().toStdString();
        port.SerialNumber = info.serialNumber().toStdString();
        if (info.hasVendorIdentifier() && info.hasProductIdentifier()) {
            char ids[16];
            std::snprintf(ids, sizeof ids, "%04x:%04x", info.vendorIdentifier(),
                          info.productIdentifier());
            port.UsbIds = ids;
        }
        const auto it = stable.find(QFileInfo(info.systemLocation()).canonicalFilePath());
        if (it != stable.end())
            port.StableName = it->second.toStdString();
        ports.push_back(port);
    }
    return ports;
}

std::map<std::string, std::vector<std::string>>
PortNamesByDevice(std::string_view devDat,
                  const std::function<std::string(const std::string&)>& canonical) {
    std::map<std::string, std::vector<std::string>> names;
    for (uint16_t n = 1; n <= kHighestPort; ++n) {
        const std::string name = "COM" + std::to_string(n);
        names[canonical(DeviceForPortName(name, MappedPortDevice(devDat, name)))].push_back(name);
    }
    return names;
}

std::string NormalisedPortName(std::string_view name) {
    if (name.size() < 4 || name.size() > 5)
        return {};
    std::string upper;
    for (char c : name.substr(0, 3))
        upper += char(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    if (upper != "COM")
        return {};
    unsigned n = 0;
    for (char c : name.substr(3)) {
        if (c < '0' || c > '9')
            return {};
        n = n * 10 + unsigned(c - '0');
    }
    if (n < 1 || n > kHighestPort || name[3] == '0')
        return {};
    return upper + std::string(name.substr(3));
}
