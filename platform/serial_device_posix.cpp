#include "serial_device.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

speed_t SpeedFor(uint32_t baud) {
    static constexpr std::array<std::pair<uint32_t, speed_t>, 11> kSpeeds = {{
        {110, B110},
        {300, B300},
        {600, B600},
        {1200, B1200},
        {2400, B2400},
        {4800, B4800},
        {9600, B9600},
        {19200, B19200},
        {38400, B38400},
        {57600, B57600},
        {115200, B115200},
    }};
    for (const auto& [rate, speed] : kSpeeds)
        if (rate == baud)
            return speed;
    return B19200;
}

} // namespace

int OpenSerialDevice(const std::string& path, uint32_t baud, std::string& error) {
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = std::strerror(errno);
        return -1;
    }
    // Another program (or another line of this one) on the same device would take its answers.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        error = errno == EWOULDBLOCK ? "in use by another program" : std::strerror(errno);
        close(fd);
        return -1;
    }
    termios settings{};
    if (tcgetattr(fd, &settings) != 0) {
        error = std::string("not a serial device: ") + std::strerror(errno);
        close(fd);
        return -1;
    }
    cfmakeraw(&settings);
    settings.c_cflag &= ~tcflag_t(CSIZE | PARENB | CSTOPB | CRTSCTS);
    settings.c_cflag |= CS8 | CLOCAL | CREAD;
    settings.c_iflag &= ~tcflag_t(IXON | IXOFF | IXANY);
    // VMIN 1: with O_NONBLOCK an empty line reads as EAGAIN, and 0 bytes only at a hang-up (with
    // VMIN 0 an empty line would read as 0 too).
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    cfsetispeed(&settings, SpeedFor(baud));
    cfsetospeed(&settings, SpeedFor(baud));
    if (tcsetattr(fd, TCSANOW, &settings) != 0) {
        error = std::strerror(errno);
        close(fd);
        return -1;
    }
    ioctl(fd, TIOCEXCL);
    int lines = TIOCM_DTR | TIOCM_RTS;
    ioctl(fd, TIOCMBIS, &lines); // fails on a pseudo-terminal: it has no modem lines
    tcflush(fd, TCIOFLUSH);
    return fd;
}

void CloseSerialDevice(int fd) {
    if (fd < 0)
        return;
    // The exclusive mode belongs to the terminal, not to this descriptor: it would outlive the
    // close while another process holds the device.
    ioctl(fd, TIOCNXCL);
    close(fd);
}

void FlushSerialDevice(int fd) {
    if (fd >= 0)
        tcflush(fd, TCIOFLUSH);
}

long ReadSerialDevice(int fd, uint8_t* buffer, size_t size, std::string& error) {
    while (true) {
        const ssize_t n = read(fd, buffer, size);
        if (n > 0)
            return long(n);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return 0;
        // End of file on a terminal: it hung up.
        error = n == 0 ? "hung up" : std::strerror(errno);
        return -1;
    }
}

long WriteSerialDevice(int fd, const uint8_t* data, size_t size, std::string& error) {
    while (true) {
        const ssize_t n = write(fd, data, size);
        if (n >= 0)
            return long(n);
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return 0;
        error = std::strerror(errno);
        return -1;
    }
}
