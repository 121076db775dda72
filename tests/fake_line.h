#pragma once

// A line on a script, with a clock that only the script moves: each read takes the next
// scripted reply after its scripted time. Writes and reads end at once, so an exchange on it
// has run to its end when Begin returns.

#include "exchange_log.h"
#include "line.h"

#include <cstring>
#include <deque>
#include <string>
#include <vector>

class FakeLine : public Line {
public:
    struct Reply {
        std::string Bytes;  // what the read returns (cut to the read's maximum)
        int64_t Ms = 24;    // how long the read takes
        bool Fails = false; // the line fails during the read: it returns nothing
    };

    void Purge() override {}
    void StartWrite(const uint8_t* data, uint32_t length, Completion done) override {
        Written.emplace_back(reinterpret_cast<const char*>(data), length);
        done(length);
    }
    void StartRead(uint8_t* buffer, uint32_t maximum, Completion done) override {
        Reply reply = Script.empty() ? Reply{} : Script.front();
        if (!Script.empty())
            Script.pop_front();
        NowMs += reply.Ms;
        m_failed = reply.Fails;
        m_lastMs = reply.Ms;
        const uint32_t count =
            reply.Fails ? 0 : std::min<uint32_t>(maximum, uint32_t(reply.Bytes.size()));
        std::memcpy(buffer, reply.Bytes.data(), count);
        done(count);
    }
    void Abort() override {}
    bool LastReadFailed() const override { return m_failed; }
    int64_t LastReadReturnNs() const override { return m_lastMs * 1'000'000; }

    // The fake clock as the exchange's local time: a day that starts at midnight.
    LocalTime Now() const {
        LocalTime t;
        t.Year = 2026, t.Month = 12, t.Day = 7;
        t.Hour = uint16_t(NowMs / 3'600'000 % 24), t.Minute = uint16_t(NowMs / 60'000 % 60);
        t.Second = uint16_t(NowMs / 1000 % 60), t.Milliseconds = uint16_t(NowMs % 1000);
        t.SteadyMs = NowMs;
        return t;
    }

    std::deque<Reply> Script;
    std::vector<std::string> Written;
    int64_t NowMs = 0;

private:
    bool m_failed = false;
    int64_t m_lastMs = 0;
};
