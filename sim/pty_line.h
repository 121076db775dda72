#pragma once

// The line instrument-sim answers on: a new pseudo-terminal (the path to open printed on its first
// line, a link made to it on request) or a real serial device, raw at the wire speed.

#include <cstdint>
#include <string>

class PtyLine {
public:
    PtyLine(std::string device, std::string link, uint32_t baud)
        : m_device(std::move(device)), m_link(std::move(link)), m_baud(baud) {}
    ~PtyLine();
    PtyLine(const PtyLine&) = delete;
    PtyLine& operator=(const PtyLine&) = delete;

    // Opens the line; false (with a message on standard error) when it cannot be. `shown`
    // gets the path a reader opens.
    bool Open(std::string& shown);
    // Closes the pseudo-terminal (the reader's end reads as hung up) so that a new one can be
    // made in its place.
    void Close();
    int Fd() const { return m_lineFd; }

private:
    std::string m_device;
    std::string m_link;
    uint32_t m_baud;
    int m_lineFd = -1;
    int m_slaveFd = -1;
};
