#pragma once

// Reads exchange logs back: the records LogSendPart and LogAnswerPart wrote, from bytes fed in
// pieces of any size, in memory that does not grow with the log.
//
// A record is found by the heads its two parts begin with (a line of 28 underscores, a time
// stamp and "Send:"; a time stamp, "exc time N mS" and "Answ:"). The request and answer bytes
// run up to the next head, and the CR that the log added before each LF is taken out again,
// which gives back exactly the bytes that crossed the line. What cannot be told apart: answer
// bytes that themselves spell out a head would end the answer there. Bytes after an answer part
// (garbage between records) join the answer; past the 200 bytes a program ever reads they are
// reported and cut off.

#include "exchange_log.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

struct LoggedExchange {
    LocalTime Sent;
    LocalTime Received;
    uint32_t ExchangeTimeMs = 0;
    std::string Request; // as sent
    std::string Answer;  // as read; empty when nothing came
    uint64_t Line = 0;   // line of the log where the record starts, from 1
};

struct MalformedPart {
    uint64_t Line = 0;
    const char* What = ""; // what is wrong with it
};

class ExchangeLogReader {
public:
    using ExchangeSink = std::function<void(const LoggedExchange&)>;
    using MalformedSink = std::function<void(const MalformedPart&)>;

    // A part longer than this (a real answer is at most 400 bytes in the log) is cut here.
    static constexpr size_t kMaxPartBytes = 4096;

    ExchangeLogReader(ExchangeSink onExchange, MalformedSink onMalformed);

    void Feed(std::string_view bytes);
    // The input has ended: the last part ends with it.
    void Finish();
    // For a log still being written: each part is written at once, so an answer part ends where
    // the input ends now; bytes that follow it before the next head are malformed.
    void CloseAnswerPart();

    uint64_t Exchanges() const { return m_exchanges; }
    uint64_t Malformed() const { return m_malformed; }

private:
    enum class Part { None, Send, Answer, Closed };
    struct Head {
        Part Kind = Part::None;
        size_t Length = 0;
        LocalTime Stamp;
        uint32_t ExchangeTimeMs = 0;
    };
    enum class Match { No, NeedMore, Cut, Yes };

    void Process(bool final);
    Match MatchHead(const char* head, size_t available, bool final, Head& out) const;
    void AppendBody(const char* bytes, size_t length);
    void EndPart();
    void StartPart(const Head& head, uint64_t line);
    void Report(uint64_t line, const char* what);

    ExchangeSink m_onExchange;
    MalformedSink m_onMalformed;
    std::string m_buffer; // bytes not yet scanned for a head
    uint64_t m_lines = 0; // line feeds before the scan position
    Part m_part = Part::None;
    Head m_head;
    uint64_t m_partLine = 1;
    std::string m_body; // the open part's bytes, as in the log
    bool m_bodyCut = false;
    uint64_t m_strayLine = 0; // first line of bytes outside any part; 0 when none
    bool m_haveSend = false;
    LoggedExchange m_exchange; // the send part waiting for its answer part, then the record
    uint64_t m_exchanges = 0;
    uint64_t m_malformed = 0;
};
