#pragma once

// The exchange log: one record per cycle, appended in two parts (after the write, after the
// read). The parts are built here as the exact bytes that land on disk: the log is a Windows
// text file, so every LF is written as CR LF and every "\r\n" of the record as CR CR LF.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// The record's fixed texts, shared by the writer and the reader.
namespace LogFormat {
inline constexpr std::string_view kRule = "____________________________"; // 28 underscores
inline constexpr std::string_view kSendMark = "Send:";
inline constexpr std::string_view kAnswerMark = "Answ:";
inline constexpr std::string_view kExchangeTimeLead = "exc time ";
inline constexpr std::string_view kExchangeTimeUnit = " mS";
} // namespace LogFormat

struct LocalTime {
    uint16_t Year = 0, Month = 0, DayOfWeek = 0, Day = 0;
    uint16_t Hour = 0, Minute = 0, Second = 0, Milliseconds = 0;
    int64_t SteadyMs = -1; // a steady clock at the same moment; -1 when not known
    int64_t UtcMs = -1;    // ms since 1970-01-01 UTC at the same moment; -1 when not known
};

LocalTime LocalTimeNow();

// True when the stamp is a date and time of the calendar (a log stamp of "00 00 0000", or
// month 13, is not).
bool IsValidStamp(const LocalTime& stamp);
// Milliseconds of a local stamp counted from 1970-01-01 as if it were UTC: for order and
// differences between stamps of one log.
int64_t StampMs(const LocalTime& stamp);
// ISO 8601 with milliseconds, in the stamp's local time: 2026-12-06T14:03:07.250
void AppendIsoStamp(std::string& out, const LocalTime& stamp);
void AppendIsoStamp(std::string& out, int64_t stampMs);
// "YYYY-MM-DDThh:mm:ss.mmmZ" of ms since 1970-01-01 UTC.
std::string UtcTimestamp(int64_t utcMs);

// Milliseconds from send to receive over the full time of day; a receive stamp earlier in the
// day than the send stamp means midnight passed. Equal stamps give 0. When the wall clock was
// set between the two stamps (by hand, a time server, summer time), their difference is
// meaningless and the steady clock's is used instead.
uint32_t ExchangeTimeMs(const LocalTime& send, const LocalTime& receive);

// "\r\n" + 28 underscores + "\r\n" + stamp + "Send:\r\n" + the request bytes.
std::string LogSendPart(const LocalTime& sent, const uint8_t* request, size_t length);
// "\r\n" + stamp + "exc time <ms> mS\r\n" + "Answ:\r\n" + the answer bytes.
std::string LogAnswerPart(const LocalTime& received, uint32_t exchangeTimeMs, const uint8_t* answer,
                          size_t length);

// Appends one part to the file in a single write, never waiting on it (a FIFO without a reader
// is skipped); false when it cannot be opened or written (never reported further: the exchange
// goes on without that part of the record).
bool AppendToLog(const std::string& path, const std::string& bytes);
