// libFuzzer target: any bytes as an exchange log. The reader must give the same exchanges and
// malformed parts whether it is fed everything at once, byte by byte or in pieces of seven, and
// never hold more than its limit of a part.
#include "exchange_log_reader.h"

#include <string>
#include <vector>

namespace {

std::vector<std::string> Read(const uint8_t* data, size_t size, size_t piece) {
    std::vector<std::string> seen;
    ExchangeLogReader reader(
        [&](const LoggedExchange& e) {
            if (e.Request.size() > ExchangeLogReader::kMaxPartBytes ||
                e.Answer.size() > ExchangeLogReader::kMaxPartBytes)
                __builtin_trap();
            seen.push_back(std::to_string(e.Line) + ' ' + e.Request + '|' + e.Answer + '|' +
                           std::to_string(e.ExchangeTimeMs));
        },
        [&](const MalformedPart& part) {
            seen.push_back(std::to_string(part.Line) + ' ' + part.What);
        });
    for (size_t at = 0; at < size; at += piece)
        reader.Feed(std::string_view(reinterpret_cast<const char*>(data) + at,
                                     size - at < piece ? size - at : piece));
    reader.Finish();
    return seen;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto whole = Read(data, size, size ? size : 1);
    if (Read(data, size, 1) != whole || Read(data, size, 7) != whole)
        __builtin_trap();
    return 0;
}
