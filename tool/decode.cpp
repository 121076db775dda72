#include "decode.h"

#include "frames.h"

#include <algorithm>
#include <cstring>

namespace {

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar.
int64_t DaysFromCivil(int64_t year, unsigned month, unsigned day) {
    year -= month <= 2;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const unsigned yearOfEra = unsigned(year - era * 400);
    const unsigned dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + int64_t(dayOfEra) - 719468;
}

void CivilFromDays(int64_t days, int& year, unsigned& month, unsigned& day) {
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const unsigned dayOfEra = unsigned(days - era * 146097);
    const unsigned yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const unsigned mp = (5 * dayOfYear + 2) / 153;
    day = dayOfYear - (153 * mp + 2) / 5 + 1;
    month = mp < 10 ? mp + 3 : mp - 9;
    year = int(int64_t(yearOfEra) + era * 400 + (month <= 2));
}

void AppendDigits(std::string& out, unsigned value, int width) {
    char digits[12];
    int n = 0;
    do {
        digits[n++] = char('0' + value % 10);
        value /= 10;
    } while (value && n < 11);
    for (int i = n; i < width; ++i)
        out += '0';
    while (n > 0)
        out += digits[--n];
}

} // namespace

const char* OutcomeName(Outcome outcome) {
    static const char* const kNames[kOutcomeCount] = {
        "ok", "no-answer", "too-short", "no-frame", "checksum-mismatch", "unknown-request"};
    return kNames[int(outcome)];
}

ExchangeDecoder::ExchangeDecoder(std::optional<ProtocolVariant> variant,
                                 std::optional<uint32_t> network)
    : m_variant(variant), m_network(network), m_readings(2 * (kNetworks + 1)) {}

std::optional<DecodedExchange> ExchangeDecoder::Decode(const LoggedExchange& exchange) {
    DecodedExchange decoded;
    decoded.Logged = &exchange;
    const std::string& request = exchange.Request;
    if (const std::optional<ParsedRequest> parsed =
            ParseRequest(reinterpret_cast<const uint8_t*>(request.data()), request.size())) {
        decoded.Variant = parsed->Variant;
        decoded.Network = parsed->NetAdrr;
    }
    if (m_network && decoded.Network != m_network)
        return std::nullopt;
    if (m_variant)
        decoded.Variant = m_variant;

    if (exchange.Answer.empty()) {
        decoded.Result = Outcome::NoAnswer;
        return decoded;
    }
    if (!decoded.Variant)
        return decoded; // UnknownRequest
    ReceiveBuffer buffer{};
    const size_t length = std::min<size_t>(exchange.Answer.size(), kMaxReadLength);
    std::memcpy(buffer.data(), exchange.Answer.data(), length);
    DeviceReading& reading =
        m_readings[size_t(*decoded.Variant == ProtocolVariant::Sum) * (kNetworks + 1) +
                   decoded.Network.value_or(kNetworks)];
    switch (ParseAnswer(*decoded.Variant, buffer, uint32_t(length), reading)) {
    case ParseOutcome::Parsed:
        decoded.Result = Outcome::Ok;
        decoded.Reading = &reading;
        break;
    case ParseOutcome::TooShort:
        decoded.Result = Outcome::TooShort;
        break;
    case ParseOutcome::NoFrame:
        decoded.Result = Outcome::NoFrame;
        break;
    case ParseOutcome::ChecksumMismatch:
        decoded.Result = Outcome::ChecksumMismatch;
        break;
    }
    return decoded;
}

bool IsValidStamp(const LocalTime& t) {
    if (t.Year < 1 || t.Month < 1 || t.Month > 12 || t.Day < 1 || t.Hour > 23 || t.Minute > 59 ||
        t.Second > 59 || t.Milliseconds > 999)
        return false;
    static const unsigned kDays[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = t.Year % 4 == 0 && (t.Year % 100 != 0 || t.Year % 400 == 0);
    return t.Day <= kDays[t.Month - 1] && (t.Month != 2 || t.Day <= 28 || leap);
}

int64_t StampMs(const LocalTime& t) {
    const int64_t days = DaysFromCivil(t.Year, t.Month, t.Day);
    return ((days * 24 + t.Hour) * 60 + t.Minute) * 60000 + int64_t(t.Second) * 1000 +
           t.Milliseconds;
}

void AppendIsoStamp(std::string& out, const LocalTime& t) {
    AppendDigits(out, t.Year, 4);
    out += '-';
    AppendDigits(out, t.Month, 2);
    out += '-';
    AppendDigits(out, t.Day, 2);
    out += 'T';
    AppendDigits(out, t.Hour, 2);
    out += ':';
    AppendDigits(out, t.Minute, 2);
    out += ':';
    AppendDigits(out, t.Second, 2);
    out += '.';
    AppendDigits(out, t.Milliseconds, 3);
}

void AppendIsoStamp(std::string& out, int64_t stampMs) {
    const int64_t day = (stampMs >= 0 ? stampMs : stampMs - 86399999) / 86400000;
    const int64_t msOfDay = stampMs - day * 86400000;
    int year = 0;
    unsigned month = 0, dayOfMonth = 0;
    CivilFromDays(day, year, month, dayOfMonth);
    LocalTime t;
    t.Year = uint16_t(year);
    t.Month = uint16_t(month);
    t.Day = uint16_t(dayOfMonth);
    t.Hour = uint16_t(msOfDay / 3600000);
    t.Minute = uint16_t(msOfDay / 60000 % 60);
    t.Second = uint16_t(msOfDay / 1000 % 60);
    t.Milliseconds = uint16_t(msOfDay % 1000);
    AppendIsoStamp(out, t);
}
