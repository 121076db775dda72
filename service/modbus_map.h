#pragma once

// The Modbus TCP gateway's register map and its answers, without sockets: what a request for a
// unit id gets from the instrument behind it (a copy of what the service knows) and its line.
//
// Input registers (04), and the same as holding registers (03), 0-127 (a register not listed
// reads 0):
//   0-23   channel 1-12 values, 32-bit floats in the configured order; NaN when not finite
//   24-35  the values x10 as signed 16-bit, rounded, saturating at +-32767; -32768 when not finite
//   36-47  error codes; 48 break, 49 setpoint 1, 50 setpoint 2 (bit n-1: channel n);
//   51 relays (bit n-1: relay n); 52 inputs; 53 control buffers; 54 keys (bit i: keys[i]);
//   55 status number; 56 age of the reading in 0.1 s (saturating); 57 online (1/0);
//   58-59 seq (high word first); 60 exchange time of the reading in ms (saturating)
//   64-71  the line: port open (1/0), exchanges per second x100 over the last minute, then as
//          32-bit counts (high word first) the no-answer and checksum-mismatch exchanges and all
//          exchanges. Served whatever the instrument's state.
// Discrete inputs (02), 0-67: relays 1-16, inputs 1-4, control buffers 1-2, keys 0-9, then
// break, setpoint 1 and setpoint 2 of channels 1-12.

#include "reading.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

enum class FloatOrder { Abcd, Cdab, Badc, Dcba }; // A: the float's most significant byte
enum class OfflineMode { Exception, Stale };

inline constexpr uint16_t kRegisterCount = 128;
inline constexpr uint16_t kLineRegisters = 64; // from here on: the line, served always
inline constexpr uint16_t kDiscreteCount = 68;
inline constexpr size_t kMaxFrame = 260; // the longest Modbus TCP frame

// Exchanges per second over the last minute, counted in one-second buckets.
class RateWindow {
public:
    void Add(int64_t nowMs);
    // Over the last 60 whole seconds, or the whole seconds since the first exchange when fewer.
    double PerSecond(int64_t nowMs) const;

private:
    std::array<uint32_t, 60> m_counts{};
    std::array<int64_t, 60> m_second{}; // the second each bucket counts
    int64_t m_firstSecond = -1;
};

// What the service knows of one instrument, as the gateway serves it.
struct InstrumentData {
    DeviceReading Reading;
    bool Answered = false; // a good reading has come since the service started
    bool Online = false;
    uint64_t Seq = 0;
    uint32_t ExchangeMs = 0;
    int64_t ReadAtMs = 0; // steady clock, of the latest good reading
};

struct LineData {
    bool PortOpen = false;
    uint32_t Exchanges = 0, NoAnswer = 0, ChecksumMismatch = 0; // wrap at 2^32
    RateWindow Rate;
};

struct GatewaySettings {
    FloatOrder Order = FloatOrder::Abcd;
    OfflineMode Offline = OfflineMode::Exception;
    bool operator==(const GatewaySettings&) const = default;
};

// The float's four bytes into two registers, in `order`.
void EncodeFloat(float value, FloatOrder order, uint16_t* out);
// The value x10 for clients without floats: rounded, +-32767 at most, -32768 when not finite.
int16_t ScaledByTen(float value);

struct GatewayAnswer {
    uint8_t Exception = 0; // 0: answer from the map below
    std::array<uint16_t, kRegisterCount> Registers{};
    std::array<uint8_t, kDiscreteCount> Bits{};
};

typedef struct _modbus modbus_t;

// Sends `answer` to the request `adu` (`length` bytes) through libmodbus: its exception, or the
// registers and bits the request reads from the map. What modbus_reply returns (-1: failed).
int SendAnswer(modbus_t* context, const uint8_t* adu, int length, GatewayAnswer& answer);

// The length of the frame that begins `adu` by its header (6 + the length field), given the
// `read` bytes modbus_receive framed by the function code; nothing when the frame is broken: a
// protocol id other than 0, a length field shorter than what was read or longer than a frame,
// a function code of 0x80 or more, a read request (02, 03, 04) of any length but 12. A longer frame
// (a function the library does not frame, with data) is read whole and answered with exception 01.
std::optional<size_t> FrameLength(const uint8_t* adu, size_t read);

// The answer to a whole frame for unit id adu[6]: `instrument` and `line` are what stands behind
// it, both null for a unit id nobody has (exception 0A). Every function but 02, 03 and 04 is
// exception 01; a quantity of 0 or over 125 registers (2,000 bits) 03; outside the map 02; an
// instrument that never answered, or is offline with OfflineMode::Exception, 0B unless only the
// line's registers are asked for. `nowMs` is the steady clock.
void Answer(const uint8_t* adu, const InstrumentData* instrument, const LineData* line,
            const GatewaySettings& settings, int64_t nowMs, GatewayAnswer& out);
