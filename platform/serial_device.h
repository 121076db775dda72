#pragma once

// A serial device as the service's bus port uses it, on a file descriptor (POSIX only): opened
// raw at a baud rate, 8 data bits, no parity, one stop bit, no flow control, never blocking,
// for this process alone, with DTR and RTS raised (devices powered from them need it; a
// pseudo-terminal has neither, which is no error).

#include <cstddef>
#include <cstdint>
#include <string>

// The descriptor, or -1 with the reason in `error` ("in use by another program" when another
// process holds it).
int OpenSerialDevice(const std::string& path, uint32_t baud, std::string& error);
void CloseSerialDevice(int fd);
// Discards what waits to be sent and what came in and was not read.
void FlushSerialDevice(int fd);
// Bytes read into buffer; 0 when none are waiting; -1 when the device failed (hung up,
// unplugged), with the reason in `error`.
long ReadSerialDevice(int fd, uint8_t* buffer, size_t size, std::string& error);
// Bytes the device took; 0 when it takes none now; -1 when it failed.
long WriteSerialDevice(int fd, const uint8_t* data, size_t size, std::string& error);
