#include "parser.h"

#include "answer_layout.h"
#include "checksums.h"
#include "scan_number.h"

#include <algorithm>
#include <cstring>

namespace {

using namespace AnswerLayout;

// Positions past the buffer read as the zero bytes that follow every answer.
uint8_t ByteAt(const ReceiveBuffer& buffer, unsigned pos) {
    return pos < buffer.size() ? buffer[pos] : 0;
}

// A status value: the pair at text[pos] read as sscanf's "%2x" reads it from there (so blanks
// before it are skipped, and a sign or a "0x" counts toward the two characters); 0 when it
// reads nothing.
uint32_t StatusPairAt(const char* text, unsigned pos) {
    return ScanUnsigned(text + pos, 16, 2).value_or(0);
}

// A channel's error code or state digit: "%1x" from text[pos], 0 when it reads nothing.
uint16_t DigitAt(const char* text, unsigned pos) {
    return static_cast<uint16_t>(ScanUnsigned(text + pos, 16, 1).value_or(0));
}

// Backward search over positions from..1 for ch; 0 when not found (position 0 is never
// examined).
unsigned FindBackward(const ReceiveBuffer& buffer, unsigned from, uint8_t ch) {
    for (unsigned pos = from; pos >= 1; --pos)
        if (ByteAt(buffer, pos) == ch)
            return pos;
    return 0;
}

// Copies length bytes from pos into a zero-filled working text of N bytes (length < N).
template <size_t N>
void CopyText(const ReceiveBuffer& buffer, unsigned pos, unsigned length, char (&text)[N]) {
    std::memset(text, 0, N);
    if (pos >= buffer.size())
        return; // past the buffer: the zero bytes that follow every answer
    const size_t count = std::min<size_t>({length, N - 1, buffer.size() - pos});
    std::memcpy(text, buffer.data() + pos, count);
}

// Where the frame lies: the last '!' starts it, the last CR ends it, and the last ';' before
// that CR ends the part the checksum covers. False when there is no such CR or ';', or the
// checksum text is too long to be one.
struct FrameMarks {
    unsigned Start = 0, End = 0, Separator = 0;
};
bool LocateFrame(const ReceiveBuffer& buffer, unsigned length, FrameRule rule, FrameMarks& marks) {
    marks.Start = FindBackward(buffer, length, kStartMark);
    marks.End = FindBackward(buffer, length, kEndMark);
    if (marks.End == 0)
        return false; // cut off before its end, e.g. by the read limit
    marks.Separator = FindBackward(buffer, marks.End, kSeparator);
    if (marks.Separator == 0 || marks.End - marks.Separator - 1 > kMaxChecksumText)
        return false;
    // A whole frame: a real '!' before the checksum's ';' (and so before the CR).
    return rule == FrameRule::Reader ||
           (ByteAt(buffer, marks.Start) == kStartMark && marks.Start < marks.Separator);
}

// The checksum over the part of the frame it covers (none when the separator lies before the
// start mark).
uint16_t ComputedChecksum(const ProtocolTraits& traits, const ReceiveBuffer& buffer,
                          const FrameMarks& marks) {
    const size_t coveredFrom = marks.Start + (traits.ChecksumSkipsStartMark ? 1 : 0);
    return marks.Separator >= coveredFrom ? traits.AnswerChecksum(buffer.data() + coveredFrom,
                                                                  marks.Separator - coveredFrom + 1)
                                          : traits.AnswerChecksum(nullptr, 0);
}

void DeriveFlags(DeviceReading& reading, uint16_t statusByte) {
    for (unsigned i = 0; i < 8; ++i)
        reading.KeyFlags[i] = (reading.KeyBits >> i) & 1u;
    reading.KeyFlags[8] = reading.KeyBits2 & 1u;
    reading.KeyFlags[9] = (reading.KeyBits2 >> 1) & 1u;

    for (unsigned i = 0; i < 16; ++i)
        reading.RelayFlags[i] = (reading.RelayBits >> i) & 1u;

    reading.DiscreteFlags.fill(0);
    for (unsigned i = 0; i < 4; ++i)
        reading.DiscreteFlags[i] = (reading.InputBits >> i) & 1u;
    reading.DiscreteFlags[8] = reading.ControlBits & 1u;
    reading.DiscreteFlags[9] = (reading.ControlBits >> 1) & 1u;

    reading.StatusNumber = statusByte & 0x0Fu;
}

} // namespace

uint16_t ParseResponse(ProtocolVariant variant, const ReceiveBuffer& buffer,
                       uint32_t receivedLength, DeviceReading& reading) {
    return ParseAnswer(variant, buffer, receivedLength, reading) == ParseOutcome::Parsed ? 0 : 1;
}

ParseOutcome ParseAnswer(ProtocolVariant variant, const ReceiveBuffer& buffer,
                         uint32_t receivedLength, DeviceReading& reading, FrameRule rule) {
    reading.KeyBits = 0;
    reading.KeyBits2 = 0;
    reading.InputBits = 0;
    reading.ControlBits = 0;
    reading.RelayBits = 0;
    reading.StatusNumber = 0;

    if (receivedLength < kMinAnswerLength)
        return ParseOutcome::TooShort;
    const unsigned length = receivedLength < kMaxReadLength ? receivedLength : kMaxReadLength;

    FrameMarks marks;
    if (!LocateFrame(buffer, length, rule, marks))
        return ParseOutcome::NoFrame;
    const unsigned startMark = marks.Start, endMark = marks.End, separator = marks.Separator;

    char checksumText[16];
    CopyText(buffer, separator + 1, endMark - separator - 1, checksumText);

    // Forward walk: status text, then twelve channel fields, each ended by ';'.
    char statusText[32];
    unsigned textEnd = startMark + 1;
    std::memset(statusText, 0, sizeof statusText);
    for (unsigned i = 0; i < kStatusSearch; ++i) {
        if (ByteAt(buffer, startMark + 1 + i) == kSeparator) {
            CopyText(buffer, startMark + 1, i, statusText);
            textEnd = startMark + 1 + i;
            break;
        }
    }

    char fieldText[kChannels][16];
    for (auto& field : fieldText) {
        const unsigned fieldStart = textEnd + 1;
        unsigned fieldLength = 0;
        textEnd = fieldStart; // a field without ';' in reach is empty and ends at its start
        for (unsigned i = 0; i < kFieldSearch; ++i) {
            if (ByteAt(buffer, fieldStart + i) == kSeparator) {
                fieldLength = i;
                textEnd = fieldStart + i;
                break;
            }
        }
        CopyText(buffer, fieldStart, fieldLength, field);
    }

    reading.KeyBits = static_cast<uint16_t>(StatusPairAt(statusText, kKeysAt));
    reading.KeyBits2 = static_cast<uint16_t>(StatusPairAt(statusText, kKeys2At));
    const uint16_t statusByte = static_cast<uint16_t>(StatusPairAt(statusText, kStatusNumberAt));
    reading.InputBits = static_cast<uint16_t>(StatusPairAt(statusText, kInputsAt));
    reading.ControlBits = static_cast<uint16_t>(StatusPairAt(statusText, kControlsAt));
    // Each pair fills one byte of the relay word.
    reading.RelayBits =
        static_cast<uint16_t>(((StatusPairAt(statusText, kRelaysHighAt) & 0xFFu) << 8) |
                              (StatusPairAt(statusText, kRelaysLowAt) & 0xFFu));

    for (unsigned ch = 0; ch < kChannels; ++ch) {
        ChannelReading& channel = reading.Channels[ch];
        channel.ErrorCode = DigitAt(fieldText[ch], kErrorCodeAt);
        channel.StateBits = DigitAt(fieldText[ch], kStateAt);
        if (const auto value = ScanFloat(fieldText[ch] + kValueAt)) // else the value is kept
            channel.Value = *value;
    }

    ParseOutcome outcome = ParseOutcome::Parsed;
    // "%u" (crc) or "%x" (sum); only the low 16 bits count.
    const ProtocolTraits& traits = TraitsOf(variant);
    const auto receivedText = ScanUnsigned(checksumText, traits.ChecksumTextBase, 0);
    const bool hasNumber = receivedText.has_value();
    const uint16_t received =
        hasNumber ? static_cast<uint16_t>(*receivedText) : reading.ChecksumReceived;

    const uint16_t computed = ComputedChecksum(traits, buffer, marks);

    if (!hasNumber || received != computed)
        outcome = ParseOutcome::ChecksumMismatch;

    reading.ChecksumReceived = received;
    reading.ChecksumComputed = computed;
    DeriveFlags(reading, statusByte);
    return outcome;
}

bool AnswerLooksComplete(ProtocolVariant variant, const uint8_t* data, uint32_t count) {
    if (count < kMinAnswerLength || count > kMaxReadLength || data[count - 1] != '\r')
        return false;
    ReceiveBuffer buffer{};
    std::memcpy(buffer.data(), data, count);
    // Only the checksum is compared: the fields are decoded once, by the exchange's parse.
    FrameMarks marks;
    if (!LocateFrame(buffer, count, FrameRule::WholeFrame, marks))
        return false;
    char checksumText[16];
    CopyText(buffer, marks.Separator + 1, marks.End - marks.Separator - 1, checksumText);
    const ProtocolTraits& traits = TraitsOf(variant);
    const auto received = ScanUnsigned(checksumText, traits.ChecksumTextBase, 0);
    return received && uint16_t(*received) == ComputedChecksum(traits, buffer, marks);
}
