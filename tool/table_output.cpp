#include "table_output.h"

#include <charconv>
#include <cmath>
#include <cstring>

namespace {

constexpr const char* kReadingColumns[] = {"keys",   "keys2",    "number",
                                           "inputs", "controls", "relays"};

void AppendHex(std::string& out, const std::string& bytes) {
    static const char kDigits[] = "0123456789ABCDEF";
    for (unsigned char byte : bytes) {
        out += kDigits[byte >> 4];
        out += kDigits[byte & 15];
    }
}

// The reading's status values, in the order of kReadingColumns.
void StatusValues(const DeviceReading& r, uint64_t (&values)[6]) {
    values[0] = r.KeyBits;
    values[1] = r.KeyBits2;
    values[2] = r.StatusNumber;
    values[3] = r.InputBits;
    values[4] = r.ControlBits;
    values[5] = r.RelayBits;
}

// Rows are put together in a buffer on the stack and appended at once: appending to the output
// string byte by byte cost more than all the formatting.
char* PutUnsigned(char* p, uint64_t value) {
    return std::to_chars(p, p + 20, value).ptr;
}

char* PutDigits(char* p, unsigned value, int width) {
    for (int i = width - 1; i >= 0; --i, value /= 10)
        p[i] = char('0' + value % 10);
    return p + width;
}

// The instrument sends values with two decimals: for those, the shortest text that reads back
// as the same float is that of the number of hundredths, found without the general algorithm.
// Below 100000 no two numbers of hundredths share a float, so no shorter text can exist.
char* PutShortDecimal(char* p, float value) {
    const double hundredths = std::nearbyint(double(value) * 100);
    if (!(std::fabs(value) < 1e5f) || float(hundredths / 100) != value ||
        (value == 0 && std::signbit(value)))
        return nullptr;
    auto k = uint64_t(std::fabs(hundredths));
    if (hundredths < 0)
        *p++ = '-';
    p = PutUnsigned(p, k / 100);
    k %= 100;
    if (k != 0) {
        *p++ = '.';
        *p++ = char('0' + k / 10);
        if (k % 10 != 0)
            *p++ = char('0' + k % 10);
    }
    return p;
}

char* PutFloat(char* p, float value, bool json) {
    if (json && !std::isfinite(value)) {
        std::memcpy(p, "null", 4);
        return p + 4;
    }
    if (char* end = PutShortDecimal(p, value))
        return end;
    return std::to_chars(p, p + 32, value).ptr;
}

char* PutText(char* p, std::string_view text) {
    std::memcpy(p, text.data(), text.size());
    return p + text.size();
}

char* PutStamp(char* p, const LocalTime& t) {
    p = PutDigits(p, t.Year, 4);
    *p++ = '-';
    p = PutDigits(p, t.Month, 2);
    *p++ = '-';
    p = PutDigits(p, t.Day, 2);
    *p++ = 'T';
    p = PutDigits(p, t.Hour, 2);
    *p++ = ':';
    p = PutDigits(p, t.Minute, 2);
    *p++ = ':';
    p = PutDigits(p, t.Second, 2);
    *p++ = '.';
    return PutDigits(p, t.Milliseconds, 3);
}

} // namespace

void AppendUnsigned(std::string& out, uint64_t value) {
    char text[24];
    const auto result = std::to_chars(text, text + sizeof text, value);
    out.append(text, size_t(result.ptr - text));
}

void AppendFloat(std::string& out, float value, bool json) {
    if (json && !std::isfinite(value)) {
        out += "null";
        return;
    }
    char text[48];
    out.append(text, size_t(PutFloat(text, value, json) - text));
}

void ExchangeTable::AppendHeader(std::string& out) const {
    if (m_format != RowFormat::Csv)
        return;
    out += "sent,exchange_ms,network,variant,answer_bytes,outcome";
    for (int ch = 1; ch <= 12; ++ch)
        for (const char* item : {"value", "error", "state"}) {
            out += ",ch";
            AppendUnsigned(out, uint64_t(ch));
            out += '_';
            out += item;
        }
    for (const char* column : kReadingColumns)
        (out += ',') += column;
    if (m_raw)
        out += ",request_hex,answer_hex";
    out += "\r\n";
}

void ExchangeTable::AppendRow(std::string& out, const DecodedExchange& e) const {
    const LoggedExchange& logged = *e.Logged;
    const DeviceReading* reading = e.Reading;
    const char* variant = !e.Variant ? "" : (*e.Variant == ProtocolVariant::Crc ? "crc" : "sum");
    uint64_t status[6] = {};
    if (reading)
        StatusValues(*reading, status);

    const bool validStamp = IsValidStamp(logged.Sent);
    if (m_format == RowFormat::Csv) {
        char row[1024]; // at most about 600 bytes before the hexadecimal columns
        char* p = validStamp ? PutStamp(row, logged.Sent) : PutText(row, "invalid");
        *p++ = ',';
        p = PutUnsigned(p, logged.ExchangeTimeMs);
        *p++ = ',';
        if (e.Network)
            p = PutUnsigned(p, *e.Network);
        *p++ = ',';
        p = PutText(p, variant);
        *p++ = ',';
        p = PutUnsigned(p, logged.Answer.size());
        *p++ = ',';
        p = PutText(p, OutcomeName(e.Result));
        for (size_t ch = 0; ch < 12; ++ch) {
            *p++ = ',';
            if (reading) {
                const ChannelReading& c = reading->Channels[ch];
                p = PutFloat(p, c.Value, false);
                *p++ = ',';
                p = PutUnsigned(p, c.ErrorCode);
                *p++ = ',';
                p = PutUnsigned(p, c.StateBits);
            } else {
                p = PutText(p, ",,");
            }
        }
        for (uint64_t value : status) {
            *p++ = ',';
            if (reading)
                p = PutUnsigned(p, value);
        }
        out.append(row, size_t(p - row));
        if (m_raw) {
            out += ',';
            AppendHex(out, logged.Request);
            out += ',';
            AppendHex(out, logged.Answer);
        }
        out += "\r\n";
        return;
    }

    if (validStamp) {
        out += "{\"sent\":\"";
        AppendIsoStamp(out, logged.Sent);
        out += "\",\"exchange_ms\":";
    } else {
        out += "{\"sent\":null,\"exchange_ms\":";
    }
    AppendUnsigned(out, logged.ExchangeTimeMs);
    out += ",\"network\":";
    if (e.Network)
        AppendUnsigned(out, *e.Network);
    else
        out += "null";
    out += ",\"variant\":";
    if (e.Variant)
        ((out += '"') += variant) += '"';
    else
        out += "null";
    out += ",\"answer_bytes\":";
    AppendUnsigned(out, logged.Answer.size());
    out += ",\"outcome\":\"";
    out += OutcomeName(e.Result);
    out += "\",\"channels\":";
    if (reading) {
        out += '[';
        for (size_t ch = 0; ch < 12; ++ch) {
            const ChannelReading& c = reading->Channels[ch];
            out += ch ? ",{\"value\":" : "{\"value\":";
            AppendFloat(out, c.Value, true);
            out += ",\"error\":";
            AppendUnsigned(out, c.ErrorCode);
            out += ",\"state\":";
            AppendUnsigned(out, c.StateBits);
            out += '}';
        }
        out += ']';
    } else {
        out += "null";
    }
    for (size_t i = 0; i < 6; ++i) {
        ((out += ",\"") += kReadingColumns[i]) += "\":";
        if (reading)
            AppendUnsigned(out, status[i]);
        else
            out += "null";
    }
    if (m_raw) {
        out += ",\"request_hex\":\"";
        AppendHex(out, logged.Request);
        out += "\",\"answer_hex\":\"";
        AppendHex(out, logged.Answer);
        out += '"';
    }
    out += "}\n";
}
