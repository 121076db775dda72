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
    t.SteadyMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                     std::chrono::steady_clock::now().time_since_epoch())
                     .count();
    return t;
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
