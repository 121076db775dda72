#include "parser.h"

#include "checksums.h"

#include <clocale>
#include <cstdlib>
#include <cstring>
#include <locale.h>

namespace {

constexpr unsigned kStatusSearch = 30; // positions searched for the ';' that ends the status
constexpr unsigned kFieldSearch = 16;  // positions searched for the ';' that ends a channel
constexpr unsigned kMaxChecksumText = 15;

// Positions past the buffer read as the zero bytes that follow every answer.
uint8_t ByteAt(const ReceiveBuffer& buffer, unsigned pos) {
    return pos < buffer.size() ? buffer[pos] : 0;
}

int HexDigitValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// One or two hex digits starting exactly at text[pos]; 0 when text[pos] is not a hex digit.
uint16_t HexPairAt(const char* text, unsigned pos) {
    const int high = HexDigitValue(text[pos]);
    if (high < 0)
        return 0;
    const int low = HexDigitValue(text[pos + 1]);
    return static_cast<uint16_t>(low < 0 ? high : high * 16 + low);
}

uint16_t HexDigitAt(const char* text, unsigned pos) {
    const int value = HexDigitValue(text[pos]);
    return static_cast<uint16_t>(value < 0 ? 0 : value);
}

bool IsBlank(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// Converts text the way scanf's "%u" (base 10) or "%x" (base 16) does: blanks, an optional
// sign, for base 16 an optional 0x prefix, then digits; the result wraps modulo 2^64 and only
// its low 16 bits are kept. Returns false when the text holds no number.
bool ConvertChecksumText(const char* text, int base, uint16_t& out) {
    const char* p = text;
    while (IsBlank(*p))
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-')
        negative = (*p++ == '-');
    if (base == 16 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X'))
        p += (HexDigitValue(p[2]) >= 0) ? 2 : 1; // a bare "0x" converts as the digit 0
    uint64_t value = 0;
    bool anyDigit = false;
    for (;; ++p) {
        const int digit = HexDigitValue(*p);
        if (digit < 0 || digit >= base)
            break;
        value = value * static_cast<unsigned>(base) + static_cast<unsigned>(digit);
        anyDigit = true;
    }
    if (!anyDigit)
        return false;
    if (negative)
        value = 0 - value;
    out = static_cast<uint16_t>(value);
    return true;
}

// "%f" in the C locale, whatever locale the program runs in.
bool ConvertValueText(const char* text, float& out) {
    static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    char* end = nullptr;
    const float value = strtof_l(text, &end, cLocale);
    if (end == text)
        return false;
    out = value;
    return true;
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
    for (unsigned i = 0; i < length && i < N - 1; ++i)
        text[i] = static_cast<char>(ByteAt(buffer, pos + i));
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
    reading.KeyBits = 0;
    reading.KeyBits2 = 0;
    reading.InputBits = 0;
    reading.ControlBits = 0;
    reading.RelayBits = 0;
    reading.StatusNumber = 0;

    if (receivedLength < kMinAnswerLength)
        return 1;
    const unsigned length = receivedLength < kMaxReadLength ? receivedLength : kMaxReadLength;

    // The frame is found from both ends: the last '!' starts it, the last CR ends it, and the
    // last ';' before that CR ends the part the checksum covers.
    const unsigned startMark = FindBackward(buffer, length, '!');
    const unsigned endMark = FindBackward(buffer, length, '\r');
    if (endMark == 0)
        return 1; // cut off before its end, e.g. by the read limit
    const unsigned separator = FindBackward(buffer, endMark, ';');
    if (separator == 0 || endMark - separator - 1 > kMaxChecksumText)
        return 1;

    char checksumText[16];
    CopyText(buffer, separator + 1, endMark - separator - 1, checksumText);

    // Forward walk: status text, then twelve channel fields, each ended by ';'.
    char statusText[32];
    unsigned textEnd = startMark + 1;
    std::memset(statusText, 0, sizeof statusText);
    for (unsigned i = 0; i < kStatusSearch; ++i) {
        if (ByteAt(buffer, startMark + 1 + i) == ';') {
            CopyText(buffer, startMark + 1, i, statusText);
            textEnd = startMark + 1 + i;
            break;
        }
    }

    char fieldText[12][16];
    for (auto& field : fieldText) {
        const unsigned fieldStart = textEnd + 1;
        unsigned fieldLength = 0;
        textEnd = fieldStart; // a field without ';' in reach is empty and ends at its start
        for (unsigned i = 0; i < kFieldSearch; ++i) {
            if (ByteAt(buffer, fieldStart + i) == ';') {
                fieldLength = i;
                textEnd = fieldStart + i;
                break;
            }
        }
        CopyText(buffer, fieldStart, fieldLength, field);
    }

    reading.KeyBits = HexPairAt(statusText, 0);
    reading.KeyBits2 = HexPairAt(statusText, 2);
    const uint16_t statusByte = HexPairAt(statusText, 6);
    reading.InputBits = HexPairAt(statusText, 9);
    reading.ControlBits = HexPairAt(statusText, 11);
    reading.RelayBits =
        static_cast<uint16_t>((HexPairAt(statusText, 17) << 8) | HexPairAt(statusText, 19));

    for (unsigned ch = 0; ch < 12; ++ch) {
        ChannelReading& channel = reading.Channels[ch];
        channel.ErrorCode = HexDigitAt(fieldText[ch], 0);
        channel.StateBits = HexDigitAt(fieldText[ch], 1);
        ConvertValueText(fieldText[ch] + 2, channel.Value); // keeps the value when it fails
    }

    uint16_t result = 0;
    uint16_t received = reading.ChecksumReceived;
    const bool hasNumber =
        ConvertChecksumText(checksumText, variant == ProtocolVariant::Crc ? 10 : 16, received);

    uint16_t computed = 0;
    if (variant == ProtocolVariant::Crc)
        computed = separator >= startMark
                       ? Crc16(buffer.data() + startMark, separator - startMark + 1)
                       : Crc16(nullptr, 0);
    else
        computed =
            separator > startMark ? Sum8(buffer.data() + startMark + 1, separator - startMark) : 0;

    if (!hasNumber || received != computed)
        result = 1;

    reading.ChecksumReceived = received;
    reading.ChecksumComputed = computed;
    DeriveFlags(reading, statusByte);
    return result;
}
