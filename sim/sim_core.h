#pragma once

// The stand-in instruments' logic without any device: recognising request frames, composing
// answers with correct checksums, the drifting "live" reading, the faults it can inject, and the
// bus of instruments with their own state that the standard-input commands change.

#include "variant.h"

#include <array>
#include <cstdint>
#include <map>
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
// channel 3, lamps, relays, inputs and keys walking. The values of the instrument at network
// number N lie (N - 1) * 100 above those of instrument 1, so answers never pass for another's.
SimReading LiveReading(uint64_t answerNumber, uint32_t address = 1);

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

// Hangup: the line is hung up instead of answering (the pseudo-terminal closed and made anew at
// the same link), as an adapter that drops out does.
enum class FaultKind {
    None,
    Silence,
    BadChecksum,
    Short,
    Noise,
    Split,
    Delay,
    Long,
    Garbage,
    Hangup
};

struct Fault {
    FaultKind Kind = FaultKind::None;
    uint32_t Ms = 0; // gap for Split, wait for Delay
};

// "none", "silence", "badsum", "short", "noise", "split [ms]", "delay [ms]", "long", "garbage",
// "hangup"
std::optional<Fault> ParseFault(const std::string& name, const std::string& argument);

// One piece of the answer on the wire: wait DelayUs after the previous piece, then send Bytes.
struct Chunk {
    uint64_t DelayUs = 0;
    std::string Bytes;
};

// The answer with the fault applied, cut into timed chunks; the first byte waits turnaroundMs
// more, and with pacing each byte gets the wire time of 10 bits at baudRate.
std::vector<Chunk> PlanAnswer(const std::string& answer, const Fault& fault, bool pace,
                              uint32_t baudRate, uint32_t turnaroundMs = 0);

// Network numbers and ranges as the service takes them ("1,2,5-8", each once): a bus answers
// them whatever their order, so they come back in ascending order.
std::optional<std::vector<uint32_t>> SortedAddressList(const std::string& text);

// A fault option, "[N:]NAME[:MS]": for instrument N only, or for all without N. Without its own
// MS a split or delay takes defaultMs, or the fault's own default when that is empty too.
struct FaultOption {
    std::optional<uint32_t> Address;
    Fault Value;
};
std::optional<FaultOption> ParseFaultOption(const std::string& text, const std::string& defaultMs);

// The faults of several fault options on a bus: the last one for all instruments, and those for
// one instrument, which win for it whatever the order. Nothing when one is malformed or names a
// number not in `addresses`.
struct BusFaults {
    Fault All;
    std::map<uint32_t, Fault> Own;
};
std::optional<BusFaults> ParseBusFaults(const std::vector<std::string>& specs,
                                        const std::string& defaultMs,
                                        const std::vector<uint32_t>& addresses);

enum class ReadingKind { Live, Example, Zero, Fixed }; // Fixed: changed by channel or status

std::optional<ReadingKind> ParseReadingKind(const std::string& name); // live, example, zero

// One instrument on the bus with its own reading, faults and answer count.
struct SimInstrument {
    uint32_t Address = 1;
    ReadingKind Reading = ReadingKind::Live;
    SimReading Fixed;          // the reading sent unless it is live
    Fault Standing;            // for every answer
    std::optional<Fault> Next; // for the next answer only, before Standing
    uint64_t AnswerNumber = 0;

    void SetReading(ReadingKind kind);
    // Freezes a live reading where it is, so that a channel or the status can be changed in it.
    void FixReading();
};

// The instruments on one line. Each answers requests for its own network number; requests for
// any other number go unanswered, as on an RS-485 line.
class SimBus {
public:
    // Instruments at `addresses` with `reading` and their faults.
    SimBus(const std::vector<uint32_t>& addresses, ReadingKind reading,
           const BusFaults& faults = {});

    // The answer of the instrument at `address` and the fault to apply to it (the one-off fault
    // is used up, the answer count goes up); nothing when no instrument has that number.
    struct Answer {
        std::string Bytes;
        Fault Applied;
    };
    std::optional<Answer> AnswerFor(ProtocolVariant variant, uint32_t address);

    // One standard-input command: "fault", "next", "reading", "channel", "status" for every
    // instrument, or for one with an "@N " prefix; "address LIST" sets the bus's numbers (those
    // already on it keep their instrument, a new one starts as a copy of the first instrument).
    // False, with nothing changed, for an unknown or malformed command or an @N not on the bus.
    bool Command(const std::string& line);

    const std::map<uint32_t, SimInstrument>& Instruments() const { return m_instruments; }

private:
    std::map<uint32_t, SimInstrument> m_instruments;
};
