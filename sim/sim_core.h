#pragma once

// The stand-in instrument's logic without any device: recognising request frames, composing
// answers with correct checksums, the drifting "live" reading, and the faults it can inject.

#include "variant.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct SimChannel {
    uint8_t ErrorCode = 0; // one hex digit
    uint8_t StateBits = 0; // one hex digit
    double Value = 0.0;
};

struct SimReading {
    uint8_t Keys = 0;
    uint8_t Keys2 = 0;
    uint8_t StatusNumber = 0;
    uint8_t Inputs = 0;
    uint8_t Controls = 0;
    uint16_t Relays = 0;
    std::array<SimChannel, 12> Channels{};
};

// The instrument's checksums, written here bit by bit rather than taken from the reader, so that
// every exchange with the simulator also checks the reader's own: the CRC XORs each byte into the
// register's high byte, then shifts right eight times with 0xA001; the sum adds the bytes
// modulo 256.
uint16_t InstrumentCrc(const std::string& bytes);
uint8_t InstrumentSum(const std::string& bytes);

// The reading of the worked example answer ("!810100030050200000301;0025.50;...").
SimReading ExampleReading();
// A reading that changes with every answer: drifting values, now and then error code 11 on
// channel 3, lamps, relays, inputs and keys walking.
SimReading LiveReading(uint64_t answerNumber);

// "!<status>;<12 fields>;<checksum>\r" for the variant; the checksum is off by one when
// corruptChecksum is set.
std::string ComposeAnswer(ProtocolVariant variant, const SimReading& reading,
                          bool corruptChecksum = false);

struct RequestFrame {
    ProtocolVariant Variant;
    uint32_t Address;
    std::string Bytes; // the frame as received, from its first 0xFF (or its mark) to the CR
};

// Takes the first complete request frame out of `pending`, dropping anything before it that
// cannot start one. Frames of the sum variant with a wrong sum are dropped. Incomplete frames
// stay in `pending` for more bytes.
std::optional<RequestFrame> TakeRequest(std::string& pending);

enum class FaultKind { None, Silence, BadChecksum, Short, Noise, Split, Delay, Long, Garbage };

struct Fault {
    FaultKind Kind = FaultKind::None;
    uint32_t Ms = 0; // gap for Split, wait for Delay
};

// "none", "silence", "badsum", "short", "noise", "split [ms]", "delay [ms]", "long", "garbage"
std::optional<Fault> ParseFault(const std::string& name, const std::string& argument);

// One piece of the answer on the wire: wait DelayUs after the previous piece, then send Bytes.
struct Chunk {
    uint64_t DelayUs = 0;
    std::string Bytes;
};

// The answer with the fault applied, cut into timed chunks; with pacing each byte gets the
// wire time of 10 bits at baudRate.
std::vector<Chunk> PlanAnswer(const std::string& answer, const Fault& fault, bool pace,
                              uint32_t baudRate);
