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

// Which answers count as a frame. The window's programs take the last '!' as the start, the
// last CR as the end and the last ';' before that CR as the checksum's end, wherever they lie:
// when that ';' lies before the '!', the checksum covers no byte at all (a CRC of 0xFFFF, a sum
// of 0), so a checksum text of 65535 or 0 "matches" whatever came. With WholeFrame an answer is
// a frame only when a '!' starts it before its checksum's ';' and its CR, so that the checksum
// covers the frame; anything else is NoFrame and changes no value of the reading. The service
// and reader-tool use it: a reading reaches the plant only from a frame its checksum covers.
enum class FrameRule { Reader, WholeFrame };

ParseOutcome ParseAnswer(ProtocolVariant variant, const ReceiveBuffer& buffer,
                         uint32_t receivedLength, DeviceReading& reading,
                         FrameRule rule = FrameRule::Reader);

// True when the bytes read so far end in a whole frame (FrameRule::WholeFrame): at least
// kMinAnswerLength bytes, the last one the frame's CR, and a checksum text before it that
// matches. A read may end there instead of waiting out its time-outs; a CR inside a value or a
// checksum that does not match yet keeps it waiting.
bool AnswerLooksComplete(ProtocolVariant variant, const uint8_t* data, uint32_t count);
