#pragma once

#include <array>
#include <cstdint>

// A channel's error code 0 means no error; this one is shown red, every other one yellow.
inline constexpr uint16_t kRedErrorCode = 11;
// A channel's state bits.
inline constexpr uint16_t kSensorBreakBit = 4;
inline constexpr uint16_t kSetpoint2Bit = 2;
inline constexpr uint16_t kSetpoint1Bit = 1;

// One channel of the instrument's answer.
struct ChannelReading {
    uint16_t ErrorCode = 0; // 0-15
    uint16_t StateBits = 0; // kSensorBreakBit, kSetpoint2Bit, kSetpoint1Bit
    float Value = 0.0f;     // measured value
};

// The decoded content of the instrument's latest answer. A flag is exactly 0 or 1.
struct DeviceReading {
    uint16_t KeyBits = 0;      // eight front-panel keys
    uint16_t KeyBits2 = 0;     // bit 0: "EXE", bit 1: protection test
    uint16_t InputBits = 0;    // bits 0-3: discrete inputs 1-4
    uint16_t ControlBits = 0;  // bits 0-1: control buffers 1-2
    uint16_t RelayBits = 0;    // relay n is bit n-1
    uint16_t StatusNumber = 0; // 0-15

    std::array<uint16_t, 16> RelayFlags{};
    std::array<uint16_t, 16> DiscreteFlags{}; // 0-3 inputs, 8-9 control buffers, others 0
    std::array<uint16_t, 10> KeyFlags{};      // 0-7 from KeyBits, 8-9 from KeyBits2

    std::array<ChannelReading, 12> Channels{};

    uint16_t ChecksumReceived = 0;
    uint16_t ChecksumComputed = 0;
};
