#pragma once

// Reading the LOGs of a command: all opened first, read in chunks with a progress line on a
// terminal, each exchange decoded; with --follow the last one read on as it grows.

#include "command_line.h"
#include "decode.h"

#include <functional>

using ExchangeHandler = std::function<void(const ExchangeRecord&)>;

// Reads every log, handing each exchange, decoded, to `onExchange`. Each log starts from the
// zero reading. With `follow`, the last log is read on as it grows until the job is
// interrupted, from the start again when it is rewritten or replaced (as tail -F does); `idle`
// runs while it waits. Fails (see Fail) on a log that cannot be read.
void ReadLogs(const LogOptions& options, const ExchangeHandler& onExchange,
              const std::function<void()>& onMalformed, bool follow = false,
              const std::function<void()>& idle = {});
