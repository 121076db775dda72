#include "command_line.h"

#include <cstdio>
#include <cstring>

namespace {

const char kLogHelp[] =
    "LOG is an exchange log of reader-crc or reader-sum (COM.txt by default), or - for standard\n"
    "input. Several logs are read one after the other, as are logs joined into one file. Logs\n"
    "of any size are read in constant memory. The request and answer bytes are given back\n"
    "exactly as they crossed the line: the log wrote each LF byte as CR LF, and the CR is taken\n"
    "out again. Only this cannot be told apart: answer bytes that spell out the head of a log\n"
    "record end the answer there. Malformed parts (a record cut short by a full disk, bytes\n"
    "between records) are counted and skipped; --verbose lists them by line.\n"
    "  --variant crc|sum|auto   the protocol of the exchanges (auto: from each request)\n"
    "  --network N              only the exchanges with the instrument at network number N\n"
    "                           (0-255); without it, each instrument keeps its own reading\n"
    "  --verbose                list malformed parts on standard error\n";

} // namespace

void Fail(const std::string& message) {
    throw ToolError{message};
}

std::string ValueOf(int& i, int argc, char** argv) {
    if (i + 1 >= argc)
        Fail(std::string(argv[i]) + " needs a value");
    return argv[++i];
}

void LogOption(LogOptions& options, int& i, int argc, char** argv) {
    const std::string arg = argv[i];
    if (arg == "--variant") {
        const std::string value = ValueOf(i, argc, argv);
        if (const auto variant = VariantNamed(value))
            options.Variant = variant;
        else if (value != "auto")
            Fail("--variant takes crc, sum or auto");
        return;
    }
    if (arg == "--network") {
        const std::string value = ValueOf(i, argc, argv);
        if (value.empty() || value.size() > 3 ||
            value.find_first_not_of("0123456789") != std::string::npos || std::stoi(value) > 255)
            Fail("--network takes a network number 0 to 255");
        options.Network = uint32_t(std::stoi(value));
        return;
    }
    if (arg == "--verbose" || arg == "-v") {
        options.Verbose = true;
        return;
    }
    if (arg != "-" && arg.size() > 1 && arg[0] == '-')
        Fail("unknown option " + arg);
    options.Files.push_back(arg);
}

bool AskedForHelp(int argc, char** argv, const char* help, bool readsLogs) {
    for (int i = 2; i < argc; ++i)
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(help, stdout);
            if (readsLogs)
                std::fputs(kLogHelp, stdout);
            return true;
        }
    return false;
}

void ReportMalformed(uint64_t malformed, bool verbose) {
    if (malformed && !verbose)
        std::fprintf(stderr, "reader-tool: %llu malformed parts skipped (--verbose lists them)\n",
                     static_cast<unsigned long long>(malformed));
}
