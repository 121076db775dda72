#pragma once

#include "reading.h"
#include "variant.h"

#include <array>
#include <cstdint>

// The exchange reads at most kMaxReadLength bytes into a zero-filled ReceiveBuffer, so the
// received bytes are always followed by zero bytes.
using ReceiveBuffer = std::array<uint8_t, 256>;
constexpr uint32_t kMaxReadLength = 200;
constexpr uint32_t kMinAnswerLength = 70;

// Decodes the answer in buffer[0, receivedLength) into reading.
// Returns 0 when the answer is long enough and its checksum matches, 1 otherwise.
//
// The status values (KeyBits ... StatusNumber) are cleared first. An answer shorter than
// kMinAnswerLength, or one that has no carriage return, no ';' before it or a checksum text
// over 15 characters, changes nothing else. Every other answer is decoded completely, even
// when its checksum fails; channel values that do not convert keep their previous value.
uint16_t ParseResponse(ProtocolVariant variant, const ReceiveBuffer& buffer,
                       uint32_t receivedLength, DeviceReading& reading);

// The same parse, telling how an answer failed.
enum class ParseOutcome {
    Parsed,
    TooShort,         // fewer than kMinAnswerLength bytes
    NoFrame,          // no end mark, no ';' before it, or a checksum text over 15 characters
    ChecksumMismatch, // decoded, but the checksum text does not give the computed checksum
};
ParseOutcome ParseAnswer(ProtocolVariant variant, const ReceiveBuffer& buffer,
                         uint32_t receivedLength, DeviceReading& reading);

// True when the bytes read so far end in a whole answer: at least kMinAnswerLength bytes, the
// last one the frame's CR, and a checksum text before it that matches. A read may end there
// instead of waiting out its interval time-out; a CR inside a value or a checksum that does not
// match yet keeps it waiting.
bool AnswerLooksComplete(ProtocolVariant variant, const uint8_t* data, uint32_t count);
