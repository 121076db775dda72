#include "pty_line.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

speed_t BaudConstant(uint32_t baud) {
    switch (baud) {
    case 1200:
        return B1200;
    case 2400:
        return B2400;
    case 4800:
        return B4800;
    case 9600:
        return B9600;
    case 38400:
        return B38400;
    case 57600:
        return B57600;
    case 115200:
        return B115200;
    default:
        return B19200;
    }
}

void MakeRaw(int fd, uint32_t baud) {
    termios tio{};
    if (tcgetattr(fd, &tio) != 0)
        return;
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    cfsetispeed(&tio, BaudConstant(baud));
    cfsetospeed(&tio, BaudConstant(baud));
    tcsetattr(fd, TCSANOW, &tio);
}

} // namespace

PtyLine::~PtyLine() {
    if (!m_link.empty())
        unlink(m_link.c_str());
    Close();
}

void PtyLine::Close() {
    for (int* fd : {&m_slaveFd, &m_lineFd})
        if (*fd >= 0) {
            close(*fd);
            *fd = -1;
        }
}

bool PtyLine::Open(std::string& shown) {
    if (!m_device.empty()) {
        m_lineFd = open(m_device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (m_lineFd < 0) {
            std::fprintf(stderr, "instrument-sim: cannot open %s: %s\n", m_device.c_str(),
                         std::strerror(errno));
            return false;
        }
        MakeRaw(m_lineFd, m_baud);
        shown = m_device;
        return true;
    }
    m_lineFd = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (m_lineFd < 0 || grantpt(m_lineFd) != 0 || unlockpt(m_lineFd) != 0) {
        std::perror("instrument-sim: pseudo-terminal");
        return false;
    }
    const std::string slave = ptsname(m_lineFd);
    // Keeping the other end open ourselves means a reader that closes the port does not hang
    // the line up, and the raw settings stay for the next reader.
    m_slaveFd = open(slave.c_str(), O_RDWR | O_NOCTTY);
    if (m_slaveFd >= 0)
        MakeRaw(m_slaveFd, m_baud);
    shown = slave;
    if (!m_link.empty()) {
        unlink(m_link.c_str());
        if (symlink(slave.c_str(), m_link.c_str()) == 0)
            shown = m_link;
        else
            std::perror("instrument-sim: link");
    }
    return true;
}
