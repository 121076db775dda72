#include "sim_options.h"

#include <string>

const char kSimUsage[] =
    "usage: instrument-sim [options]\n"
    "  --variant crc|sum|both   protocol to answer (default both, told apart by the frame)\n"
    "  --address LIST           network numbers to answer, 0-255, one instrument each, as\n"
    "                           numbers and ranges: 1,2,5-8 (default 1)\n"
    "  --reading live|example|zero   reading of every instrument (default live); live\n"
    "                           values of instrument N lie (N-1)*100 above instrument 1's\n"
    "  --fault [N:]NAME[:MS]    fault for every answer of instrument N, or of all without N\n"
    "                           (an N: one wins for N); may be repeated. NAME: none silence\n"
    "                           badsum short noise split delay long garbage hangup; MS:\n"
    "                           the gap of split (default 200) or the wait of delay\n"
    "                           (default 300)\n"
    "  --fault-ms MS            MS for every --fault that gives none\n"
    "  --turnaround MS          wait after a request before the answer's first byte\n"
    "                           (default 0)\n"
    "  --pace                   send bytes at the wire speed of --baud\n"
    "  --baud N                 wire speed for --pace and for --device (default 19200)\n"
    "  --device PATH            use this serial device instead of a new pseudo-terminal\n"
    "  --link PATH              also make PATH a symbolic link to the pseudo-terminal\n"
    "  --replay LOG             answer each request, whatever its network number, with the\n"
    "                           next answer recorded in an exchange log, byte for byte\n"
    "                           (silence where it has none)\n"
    "  --replay-timing          send each replayed answer after its recorded exchange time,\n"
    "                           at most --replay-cap MS later (default 10000; longer recorded\n"
    "                           times are held to it and told on standard error)\n"
    "  --verbose                print each request (rx <hex>) and answer (tx <hex>)\n"
    "  --version                the version\n"
    "  --help                   this text\n"
    "Commands on standard input, one per line; the first five apply to every instrument,\n"
    "or with a prefix @N to instrument N only (@3 fault none):\n"
    "  fault NAME [MS]          fault for every following answer\n"
    "  next NAME [MS]           fault for the next answer only\n"
    "  reading live|example|zero\n"
    "  channel N ERR STATE VALUE   fix channel N (1-12) of the reading (makes it fixed)\n"
    "  status KEYS KEYS2 NUMBER INPUTS CONTROLS RELAYS   hex values (makes it fixed)\n"
    "  address LIST             answer these numbers: those already answered keep their\n"
    "                           instrument, new ones start as a copy of the first\n"
    "  variant crc|sum|both | pace on|off | quit\n";

namespace {

// A whole number up to `max`, digits only.
std::optional<uint32_t> ParseNumber(const std::string& text, uint32_t max) {
    if (text.empty() || text.size() > 9 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    const unsigned long n = std::stoul(text);
    return n <= max ? std::optional<uint32_t>(uint32_t(n)) : std::nullopt;
}

} // namespace

std::optional<std::optional<ProtocolVariant>> ParseVariantChoice(const std::string& text) {
    if (text == "both")
        return std::optional<ProtocolVariant>();
    if (const auto variant = VariantNamed(text))
        return variant;
    return std::nullopt;
}

OptionsResult ParseSimOptions(int argc, char** argv, SimOptions& options, std::string& error) {
    std::vector<std::string> faultSpecs;
    std::string faultMs, reading = "live";
    bool badValue = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        auto value = [&]() -> std::string { return hasValue ? argv[++i] : std::string(); };
        // The value as a number up to `max`; one that is not marks the options wrong.
        auto number = [&](uint32_t max, uint32_t& into) {
            const auto parsed = ParseNumber(value(), max);
            badValue = badValue || !parsed;
            into = parsed.value_or(0);
        };
        const bool needsValue = arg != "--help" && arg != "-h" && arg != "--version" &&
                                arg != "--pace" && arg != "--replay-timing" && arg != "--verbose" &&
                                arg != "-v";
        if (needsValue && !hasValue && arg.starts_with("--")) {
            error = arg + " needs a value";
            return OptionsResult::Wrong;
        }
        if (arg == "--help" || arg == "-h") {
            return OptionsResult::Help;
        } else if (arg == "--version") {
            return OptionsResult::Version;
        } else if (arg == "--variant") {
            const auto variant = ParseVariantChoice(value());
            badValue = badValue || !variant;
            options.Variant = variant.value_or(std::nullopt);
        } else if (arg == "--address") {
            const auto addresses = SortedAddressList(value());
            badValue = badValue || !addresses;
            if (addresses)
                options.Addresses = *addresses;
        } else if (arg == "--reading") {
            reading = value();
        } else if (arg == "--fault") {
            faultSpecs.push_back(value());
        } else if (arg == "--fault-ms") {
            faultMs = value();
        } else if (arg == "--turnaround") {
            number(600000, options.TurnaroundMs);
        } else if (arg == "--pace") {
            options.Pace = true;
        } else if (arg == "--baud") {
            number(4000000, options.Baud);
        } else if (arg == "--device") {
            options.Device = value();
        } else if (arg == "--link") {
            options.Link = value();
        } else if (arg == "--replay") {
            options.Replay = value();
        } else if (arg == "--replay-timing") {
            options.ReplayTiming = true;
        } else if (arg == "--replay-cap") {
            number(600000, options.ReplayCapMs);
        } else if (arg == "--verbose" || arg == "-v") {
            options.Verbose = true;
        } else {
            error = "unknown option " + arg;
            return OptionsResult::Wrong;
        }
    }
    const auto faults = ParseBusFaults(faultSpecs, faultMs, options.Addresses);
    badValue = badValue || !faults;
    if (faults)
        options.Faults = *faults;
    if (!faultMs.empty() && !ParseFault("none", faultMs))
        badValue = true;
    if (badValue) {
        error = "bad option value";
        return OptionsResult::Wrong;
    }
    const auto readingKind = ParseReadingKind(reading);
    if (!readingKind) {
        error = "bad reading " + reading;
        return OptionsResult::Wrong;
    }
    options.Reading = *readingKind;
    return OptionsResult::Run;
}
