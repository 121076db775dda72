#include "commands.h"

#include "command_line.h"
#include "file_access.h"
#include "ports.h"
#include "ports_section.h"
#include "profile.h"

#include <QFileInfo>

#include <cstdio>
#include <cstring>

const char kPortsHelp[] =
    "usage: reader-tool ports [--file dev.dat]\n"
    "The serial ports of this machine: device, description, maker, serial number, USB ids, the\n"
    "stable /dev/serial/by-id name, and the port names of dev.dat that stand for each; then the\n"
    "[PORTS] entries whose device is not here.\n";

const char kMapHelp[] =
    "usage: reader-tool map COMn DEVICE [--file dev.dat]\n"
    "Writes COMn=DEVICE into the [PORTS] section of dev.dat (created if missing); everything else\n"
    "in the file stays as it was, and the file is replaced as a whole, as the readers save it.\n"
    "Use the stable /dev/serial/by-id name of a USB adapter (see reader-tool ports).\n";

namespace {

std::string CanonicalDevice(const std::string& device) {
    const QString canonical = QFileInfo(QString::fromStdString(device)).canonicalFilePath();
    return canonical.isEmpty() ? device : canonical.toStdString();
}

} // namespace

int PortsCommand(int argc, char** argv) {
    std::string devDatPath = "dev.dat";
    for (int i = 2; i < argc; ++i) {
        if (std::strcmp(argv[i], "--file") == 0)
            devDatPath = ValueOf(i, argc, argv);
        else
            Fail(std::string("unknown option ") + argv[i]);
    }
    const FileContent devDat = ReadWholeFile(devDatPath, size_t(64) << 20);
    auto names = PortNamesByDevice(devDat.Bytes, CanonicalDevice);
    const std::vector<MachinePort> ports = FindMachinePorts();
    std::string out;
    if (ports.empty())
        out += "no serial ports found\n";
    for (const MachinePort& port : ports) {
        out += port.Device + '\n';
        const std::pair<const char*, std::string> rows[] = {{"description", port.Description},
                                                            {"maker", port.Maker},
                                                            {"serial number", port.SerialNumber},
                                                            {"USB ids", port.UsbIds},
                                                            {"stable name", port.StableName}};
        for (const auto& [label, value] : rows)
            if (!value.empty())
                out += std::string("  ") + label + std::string(15 - std::strlen(label), ' ') +
                       value + '\n';
        const auto it = names.find(CanonicalDevice(port.Device));
        std::string mapped;
        if (it != names.end()) {
            for (const std::string& name : it->second)
                mapped += (mapped.empty() ? "" : ", ") + name;
            names.erase(it);
        }
        out +=
            "  dev.dat        " + (mapped.empty() ? std::string("(no port name)") : mapped) + '\n';
    }
    for (const auto& [device, portNames] : names)
        for (const std::string& name : portNames)
            if (MappedPortDevice(devDat.Bytes, name))
                out += devDatPath + " maps " + name + " to " + device + ", which is not here\n";
    std::fputs(out.c_str(), stdout);
    return 0;
}

int MapCommand(int argc, char** argv) {
    std::string devDatPath = "dev.dat";
    std::vector<std::string> words;
    for (int i = 2; i < argc; ++i) {
        if (std::strcmp(argv[i], "--file") == 0)
            devDatPath = ValueOf(i, argc, argv);
        else
            words.push_back(argv[i]);
    }
    if (words.size() != 2)
        Fail("map takes COMn and DEVICE (see --help)");
    const std::string name = NormalisedPortName(words[0]);
    if (name.empty())
        Fail("no port name " + words[0] + ": COM1 to COM16");
    if (words[1].find_first_of("\r\n") != std::string::npos)
        Fail("a device is a path on one line");
    // What the readers and ports will read back: blanks around it and enclosing quotes go.
    const std::string device = StoredDeviceText(words[1]);
    if (device.empty())
        Fail("a device is a path on one line");
    if (device.size() >= kMaxProfileText)
        Fail("a device path is at most " + std::to_string(kMaxProfileText - 1) + " characters");
    constexpr size_t kMaxDevDat = size_t(256) << 20;
    const FileContent file = ReadWholeFile(devDatPath, kMaxDevDat);
    if (file.State == FileState::Unusable) {
        const std::optional<FileIdentity> identity = IdentifyPath(devDatPath);
        if (identity && identity->Regular && identity->Size > kMaxDevDat)
            Fail("cannot use " + devDatPath + ": it is too large (over 256 MB)");
        Fail("cannot use " + devDatPath + ": not a regular file this user may read");
    }
    const std::optional<std::string> written = WithPortMapping(file.Bytes, name, device);
    if (!written)
        Fail("cannot store " + device + " so that it reads back the same");
    if (!ReplaceFileContent(devDatPath, *written))
        Fail("cannot write " + devDatPath);
    std::printf("%s: %s now stands for %s\n", devDatPath.c_str(), name.c_str(), device.c_str());
    return 0;
}
