#include "table_output.h"

#include <charconv>
#include <cmath>

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
    char text[32];
    const auto result = std::to_chars(text, text + sizeof text, value);
    out.append(text, size_t(result.ptr - text));
}

void AppendCsvField(std::string& out, std::string_view field) {
    if (field.find_first_of(",\"\r\n") == std::string_view::npos) {
        out += field;
        return;
    }
    out += '"';
    for (char c : field) {
        if (c == '"')
            out += '"';
        out += c;
    }
    out += '"';
}

void AppendJsonString(std::string& out, std::string_view text) {
    static const char kDigits[] = "0123456789abcdef";
    out += '"';
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (c < 0x20) {
            out += "\\u00";
            out += kDigits[c >> 4];
            out += kDigits[c & 15];
        } else {
            out += char(c);
        }
    }
    out += '"';
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
        if (validStamp)
            AppendIsoStamp(out, logged.Sent);
        else
            out += "invalid";
        out += ',';
        AppendUnsigned(out, logged.ExchangeTimeMs);
        out += ',';
        if (e.Network)
            AppendUnsigned(out, *e.Network);
        (out += ',') += variant;
        out += ',';
        AppendUnsigned(out, logged.Answer.size());
        (out += ',') += OutcomeName(e.Result);
        for (size_t ch = 0; ch < 12; ++ch) {
            out += ',';
            if (reading) {
                const ChannelReading& c = reading->Channels[ch];
                AppendFloat(out, c.Value, false);
                out += ',';
                AppendUnsigned(out, c.ErrorCode);
                out += ',';
                AppendUnsigned(out, c.StateBits);
            } else {
                out += ",,";
            }
        }
        for (uint64_t value : status) {
            out += ',';
            if (reading)
                AppendUnsigned(out, value);
        }
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
        AppendJsonString(out, variant);
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
