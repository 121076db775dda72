// Writes a synthetic exchange log of about the size asked for, as reader-crc would write it
// polling instrument-sim every 526 ms: drifting readings, now and then a silence, a bad
// checksum or a short answer, and a pause in polling. For reader-tool's benchmark and charts.
// Usage: make_log OUT-FILE MEGABYTES
#include "exchange_log.h"
#include "frames.h"
#include "sim_core.h"

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fputs("usage: make_log OUT-FILE MEGABYTES\n", stderr);
        return 2;
    }
    std::FILE* out = std::fopen(argv[1], "wb");
    if (!out)
        return 1;
    const uint64_t target = uint64_t(std::atof(argv[2]) * 1048576);
    RequestBuffer request{};
    const uint16_t length = BuildRequest(ProtocolVariant::Crc, 1, request);
    int64_t ms = ((14 * 60 + 3) * 60 + 7) * 1000LL + 250; // 14:03:07.250 on the first day
    uint64_t written = 0;
    std::string record;
    for (uint64_t n = 0; written < target; ++n) {
        const auto stamp = [](int64_t at) {
            LocalTime t;
            const int64_t day = at / 86400000, msOfDay = at % 86400000;
            t.Year = 2026;
            t.Month = 12;
            t.Day = uint16_t(6 + day % 20);
            t.Hour = uint16_t(msOfDay / 3600000);
            t.Minute = uint16_t(msOfDay / 60000 % 60);
            t.Second = uint16_t(msOfDay / 1000 % 60);
            t.Milliseconds = uint16_t(msOfDay % 1000);
            return t;
        };
        std::string answer = ComposeAnswer(ProtocolVariant::Crc, LiveReading(n), n % 97 == 5);
        uint32_t exchangeMs = 24 + uint32_t(n % 3);
        if (n % 50 == 7) { // silence
            answer.clear();
            exchangeMs = 5800;
        } else if (n % 131 == 9) {
            answer.resize(40);
        }
        record = LogSendPart(stamp(ms), request.data(), length);
        record += LogAnswerPart(stamp(ms + exchangeMs), exchangeMs,
                                reinterpret_cast<const uint8_t*>(answer.data()), answer.size());
        std::fwrite(record.data(), 1, record.size(), out);
        written += record.size();
        ms += exchangeMs + 500 + (n % 2000 == 1000 ? 30000 : 0); // a 30 s pause now and then
    }
    return std::fclose(out) == 0 ? 0 : 1;
}
