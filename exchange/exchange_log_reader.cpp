#include "exchange_log_reader.h"

#include "parser.h"

#include <algorithm>
#include <cstring>

namespace {

// How a format line's "\r\n" lands in the log.
constexpr std::string_view kLineEnd = "\r\r\n";
// The stamp "%02u %02u %02u %02u-%02u-%02u.%03u " of day, month, year, hour, minute, second and
// milliseconds, as a pattern: 'D' is a digit.
constexpr std::string_view kStampPattern = "DD DD DDDD DD-DD-DD.DDD ";
constexpr size_t kMaxTimeDigits = 10;

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// Compares the bytes at `at` with a pattern ('D' any digit). No: a byte differs; NeedMore: all
// available bytes match but the pattern runs past them.
enum class Fit { No, NeedMore, Yes };
Fit FitPattern(const char* at, size_t available, std::string_view pattern, bool literal) {
    const size_t n = std::min(available, pattern.size());
    for (size_t i = 0; i < n; ++i) {
        const char want = pattern[i];
        if (!literal && want == 'D' ? !IsDigit(at[i]) : at[i] != want)
            return Fit::No;
    }
    return n < pattern.size() ? Fit::NeedMore : Fit::Yes;
}

unsigned Number(const char* digits, size_t count) {
    unsigned value = 0;
    for (size_t i = 0; i < count; ++i)
        value = value * 10 + unsigned(digits[i] - '0');
    return value;
}

LocalTime ParseStamp(const char* s) {
    LocalTime t;
    t.Day = uint16_t(Number(s, 2));
    t.Month = uint16_t(Number(s + 3, 2));
    t.Year = uint16_t(Number(s + 6, 4));
    t.Hour = uint16_t(Number(s + 11, 2));
    t.Minute = uint16_t(Number(s + 14, 2));
    t.Second = uint16_t(Number(s + 17, 2));
    t.Milliseconds = uint16_t(Number(s + 20, 3));
    return t;
}

// The bytes as they crossed the line: the log wrote every LF as CR LF.
void Unescape(const std::string& logged, std::string& out) {
    out.clear();
    size_t from = 0; // copied up to here
    for (size_t lf = logged.find('\n'); lf != std::string::npos; lf = logged.find('\n', lf + 1))
        if (lf > from && logged[lf - 1] == '\r') {
            out.append(logged, from, lf - 1 - from);
            from = lf;
        }
    out.append(logged, from, std::string::npos);
}

} // namespace

ExchangeLogReader::ExchangeLogReader(ExchangeSink onExchange, MalformedSink onMalformed)
    : m_onExchange(std::move(onExchange)), m_onMalformed(std::move(onMalformed)) {}

void ExchangeLogReader::Feed(std::string_view bytes) {
    m_buffer.append(bytes);
    Process(false);
}

void ExchangeLogReader::Finish() {
    Process(true);
    EndPart();
    if (m_haveSend)
        Report(m_exchange.Line, "a send part without its answer part");
    m_haveSend = false;
    if (m_strayLine)
        Report(m_strayLine, "bytes outside any record");
    m_strayLine = 0;
}

void ExchangeLogReader::CloseAnswerPart() {
    Process(true);
    if (m_part == Part::Answer) {
        EndPart();
        m_part = Part::Closed;
    }
}

ExchangeLogReader::Match ExchangeLogReader::MatchHead(const char* head, size_t available,
                                                      bool final, Head& out) const {
    using namespace LogFormat;
    // Both heads start with the line end that closes the line before them. At the end of the
    // input, the start of a head that goes on past it is a record cut short (a full disk).
    size_t at = kLineEnd.size();
    if (available <= at)
        return final ? Match::No : Match::NeedMore;
    const Match needMore = final ? Match::Cut : Match::NeedMore;
    const bool send = head[at] == '_';
    const std::string_view lead[] = {send ? kRule : std::string_view(),
                                     send ? kLineEnd : std::string_view()};
    for (std::string_view literal : lead) {
        const Fit fit = FitPattern(head + at, available - at, literal, true);
        if (fit != Fit::Yes)
            return fit == Fit::No ? Match::No : needMore;
        at += literal.size();
    }
    const size_t stampAt = at;
    Fit fit = FitPattern(head + at, available - at, kStampPattern, false);
    if (fit != Fit::Yes)
        return fit == Fit::No ? Match::No : needMore;
    at += kStampPattern.size();
    fit = FitPattern(head + at, available - at, kLineEnd, true);
    if (fit != Fit::Yes)
        return fit == Fit::No ? Match::No : needMore;
    at += kLineEnd.size();

    uint32_t time = 0;
    if (!send) {
        fit = FitPattern(head + at, available - at, kExchangeTimeLead, true);
        if (fit != Fit::Yes)
            return fit == Fit::No ? Match::No : needMore;
        at += kExchangeTimeLead.size();
        const size_t digitsAt = at;
        while (at < available && IsDigit(head[at]) && at - digitsAt <= kMaxTimeDigits)
            ++at;
        if (at == available)
            return needMore;
        if (at == digitsAt || at - digitsAt > kMaxTimeDigits)
            return Match::No;
        const uint64_t value = Number(head + digitsAt, at - digitsAt);
        time = uint32_t(std::min<uint64_t>(value, UINT32_MAX));
        for (std::string_view literal : {kExchangeTimeUnit, kLineEnd}) {
            fit = FitPattern(head + at, available - at, literal, true);
            if (fit != Fit::Yes)
                return fit == Fit::No ? Match::No : needMore;
            at += literal.size();
        }
    }
    for (std::string_view literal : {send ? kSendMark : kAnswerMark, kLineEnd}) {
        fit = FitPattern(head + at, available - at, literal, true);
        if (fit != Fit::Yes)
            return fit == Fit::No ? Match::No : needMore;
        at += literal.size();
    }
    out.Kind = send ? Part::Send : Part::Answer;
    out.Length = at;
    out.Stamp = ParseStamp(head + stampAt);
    out.ExchangeTimeMs = time;
    return Match::Yes;
}

void ExchangeLogReader::Process(bool final) {
    const char* bytes = m_buffer.data();
    const size_t size = m_buffer.size();
    size_t consumed = 0; // bytes before this belong to the open part (or to none)
    size_t scan = 0;
    size_t headStart = size; // a head that needs more bytes to be told apart starts here
    while (scan < size) {
        const auto* found = static_cast<const char*>(std::memchr(bytes + scan, '\n', size - scan));
        if (!found)
            break;
        const size_t lf = size_t(found - bytes);
        if (lf >= consumed + 2 && bytes[lf - 1] == '\r' && bytes[lf - 2] == '\r') {
            const size_t start = lf - 2;
            Head head;
            const Match match = MatchHead(bytes + start, size - start, final, head);
            if (match == Match::NeedMore) {
                headStart = start;
                break;
            }
            if (match == Match::Cut) {
                AppendBody(bytes + consumed, start - consumed);
                EndPart();
                Report(m_lines + 1, "a record cut short");
                m_part = Part::Closed;
                consumed = size;
                break;
            }
            if (match == Match::Yes) {
                AppendBody(bytes + consumed, start - consumed);
                EndPart();
                StartPart(head, m_lines + 1);
                m_lines += uint64_t(std::count(bytes + lf, bytes + start + head.Length, '\n'));
                consumed = scan = start + head.Length;
                continue;
            }
        }
        ++m_lines;
        scan = lf + 1;
    }
    size_t end = final ? size : headStart;
    if (!final && end == size) // up to two CRs at the end may begin a head once an LF follows
        for (int kept = 0; kept < 2 && end > consumed && bytes[end - 1] == '\r'; ++kept)
            --end;
    end = std::max(end, consumed);
    AppendBody(bytes + consumed, end - consumed);
    m_buffer.erase(0, end);
}

void ExchangeLogReader::AppendBody(const char* bytes, size_t length) {
    if (length == 0)
        return;
    if (m_part == Part::None || m_part == Part::Closed) {
        // The line feeds of these bytes are counted already.
        if (!m_strayLine)
            m_strayLine = m_lines + 1 - uint64_t(std::count(bytes, bytes + length, '\n'));
        return;
    }
    const size_t room = kMaxPartBytes - std::min(kMaxPartBytes, m_body.size());
    if (length > room)
        m_bodyCut = true;
    m_body.append(bytes, std::min(length, room));
}

void ExchangeLogReader::StartPart(const Head& head, uint64_t line) {
    if (m_strayLine)
        Report(m_strayLine, "bytes outside any record");
    m_strayLine = 0;
    m_part = head.Kind;
    m_head = head;
    m_partLine = line;
    m_body.clear();
    m_bodyCut = false;
}

void ExchangeLogReader::EndPart() {
    if (m_part == Part::None || m_part == Part::Closed)
        return;
    if (m_bodyCut)
        Report(m_partLine, "a part too long: bytes after its first 4096 were skipped");
    if (m_part == Part::Send) {
        if (m_haveSend)
            Report(m_exchange.Line, "a send part without its answer part");
        m_haveSend = true;
        m_exchange.Sent = m_head.Stamp;
        m_exchange.Line = m_partLine;
        Unescape(m_body, m_exchange.Request);
    } else if (!m_haveSend) {
        Report(m_partLine, "an answer part without its send part");
    } else {
        m_haveSend = false;
        m_exchange.Received = m_head.Stamp;
        m_exchange.ExchangeTimeMs = m_head.ExchangeTimeMs;
        Unescape(m_body, m_exchange.Answer);
        // The programs read at most this much: more is what followed the answer in the log.
        if (m_exchange.Answer.size() > kMaxReadLength) {
            Report(m_partLine, "bytes after an answer part");
            m_exchange.Answer.resize(kMaxReadLength);
        }
        ++m_exchanges;
        if (m_onExchange)
            m_onExchange(m_exchange);
    }
    m_part = Part::None;
    m_body.clear();
}

void ExchangeLogReader::Report(uint64_t line, const char* what) {
    ++m_malformed;
    if (m_onMalformed)
        m_onMalformed({line, what});
}
