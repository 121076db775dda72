#include "exchange_log.h"

#include "file_access.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace {

// What a Windows text-mode stream writes for the logical text: LF becomes CR LF.
void AppendAsText(std::string& out, const char* data, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        if (data[i] == '\n')
            out += '\r';
        out += data[i];
    }
}

void AppendAsText(std::string& out, std::string_view text) {
    AppendAsText(out, text.data(), text.size());
}

std::string Stamp(const LocalTime& t) {
    char text[64];
    std::snprintf(text, sizeof text, "%02u %02u %02u %02u-%02u-%02u.%03u \r\n", unsigned(t.Day),
                  unsigned(t.Month), unsigned(t.Year), unsigned(t.Hour), unsigned(t.Minute),
                  unsigned(t.Second), unsigned(t.Milliseconds));
    return text;
}

uint32_t MsOfDay(const LocalTime& t) {
    return ((uint32_t(t.Hour) * 60 + t.Minute) * 60 + t.Second) * 1000 + t.Milliseconds;
}

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

LocalTime LocalTimeNow() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    std::tm local{};
#ifdef _WIN32
    localtime_s(&local, &seconds);
#else
    localtime_r(&seconds, &local);
#endif
    LocalTime t;
    t.Year = uint16_t(local.tm_year + 1900);
    t.Month = uint16_t(local.tm_mon + 1);
    t.DayOfWeek = uint16_t(local.tm_wday);
    t.Day = uint16_t(local.tm_mday);
    t.Hour = uint16_t(local.tm_hour);
    t.Minute = uint16_t(local.tm_min);
    t.Second = uint16_t(local.tm_sec > 59 ? 59 : local.tm_sec);
    t.Milliseconds = uint16_t(ms);
    t.UtcMs = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
    t.SteadyMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                     std::chrono::steady_clock::now().time_since_epoch())
                     .count();
    return t;
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

std::string UtcTimestamp(int64_t utcMs) {
    std::string out;
    AppendIsoStamp(out, utcMs);
    return out + 'Z';
}

uint32_t ExchangeTimeMs(const LocalTime& send, const LocalTime& receive) {
    constexpr uint32_t kDayMs = 24u * 60 * 60 * 1000;
    // Further apart than this, the two clocks disagree because the wall clock was set.
    constexpr int64_t kClockStepMs = 1000;
    const uint32_t s = MsOfDay(send);
    const uint32_t r = MsOfDay(receive);
    const uint32_t byStamps = r >= s ? r - s : kDayMs - s + r;
    if (send.SteadyMs >= 0 && receive.SteadyMs >= send.SteadyMs) {
        const int64_t steady = receive.SteadyMs - send.SteadyMs;
        if (steady < kDayMs && std::abs(int64_t(byStamps) - steady) > kClockStepMs)
            return uint32_t(steady);
    }
    return byStamps;
}

std::string LogSendPart(const LocalTime& sent, const uint8_t* request, size_t length) {
    using namespace LogFormat;
    std::string out;
    AppendAsText(out, "\r\n");
    AppendAsText(out, kRule);
    AppendAsText(out, "\r\n");
    AppendAsText(out, Stamp(sent));
    AppendAsText(out, kSendMark);
    AppendAsText(out, "\r\n");
    AppendAsText(out, reinterpret_cast<const char*>(request), length);
    return out;
}

std::string LogAnswerPart(const LocalTime& received, uint32_t exchangeTimeMs, const uint8_t* answer,
                          size_t length) {
    using namespace LogFormat;
    std::string out;
    AppendAsText(out, "\r\n");
    AppendAsText(out, Stamp(received));
    AppendAsText(out, kExchangeTimeLead);
    AppendAsText(out, std::to_string(exchangeTimeMs));
    AppendAsText(out, kExchangeTimeUnit);
    AppendAsText(out, "\r\n");
    AppendAsText(out, kAnswerMark);
    AppendAsText(out, "\r\n");
    AppendAsText(out, reinterpret_cast<const char*>(answer), length);
    return out;
}

bool AppendToLog(const std::string& path, const std::string& bytes) {
    return AppendInOneWrite(path, bytes);
}
