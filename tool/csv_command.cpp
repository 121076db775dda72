#include "commands.h"

#include "command_line.h"
#include "log_input.h"
#include "output.h"
#include "record_format.h"

const char kCsvHelp[] =
    "usage: reader-tool csv [--variant crc|sum|auto] [--network N] [--jsonl] [--raw] [--follow]\n"
    "                       [-o FILE] LOG...\n"
    "One row per exchange: sent (ISO 8601, the log's local time), exchange_ms, network,\n"
    "variant, answer_bytes, outcome (ok, no-answer, too-short, no-frame, checksum-mismatch,\n"
    "unknown-request), then per channel value, error and state, and keys, keys2, number, inputs,\n"
    "controls and relays. The reading columns are empty when the answer did not parse. Each\n"
    "instrument (network number) keeps its own reading: a value that does not convert shows\n"
    "that instrument's value before.\n"
    "  --jsonl    one JSON object a line instead of CSV\n"
    "  --raw      add the request and answer bytes in hexadecimal\n"
    "  --follow   keep reading the last LOG as it grows, like tail -F (until interrupted):\n"
    "             from its start again when it is rewritten or replaced by a new file\n"
    "  -o FILE    write to FILE, which is replaced only once the output is complete (with\n"
    "             --follow: once the first rows are there); a link stays a link; FILE must\n"
    "             be a regular file, not one of the LOGs (default: stdout)\n";

int CsvCommand(int argc, char** argv) {
    LogOptions options;
    bool jsonl = false, raw = false, follow = false;
    std::string outPath;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--jsonl")
            jsonl = true;
        else if (arg == "--raw")
            raw = true;
        else if (arg == "--follow" || arg == "-f")
            follow = true;
        else if (arg == "-o")
            outPath = ValueOf(i, argc, argv);
        else
            LogOption(options, i, argc, argv);
    }
    RefuseInputAsOutput(options.Files, outPath);
    Output output(outPath);
    std::string buffer;
    if (!jsonl)
        AppendCsvHeader(buffer, raw);
    uint64_t malformed = 0;
    ReadLogs(
        options,
        [&](const ExchangeRecord& exchange) {
            if (jsonl)
                AppendJsonLinesRow(buffer, exchange, raw);
            else
                AppendCsvRow(buffer, exchange, raw);
            output.Write(buffer);
        },
        [&] { ++malformed; }, follow, [&] { output.Publish(buffer); });
    output.Commit(buffer);
    ReportMalformed(malformed, options.Verbose);
    return 0;
}
