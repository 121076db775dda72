#include "sim_core.h"

#include "address_list.h"

#include "answer_layout.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <sstream>

uint16_t InstrumentCrc(const std::string& bytes) {
    unsigned reg = 0xFFFF;
    for (unsigned char byte : bytes) {
        reg ^= unsigned(byte) << 8;
        for (int bit = 0; bit < 8; ++bit)
            reg = (reg & 1) ? (reg >> 1) ^ 0xA001 : reg >> 1;
    }
    return uint16_t(reg);
}

uint8_t InstrumentSum(const std::string& bytes) {
    unsigned sum = 0;
    for (unsigned char byte : bytes)
        sum += byte;
    return uint8_t(sum);
}

SimReading ExampleReading() {
    SimReading r;
    r.Keys = 0x81;
    r.Keys2 = 0x01;
    r.StatusNumber = 3;
    r.Inputs = 0x05;
    r.Controls = 0x02;
    r.Relays = 0x0301;
    r.Channels[0].Value = 25.5;
    r.Channels[1] = {0, 4, 100.1};
    r.Channels[2] = {11, 0, -3.25};
    return r;
}

SimReading LiveReading(uint64_t n, uint32_t address) {
    SimReading r;
    r.Keys = static_cast<uint8_t>(1u << ((n / 5) % 8));
    r.Keys2 = static_cast<uint8_t>((n / 40) % 4);
    r.StatusNumber = static_cast<uint8_t>((n / 10) % 16);
    r.Inputs = static_cast<uint8_t>((n / 6) % 16);
    r.Controls = static_cast<uint8_t>((n / 12) % 4);
    r.Relays = static_cast<uint16_t>(1u << ((n / 4) % 16));
    for (unsigned i = 0; i < 12; ++i) {
        SimChannel& c = r.Channels[i];
        c.Value =
            20.0 + 5.0 * i + 8.0 * std::sin(0.15 * double(n) + i) + 100.0 * (double(address) - 1.0);
        c.StateBits =
            static_cast<uint8_t>(((n / 8) + i) % 16 == 0 ? 4 : (((n / 8) + i) % 8 == 1 ? 1 : 0));
    }
    if ((n / 6) % 4 == 1) // answers 6-11, 30-35, ...: the "red" error on channel 3
        r.Channels[2].ErrorCode = 11;
    if ((n / 9) % 5 == 2)
        r.Channels[7].ErrorCode = 3;
    return r;
}

std::string ComposeAnswer(ProtocolVariant variant, const SimReading& r, bool corruptChecksum) {
    using namespace AnswerLayout;
    // The status text: zeros, with a two-digit hexadecimal pair at each place the reader reads.
    std::string status(kStatusLength, '0');
    const auto put = [&status](unsigned at, unsigned value) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02X", value & 0xFF);
        status.replace(at, 2, pair);
    };
    put(kKeysAt, r.Keys);
    put(kKeys2At, r.Keys2);
    put(kStatusNumberAt, r.StatusNumber & 0x0F);
    put(kInputsAt, r.Inputs);
    put(kControlsAt, r.Controls);
    put(kRelaysHighAt, r.Relays >> 8);
    put(kRelaysLowAt, r.Relays & 0xFF);
    std::string frame;
    frame.reserve(128);
    frame.append(1, kStartMark).append(status).append(1, kSeparator);
    for (const SimChannel& c : r.Channels) {
        // A field holds at most 15 characters: two digits and up to 13 for the value.
        const double value = std::fmax(-99999999.0, std::fmin(99999999.0, c.Value));
        char field[48];
        std::snprintf(field, sizeof field, "%X%X%.2f%c", c.ErrorCode & 0xF, c.StateBits & 0xF,
                      value, kSeparator);
        frame += field;
    }
    char checksum[16];
    if (variant == ProtocolVariant::Crc) {
        const uint16_t crc =
            static_cast<uint16_t>(InstrumentCrc(frame) + (corruptChecksum ? 1 : 0));
        std::snprintf(checksum, sizeof checksum, "%u", unsigned(crc));
    } else {
        const uint8_t sum =
            static_cast<uint8_t>(InstrumentSum(frame.substr(1)) + (corruptChecksum ? 1 : 0));
        std::snprintf(checksum, sizeof checksum, "%X", unsigned(sum));
    }
    return frame.append(checksum).append(1, kEndMark);
}

namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

enum class Match { No, Partial, Yes };

// Tries to read a frame body (after the 0xFF preamble) at pending[pos].
Match MatchBody(const std::string& s, size_t pos, RequestFrame& out, size_t& end) {
    if (pos >= s.size())
        return Match::Partial;
    const char mark = s[pos];
    if (mark != ':' && mark != '>')
        return Match::No;
    size_t i = pos + 1;
    uint32_t address = 0;
    size_t digits = 0;
    for (; i < s.size() && IsDigit(s[i]) && digits < 3; ++i, ++digits)
        address = address * 10 + static_cast<uint32_t>(s[i] - '0');
    const std::string tail = mark == ':' ? ";423;\r" : ";HH\r";
    if (i == s.size())
        return Match::Partial;
    if (digits == 0)
        return Match::No;
    for (size_t k = 0; k < tail.size(); ++k, ++i) {
        if (i >= s.size())
            return Match::Partial;
        const char c = s[i];
        const bool ok =
            tail[k] == 'H' ? std::isxdigit(static_cast<unsigned char>(c)) != 0 : c == tail[k];
        if (!ok)
            return Match::No;
    }
    if (mark == '>') {
        const unsigned sum = InstrumentSum(s.substr(pos + 1, digits + 1));
        const unsigned sent =
            static_cast<unsigned>(std::stoul(s.substr(pos + 2 + digits, 2), nullptr, 16));
        if (sum != sent)
            return Match::No;
    }
    out.Variant = mark == ':' ? ProtocolVariant::Crc : ProtocolVariant::Sum;
    out.Address = address;
    end = i;
    return Match::Yes;
}

} // namespace

std::optional<RequestFrame> TakeRequest(std::string& pending) {
    for (size_t start = 0; start < pending.size(); ++start) {
        size_t body = start;
        while (body < pending.size() && static_cast<uint8_t>(pending[body]) == 0xFF)
            ++body;
        RequestFrame frame;
        size_t end = 0;
        const Match match = MatchBody(pending, body, frame, end);
        if (match == Match::Partial) {
            pending.erase(0, start);
            return std::nullopt;
        }
        if (match == Match::Yes) {
            frame.Bytes = pending.substr(start, end - start);
            pending.erase(0, end);
            return frame;
        }
    }
    pending.clear();
    return std::nullopt;
}

std::optional<Fault> ParseFault(const std::string& name, const std::string& argument) {
    struct Row {
        const char* name;
        FaultKind kind;
        uint32_t defaultMs;
    };
    static const Row rows[] = {
        {"none", FaultKind::None, 0},          {"silence", FaultKind::Silence, 0},
        {"badsum", FaultKind::BadChecksum, 0}, {"short", FaultKind::Short, 0},
        {"noise", FaultKind::Noise, 0},        {"split", FaultKind::Split, 200},
        {"delay", FaultKind::Delay, 300},      {"long", FaultKind::Long, 0},
        {"garbage", FaultKind::Garbage, 0},    {"hangup", FaultKind::Hangup, 0},
    };
    for (const Row& row : rows) {
        if (name != row.name)
            continue;
        Fault fault{row.kind, row.defaultMs};
        if (!argument.empty()) {
            char* end = nullptr;
            const unsigned long ms = std::strtoul(argument.c_str(), &end, 10);
            if (*end != '\0' || ms > 600000)
                return std::nullopt;
            fault.Ms = static_cast<uint32_t>(ms);
        }
        return fault;
    }
    return std::nullopt;
}

namespace {

// The answer with the fault applied, in chunks without pacing.
std::vector<Chunk> PlanFault(const std::string& answer, const Fault& fault) {
    std::vector<Chunk> chunks;
    std::string bytes = answer;
    uint64_t firstDelayUs = 0;
    switch (fault.Kind) {
    case FaultKind::None:
    case FaultKind::BadChecksum: // applied when the answer is composed
        break;
    case FaultKind::Silence:
    case FaultKind::Hangup:
        return chunks;
    case FaultKind::Short:
        bytes = answer.substr(0, 40);
        break;
    case FaultKind::Noise:
        bytes = std::string("\x00\xFF!#;noise;\r", 13) + answer;
        break;
    case FaultKind::Delay:
        firstDelayUs = uint64_t(fault.Ms) * 1000;
        break;
    case FaultKind::Long:
        bytes = std::string(250 - std::min<size_t>(answer.size(), 250), '~') + answer;
        break;
    case FaultKind::Garbage:
        bytes.clear();
        for (int i = 0; i < 90; ++i)
            bytes += static_cast<char>((i * 37 + 11) % 256);
        break;
    case FaultKind::Split: {
        const size_t half = bytes.size() / 2;
        chunks.push_back({0, bytes.substr(0, half)});
        chunks.push_back({uint64_t(fault.Ms) * 1000, bytes.substr(half)});
        bytes.clear();
        break;
    }
    }
    if (!bytes.empty())
        chunks.push_back({firstDelayUs, bytes});
    return chunks;
}

} // namespace

std::vector<Chunk> PlanAnswer(const std::string& answer, const Fault& fault, bool pace,
                              uint32_t baudRate, uint32_t turnaroundMs) {
    std::vector<Chunk> chunks = PlanFault(answer, fault);
    if (!chunks.empty())
        chunks.front().DelayUs += uint64_t(turnaroundMs) * 1000;
    if (!pace || baudRate == 0)
        return chunks;

    // One chunk per byte, each after the wire time of one character (start, 8 data, stop bits).
    const uint64_t byteUs = 10'000'000ull / baudRate;
    std::vector<Chunk> paced;
    for (const Chunk& chunk : chunks)
        for (size_t i = 0; i < chunk.Bytes.size(); ++i)
            paced.push_back({(i == 0 ? chunk.DelayUs : 0) + byteUs, chunk.Bytes.substr(i, 1)});
    return paced;
}

namespace {

// A network number, "0" to "255" in at most three digits.
std::optional<uint32_t> ParseAddress(const std::string& text) {
    if (text.empty() || text.size() > 3 || !std::all_of(text.begin(), text.end(), IsDigit))
        return std::nullopt;
    const auto n = static_cast<uint32_t>(std::stoul(text));
    return n <= 255 ? std::optional<uint32_t>(n) : std::nullopt;
}

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    size_t from = 0;
    for (size_t at; (at = text.find(separator, from)) != std::string::npos; from = at + 1)
        parts.push_back(text.substr(from, at - from));
    parts.push_back(text.substr(from));
    return parts;
}

} // namespace

std::optional<std::vector<uint32_t>> SortedAddressList(const std::string& text) {
    auto addresses = ParseAddressList(text);
    if (addresses)
        std::sort(addresses->begin(), addresses->end());
    return addresses;
}

std::optional<FaultOption> ParseFaultOption(const std::string& text, const std::string& defaultMs) {
    std::vector<std::string> parts = Split(text, ':');
    FaultOption option;
    if (parts.size() > 1 && !parts.front().empty() && IsDigit(parts.front().front())) {
        option.Address = ParseAddress(parts.front());
        if (!option.Address)
            return std::nullopt;
        parts.erase(parts.begin());
    }
    if (parts.size() > 2)
        return std::nullopt;
    if (parts.size() == 2 && parts[1].empty()) // "split:" is a typing error, not the default
        return std::nullopt;
    const auto fault = ParseFault(parts[0], parts.size() == 2 ? parts[1] : defaultMs);
    if (!fault)
        return std::nullopt;
    option.Value = *fault;
    return option;
}

std::optional<BusFaults> ParseBusFaults(const std::vector<std::string>& specs,
                                        const std::string& defaultMs,
                                        const std::vector<uint32_t>& addresses) {
    BusFaults faults;
    for (const std::string& text : specs) {
        const auto option = ParseFaultOption(text, defaultMs);
        if (!option)
            return std::nullopt;
        if (!option->Address)
            faults.All = option->Value;
        else if (std::find(addresses.begin(), addresses.end(), *option->Address) != addresses.end())
            faults.Own[*option->Address] = option->Value;
        else
            return std::nullopt;
    }
    return faults;
}

std::optional<ReadingKind> ParseReadingKind(const std::string& name) {
    if (name == "live")
        return ReadingKind::Live;
    if (name == "example")
        return ReadingKind::Example;
    if (name == "zero")
        return ReadingKind::Zero;
    return std::nullopt;
}

void SimInstrument::SetReading(ReadingKind kind) {
    if (kind == ReadingKind::Example)
        Fixed = ExampleReading();
    else if (kind == ReadingKind::Zero)
        Fixed = SimReading{};
    Reading = kind;
}

void SimInstrument::FixReading() {
    if (Reading == ReadingKind::Live) {
        Fixed = LiveReading(AnswerNumber, Address);
        Reading = ReadingKind::Fixed;
    }
}

SimBus::SimBus(const std::vector<uint32_t>& addresses, ReadingKind reading,
               const BusFaults& faults) {
    for (uint32_t address : addresses) {
        SimInstrument& instrument = m_instruments[address];
        instrument.Address = address;
        instrument.SetReading(reading);
        const auto own = faults.Own.find(address);
        instrument.Standing = own == faults.Own.end() ? faults.All : own->second;
    }
}

std::optional<SimBus::Answer> SimBus::AnswerFor(ProtocolVariant variant, uint32_t address) {
    const auto found = m_instruments.find(address);
    if (found == m_instruments.end())
        return std::nullopt;
    SimInstrument& instrument = found->second;
    const Fault fault = instrument.Next.value_or(instrument.Standing);
    instrument.Next.reset();
    const SimReading reading = instrument.Reading == ReadingKind::Live
                                   ? LiveReading(instrument.AnswerNumber, address)
                                   : instrument.Fixed;
    ++instrument.AnswerNumber;
    return Answer{ComposeAnswer(variant, reading, fault.Kind == FaultKind::BadChecksum), fault};
}

bool SimBus::Command(const std::string& line) {
    std::istringstream in(line);
    std::string verb;
    in >> verb;
    std::optional<uint32_t> target;
    if (verb.size() > 1 && verb.front() == '@') {
        target = ParseAddress(verb.substr(1));
        if (!target || !m_instruments.count(*target) || !(in >> verb))
            return false;
    }

    // The command is read whole before anything changes, then applied to each instrument.
    std::function<void(SimInstrument&)> change;
    if (verb == "fault" || verb == "next") {
        std::string name, ms;
        in >> name >> ms;
        const auto fault = ParseFault(name, ms);
        if (!fault)
            return false;
        if (verb == "fault")
            change = [fault](SimInstrument& i) { i.Standing = *fault; };
        else
            change = [fault](SimInstrument& i) { i.Next = *fault; };
    } else if (verb == "reading") {
        std::string name;
        in >> name;
        const auto kind = ParseReadingKind(name);
        if (!kind)
            return false;
        change = [kind](SimInstrument& i) { i.SetReading(*kind); };
    } else if (verb == "channel") {
        unsigned n = 0, error = 0, state = 0;
        double value = 0;
        if (!(in >> n >> std::hex >> error >> state >> std::dec >> value) || n < 1 || n > 12)
            return false;
        const SimChannel channel{uint8_t(error & 0xF), uint8_t(state & 0xF), value};
        change = [n, channel](SimInstrument& i) {
            i.FixReading();
            i.Fixed.Channels[n - 1] = channel;
        };
    } else if (verb == "status") {
        unsigned keys, keys2, number, inputs, controls, relays;
        if (!(in >> std::hex >> keys >> keys2 >> number >> inputs >> controls >> relays))
            return false;
        change = [=](SimInstrument& i) {
            i.FixReading();
            i.Fixed.Keys = uint8_t(keys);
            i.Fixed.Keys2 = uint8_t(keys2);
            i.Fixed.StatusNumber = uint8_t(number & 0xF);
            i.Fixed.Inputs = uint8_t(inputs);
            i.Fixed.Controls = uint8_t(controls);
            i.Fixed.Relays = uint16_t(relays);
        };
    } else if (verb == "address" && !target) {
        std::string list;
        in >> list;
        const auto addresses = SortedAddressList(list);
        if (!addresses)
            return false;
        const SimInstrument first =
            m_instruments.empty() ? SimInstrument{} : m_instruments.begin()->second;
        std::map<uint32_t, SimInstrument> instruments;
        for (uint32_t address : *addresses) {
            const auto kept = m_instruments.find(address);
            SimInstrument& instrument = instruments[address];
            instrument = kept != m_instruments.end() ? kept->second : first;
            instrument.Address = address;
        }
        m_instruments = std::move(instruments);
        return true;
    } else {
        return false;
    }
    if (target) {
        change(m_instruments.at(*target));
    } else {
        for (auto& [address, instrument] : m_instruments)
            change(instrument);
    }
    return true;
}
