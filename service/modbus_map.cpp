#include "modbus_map.h"

#include <modbus.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace {

constexpr uint8_t kIllegalFunction = 0x01;
constexpr uint8_t kIllegalAddress = 0x02;
constexpr uint8_t kIllegalValue = 0x03;
constexpr uint8_t kPathUnavailable = 0x0A;
constexpr uint8_t kTargetFailed = 0x0B;

uint16_t Word(const uint8_t* bytes) {
    return uint16_t(bytes[0] << 8 | bytes[1]);
}

uint16_t Saturated16(int64_t value) {
    return uint16_t(std::clamp<int64_t>(value, 0, 0xFFFF));
}

void Put32(uint16_t* out, uint64_t value) {
    out[0] = uint16_t(value >> 16);
    out[1] = uint16_t(value);
}

// Bit i of the word is flags[i].
template <size_t N> uint16_t Bits(const std::array<uint16_t, N>& flags, size_t from, size_t count) {
    uint16_t word = 0;
    for (size_t i = 0; i < count; ++i)
        word |= uint16_t((flags[from + i] ? 1u : 0u) << i);
    return word;
}

uint16_t ChannelBits(const DeviceReading& reading, uint16_t stateBit) {
    uint16_t word = 0;
    for (size_t n = 0; n < reading.Channels.size(); ++n)
        if (reading.Channels[n].StateBits & stateBit)
            word |= uint16_t(1u << n);
    return word;
}

void FillRegisters(const InstrumentData& instrument, const LineData& line, FloatOrder order,
                   int64_t nowMs, uint16_t* r) {
    const DeviceReading& reading = instrument.Reading;
    for (size_t n = 0; n < 12; ++n) {
        const float value = reading.Channels[n].Value;
        EncodeFloat(std::isfinite(value) ? value : std::numeric_limits<float>::quiet_NaN(), order,
                    r + 2 * n);
        r[24 + n] = uint16_t(ScaledByTen(value));
        r[36 + n] = reading.Channels[n].ErrorCode;
    }
    r[48] = ChannelBits(reading, kSensorBreakBit);
    r[49] = ChannelBits(reading, kSetpoint1Bit);
    r[50] = ChannelBits(reading, kSetpoint2Bit);
    r[51] = Bits(reading.RelayFlags, 0, 16);
    r[52] = Bits(reading.DiscreteFlags, 0, 4);
    r[53] = Bits(reading.DiscreteFlags, 8, 2);
    r[54] = Bits(reading.KeyFlags, 0, 10);
    r[55] = reading.StatusNumber;
    r[56] = instrument.Answered ? Saturated16((nowMs - instrument.ReadAtMs) / 100) : 0;
    r[57] = instrument.Online ? 1 : 0;
    Put32(r + 58, instrument.Seq);
    r[60] = Saturated16(instrument.ExchangeMs);
    r[64] = line.PortOpen ? 1 : 0;
    r[65] = Saturated16(std::llround(line.Rate.PerSecond(nowMs) * 100));
    Put32(r + 66, line.NoAnswer);
    Put32(r + 68, line.ChecksumMismatch);
    Put32(r + 70, line.Exchanges);
}

void FillBits(const DeviceReading& reading, uint8_t* bits) {
    size_t at = 0;
    const auto put = [&](bool on) { bits[at++] = on ? 1 : 0; };
    for (uint16_t flag : reading.RelayFlags)
        put(flag);
    for (size_t i = 0; i < 4; ++i)
        put(reading.DiscreteFlags[i]);
    for (size_t i = 8; i < 10; ++i)
        put(reading.DiscreteFlags[i]);
    for (uint16_t flag : reading.KeyFlags)
        put(flag);
    for (uint16_t bit : {kSensorBreakBit, kSetpoint1Bit, kSetpoint2Bit})
        for (const ChannelReading& channel : reading.Channels)
            put(channel.StateBits & bit);
}

} // namespace

void RateWindow::Add(int64_t nowMs) {
    const int64_t second = nowMs / 1000;
    if (m_firstSecond < 0)
        m_firstSecond = second;
    const size_t slot = size_t(second % 60);
    if (m_second[slot] != second) {
        m_second[slot] = second;
        m_counts[slot] = 0;
    }
    ++m_counts[slot];
}

double RateWindow::PerSecond(int64_t nowMs) const {
    const int64_t second = nowMs / 1000;
    if (m_firstSecond < 0 || second <= m_firstSecond)
        return 0;
    uint64_t count = 0;
    for (size_t i = 0; i < 60; ++i)
        if (m_second[i] < second && m_second[i] >= second - 60)
            count += m_counts[i];
    return double(count) / double(std::min<int64_t>(60, second - m_firstSecond));
}

void EncodeFloat(float value, FloatOrder order, uint16_t* out) {
    uint32_t bits = 0;
    std::memcpy(&bits, &value, 4);
    const uint16_t high = uint16_t(bits >> 16), low = uint16_t(bits);
    const auto swapped = [](uint16_t word) { return uint16_t(word << 8 | word >> 8); };
    switch (order) {
    case FloatOrder::Abcd:
        out[0] = high, out[1] = low;
        break;
    case FloatOrder::Cdab:
        out[0] = low, out[1] = high;
        break;
    case FloatOrder::Badc:
        out[0] = swapped(high), out[1] = swapped(low);
        break;
    case FloatOrder::Dcba:
        out[0] = swapped(low), out[1] = swapped(high);
        break;
    }
}

int16_t ScaledByTen(float value) {
    if (!std::isfinite(value))
        return std::numeric_limits<int16_t>::min();
    return int16_t(std::clamp(std::round(double(value) * 10), -32767.0, 32767.0));
}

std::optional<size_t> FrameLength(const uint8_t* adu, size_t read) {
    const size_t length = 6 + size_t(Word(adu + 4));
    const uint8_t function = adu[7];
    const bool readRequest = function >= 0x02 && function <= 0x04;
    // A function code of 0x80 or more marks an exception answer, never a request.
    if (Word(adu + 2) != 0 || length < read || length > kMaxFrame || (function & 0x80) ||
        (readRequest && length != 12))
        return std::nullopt;
    return length;
}

void Answer(const uint8_t* adu, const InstrumentData* instrument, const LineData* line,
            const GatewaySettings& settings, int64_t nowMs, GatewayAnswer& out) {
    const uint8_t function = adu[7];
    if (!instrument || !line) {
        out.Exception = kPathUnavailable;
        return;
    }
    if (function < 0x02 || function > 0x04) {
        out.Exception = kIllegalFunction;
        return;
    }
    const uint32_t address = Word(adu + 8), count = Word(adu + 10);
    const bool bits = function == 0x02;
    if (count == 0 || count > (bits ? 2000u : 125u)) {
        out.Exception = kIllegalValue;
        return;
    }
    if (address + count > (bits ? kDiscreteCount : kRegisterCount)) {
        out.Exception = kIllegalAddress;
        return;
    }
    const bool lineOnly = !bits && address >= kLineRegisters;
    const bool usable =
        instrument->Answered && (instrument->Online || settings.Offline == OfflineMode::Stale);
    if (!usable && !lineOnly) {
        out.Exception = kTargetFailed;
        return;
    }
    out.Exception = 0;
    if (bits)
        FillBits(instrument->Reading, out.Bits.data());
    else
        FillRegisters(*instrument, *line, settings.Order, nowMs, out.Registers.data());
}

int SendAnswer(modbus_t* context, const uint8_t* adu, int length, GatewayAnswer& answer) {
    if (answer.Exception)
        return modbus_reply_exception(context, adu, answer.Exception);
    // modbus_reply would carry out a write into the map: only reads ever reach it.
    modbus_mapping_t map{};
    map.nb_input_bits = kDiscreteCount;
    map.tab_input_bits = answer.Bits.data();
    map.nb_input_registers = map.nb_registers = kRegisterCount;
    map.tab_input_registers = map.tab_registers = answer.Registers.data();
    return modbus_reply(context, adu, length, &map);
}
