#include "commands.h"

#include "command_line.h"
#include "log_input.h"
#include "log_stats.h"
#include "output.h"

const char kStatsHelp[] =
    "usage: reader-tool stats [--json] [--variant crc|sum|auto] [--network N] [-o FILE] LOG...\n"
    "Exchanges, time span, answered share, outcomes, exchange time min / median / p95 / p99 /\n"
    "max, gaps in polling (periods over twice the median) and each channel's min / mean / max\n"
    "over good readings. Times are exact below 4096 ms, within 0.05 % above. When the logs\n"
    "hold several instruments (network numbers), the answers, outcomes, exchange times,\n"
    "polling periods (between two visits of one instrument) and channels of each follow,\n"
    "with times within 3.2 % above 4096 ms; JSON has them in \"networks\".\n"
    "  --json     one JSON object instead of text\n";

int StatsCommand(int argc, char** argv) {
    LogOptions options;
    bool json = false;
    std::string outPath;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--json")
            json = true;
        else if (arg == "-o")
            outPath = ValueOf(i, argc, argv);
        else
            LogOption(options, i, argc, argv);
    }
    RefuseInputAsOutput(options.Files, outPath);
    Output output(outPath);
    LogStats stats;
    ReadLogs(
        options, [&](const ExchangeRecord& exchange) { stats.Add(exchange); },
        [&] { stats.AddMalformed(); });
    std::string text;
    json ? stats.AppendJson(text) : stats.AppendText(text);
    output.Commit(text);
    return 0;
}
