#include "commands.h"

#include "chart.h"
#include "command_line.h"
#include "log_input.h"
#include "output.h"

#include <algorithm>
#include <bitset>
#include <cstdlib>

const char kPlotHelp[] =
    "usage: reader-tool plot [--channels 1,3,5] [--variant crc|sum|auto] [--network N] -o CHART\n"
    "                        LOG...\n"
    "Channel values over time, one line per channel, broken where no good answer came, with the\n"
    "exchange time plotted underneath. CHART ends in .png or .svg. LOG must be files (the chart\n"
    "reads them twice). A send stamp far from both its neighbours, or invalid, is left off the\n"
    "time axis; the chart says how many. Logs of several instruments (network numbers) need\n"
    "--network to choose one.\n"
    "  --channels LIST   the channels to draw, 1 to 12 (default all)\n";

int PlotCommand(int argc, char** argv) {
    LogOptions options;
    std::vector<int> channels;
    std::string outPath;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--channels") {
            const std::string list = ValueOf(i, argc, argv);
            size_t at = 0;
            while (at <= list.size()) {
                const size_t comma = std::min(list.find(',', at), list.size());
                const std::string item = list.substr(at, comma - at);
                char* end = nullptr;
                const long channel = std::strtol(item.c_str(), &end, 10);
                if (item.empty() || *end != '\0' || channel < 1 || channel > 12)
                    Fail("--channels takes numbers 1 to 12 separated by commas");
                channels.push_back(int(channel));
                at = comma + 1;
            }
        } else if (arg == "-o") {
            outPath = ValueOf(i, argc, argv);
        } else {
            LogOption(options, i, argc, argv);
        }
    }
    if (channels.empty())
        channels = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    const std::string suffix = outPath.size() >= 4 ? outPath.substr(outPath.size() - 4) : "";
    const bool png = suffix == ".png" || suffix == ".PNG";
    if (!png && suffix != ".svg" && suffix != ".SVG")
        Fail("plot needs -o CHART ending in .png or .svg");
    for (const std::string& file : options.Files)
        if (file == "-")
            Fail("plot reads its logs twice, so they must be files");

    RefuseInputAsOutput(options.Files, outPath);
    Output output(outPath);
    ChannelChart chart(channels);
    uint64_t malformed = 0;
    std::bitset<256> networks; // one chart line per channel cannot show several instruments
    ReadLogs(
        options,
        [&](const ExchangeRecord& exchange) {
            if (exchange.Address)
                networks.set(*exchange.Address);
            chart.Measure(exchange);
        },
        [&] { ++malformed; });
    if (networks.count() > 1) {
        std::string list;
        for (size_t n = 0; n < networks.size(); ++n)
            if (networks[n])
                list += (list.empty() ? "" : ", ") + std::to_string(n);
        Fail("the logs hold several instruments (network numbers " + list +
             "): choose one with --network");
    }
    LogOptions quiet = options;
    quiet.Verbose = false;
    ReadLogs(
        quiet, [&](const ExchangeRecord& exchange) { chart.Place(exchange); }, [] {});
    std::string image;
    if (png) {
        RasterSurface surface(ChannelChart::kWidth, ChannelChart::kHeight);
        chart.Draw(surface);
        image = EncodePng(surface);
    } else {
        SvgSurface surface(ChannelChart::kWidth, ChannelChart::kHeight);
        chart.Draw(surface);
        image = surface.Document();
    }
    output.Commit(image);
    ReportMalformed(malformed, options.Verbose);
    return 0;
}
