// reader-tool: the exchange log as data (CSV, JSON Lines, statistics, charts), the machine's
// serial ports and the dev.dat names that stand for them. Each command has a file of its own.

#include "command_line.h"
#include "commands.h"
#include "interrupt.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

const char kUsage[] =
    "usage: reader-tool COMMAND [options]\n"
    "  csv    the exchanges of logs as CSV or JSON Lines\n"
    "  stats  figures over logs: outcomes, exchange times, polling gaps, channel ranges\n"
    "  plot   a chart of channel values and exchange times, as PNG or SVG\n"
    "  ports  the serial ports of this machine and the dev.dat names for them\n"
    "  map    write which device a port name stands for into dev.dat\n"
    "reader-tool COMMAND --help tells more; reader-tool --version the version.\n";

} // namespace

int main(int argc, char** argv) {
    HandleSignals();
    const std::string command = argc > 1 ? argv[1] : "";
    struct Command {
        const char* Name;
        int (*Run)(int, char**);
        const char* Help;
        bool ReadsLogs;
    };
    const Command commands[] = {{"csv", CsvCommand, kCsvHelp, true},
                                {"stats", StatsCommand, kStatsHelp, true},
                                {"plot", PlotCommand, kPlotHelp, true},
                                {"ports", PortsCommand, kPortsHelp, false},
                                {"map", MapCommand, kMapHelp, false}};
    for (const Command& c : commands) {
        if (command != c.Name)
            continue;
        try {
            const int status =
                AskedForHelp(argc, argv, c.Help, c.ReadsLogs) ? 0 : c.Run(argc, argv);
            if (std::fflush(stdout) != 0 || std::ferror(stdout))
                Fail("cannot write standard output: " + Reason(errno));
            return status;
        } catch (const ToolError& error) {
            std::fprintf(stderr, "reader-tool: %s\n", error.Message.c_str());
            return 2;
        }
    }
    if (command == "--version" || command == "--help" || command == "-h" || command == "help") {
        std::fputs(command == "--version" ? "reader-tool " READER_VERSION "\n" : kUsage, stdout);
        if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
            std::fprintf(stderr, "reader-tool: cannot write standard output: %s\n",
                         std::strerror(errno));
            return 2;
        }
        return 0;
    }
    std::fputs(kUsage, stderr);
    return 2;
}
