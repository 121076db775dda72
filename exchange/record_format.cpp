#include "record_format.h"

#include "json_text.h"
#include "number_text.h"

#include <cstring>

namespace {

constexpr const char* kStatusColumns[] = {"keys",   "keys2",    "number",
                                          "inputs", "controls", "relays"};

void AppendHex(std::string& out, std::string_view bytes) {
    static const char kDigits[] = "0123456789ABCDEF";
    for (unsigned char byte : bytes) {
        out += kDigits[byte >> 4];
        out += kDigits[byte & 15];
    }
}

// The reading's status values, in the order of kStatusColumns.
void StatusValues(const DeviceReading& r, uint64_t (&values)[6]) {
    values[0] = r.KeyBits;
    values[1] = r.KeyBits2;
    values[2] = r.StatusNumber;
    values[3] = r.InputBits;
    values[4] = r.ControlBits;
    values[5] = r.RelayBits;
}

const char* VariantName(const ExchangeRecord& r) {
    return r.Variant ? TraitsOf(*r.Variant).Name : "";
}

// CSV rows are put together in a buffer on the stack and appended at once: appending to the
// output string byte by byte cost more than all the formatting.
char* PutDigits(char* p, unsigned value, int width) {
    for (int i = width - 1; i >= 0; --i, value /= 10)
        p[i] = char('0' + value % 10);
    return p + width;
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

void Flags(JsonText& json, const uint16_t* flags, size_t count) {
    json.BeginArray();
    for (size_t i = 0; i < count; ++i)
        json.Bool(flags[i] != 0);
    json.EndArray();
}

} // namespace

std::string LogRecord(const ExchangeRecord& r) {
    return LogSendPart(r.Sent, reinterpret_cast<const uint8_t*>(r.Request.data()),
                       r.Request.size()) +
           LogAnswerPart(r.Received, r.ExchangeMs,
                         reinterpret_cast<const uint8_t*>(r.Answer.data()), r.Answer.size());
}

void AppendCsvHeader(std::string& out, bool raw) {
    out += "sent,exchange_ms,network,variant,answer_bytes,outcome";
    for (int ch = 1; ch <= 12; ++ch)
        for (const char* item : {"value", "error", "state"}) {
            out += ",ch";
            AppendUnsigned(out, uint64_t(ch));
            out += '_';
            out += item;
        }
    for (const char* column : kStatusColumns)
        (out += ',') += column;
    if (raw)
        out += ",request_hex,answer_hex";
    out += "\r\n";
}

void AppendCsvRow(std::string& out, const ExchangeRecord& r, bool raw) {
    const DeviceReading* reading = r.Reading;
    uint64_t status[6] = {};
    if (reading)
        StatusValues(*reading, status);

    char row[1024]; // at most about 600 bytes before the hexadecimal columns
    char* p = IsValidStamp(r.Sent) ? PutStamp(row, r.Sent) : PutText(row, "invalid");
    *p++ = ',';
    p = PutUnsigned(p, r.ExchangeMs);
    *p++ = ',';
    if (r.Address)
        p = PutUnsigned(p, *r.Address);
    *p++ = ',';
    p = PutText(p, VariantName(r));
    *p++ = ',';
    p = PutUnsigned(p, r.Answer.size());
    *p++ = ',';
    p = PutText(p, OutcomeName(r.Outcome));
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
    if (raw) {
        out += ',';
        AppendHex(out, r.Request);
        out += ',';
        AppendHex(out, r.Answer);
    }
    out += "\r\n";
}

void AppendJsonLinesRow(std::string& out, const ExchangeRecord& r, bool raw) {
    const DeviceReading* reading = r.Reading;
    JsonText json(out);
    json.BeginObject().Key("sent");
    if (IsValidStamp(r.Sent)) {
        char stamp[32];
        stamp[0] = '"';
        char* end = PutStamp(stamp + 1, r.Sent);
        *end++ = '"';
        json.Raw(std::string_view(stamp, size_t(end - stamp)));
    } else {
        json.Null();
    }
    json.Key("exchange_ms").Unsigned(r.ExchangeMs);
    json.Key("network");
    r.Address ? json.Unsigned(*r.Address) : json.Null();
    json.Key("variant");
    r.Variant ? json.String(VariantName(r)) : json.Null();
    json.Key("answer_bytes").Unsigned(r.Answer.size());
    json.Key("outcome").String(OutcomeName(r.Outcome));
    json.Key("channels");
    if (reading) {
        json.BeginArray();
        for (const ChannelReading& c : reading->Channels)
            json.BeginObject()
                .Key("value")
                .Float(c.Value)
                .Key("error")
                .Unsigned(c.ErrorCode)
                .Key("state")
                .Unsigned(c.StateBits)
                .EndObject();
        json.EndArray();
    } else {
        json.Null();
    }
    uint64_t status[6] = {};
    if (reading)
        StatusValues(*reading, status);
    for (size_t i = 0; i < 6; ++i) {
        json.Key(kStatusColumns[i]);
        reading ? json.Unsigned(status[i]) : json.Null();
    }
    if (raw) {
        std::string hex;
        AppendHex(hex, r.Request);
        json.Key("request_hex").String(hex);
        hex.clear();
        AppendHex(hex, r.Answer);
        json.Key("answer_hex").String(hex);
    }
    json.EndObject();
    out += '\n';
}

std::string StateJson(const ExchangeRecord& r, uint64_t seq, int64_t startedUtcMs) {
    const DeviceReading& reading = *r.Reading;
    std::string out;
    JsonText json(out);
    json.BeginObject();
    json.Key("ts").String(UtcTimestamp(r.Received.UtcMs));
    json.Key("started").String(UtcTimestamp(startedUtcMs));
    json.Key("seq").Unsigned(seq);
    json.Key("exchange_ms").Unsigned(r.ExchangeMs);
    json.Key("channels").BeginArray();
    for (const ChannelReading& c : reading.Channels)
        json.BeginObject()
            .Key("value")
            .Float(c.Value)
            .Key("error")
            .Unsigned(c.ErrorCode)
            .Key("break")
            .Bool((c.StateBits & kSensorBreakBit) != 0)
            .Key("setpoint1")
            .Bool((c.StateBits & kSetpoint1Bit) != 0)
            .Key("setpoint2")
            .Bool((c.StateBits & kSetpoint2Bit) != 0)
            .EndObject();
    json.EndArray();
    json.Key("relays");
    Flags(json, reading.RelayFlags.data(), 16);
    json.Key("inputs");
    Flags(json, reading.DiscreteFlags.data(), 4);
    json.Key("controls");
    Flags(json, reading.DiscreteFlags.data() + 8, 2);
    json.Key("keys");
    Flags(json, reading.KeyFlags.data(), 10);
    json.Key("status_number").Unsigned(reading.StatusNumber);
    json.EndObject();
    return out;
}
