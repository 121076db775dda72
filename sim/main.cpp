// instrument-sim: stand-in instruments on a pseudo-terminal or a real serial port.
//
// Like instruments sharing an RS-485 line, it answers read requests for each of its network
// numbers in the crc and/or sum protocol, each instrument with its own live or fixed reading and
// faults on demand, and stays silent for any other number. The first line it prints is the
// device the reader should open. Commands on standard input change it while it runs; each is
// answered with a line "ok <command>" or "error <command>".

#include "interrupts.h"
#include "simulator.h"

#include <unistd.h>

#include <cstdio>

namespace {

void OnSignal(int) {
    g_stop = 1;
    if (g_mayBlock) {
        static const char kMessage[] = "instrument-sim: interrupted\n";
        [[maybe_unused]] const ssize_t n = write(2, kMessage, sizeof kMessage - 1);
        _exit(2);
    }
}

} // namespace

int main(int argc, char** argv) {
    SimOptions options;
    std::string error;
    switch (ParseSimOptions(argc, argv, options, error)) {
    case OptionsResult::Help:
        std::fputs(kSimUsage, stdout);
        return 0;
    case OptionsResult::Version:
        std::puts("instrument-sim " READER_VERSION);
        return 0;
    case OptionsResult::Wrong:
        std::fprintf(stderr, "instrument-sim: %s\n%s", error.c_str(), kSimUsage);
        return 2;
    case OptionsResult::Run:
        break;
    }

    CatchInterrupts(OnSignal);
    FailWritesInsteadOfSignals();
    Simulator simulator(options);
    if (!options.Replay.empty()) {
        const std::string failure = simulator.OpenReplay(options.Replay);
        if (!failure.empty()) {
            std::fprintf(stderr, "instrument-sim: cannot replay %s: %s\n", options.Replay.c_str(),
                         failure.c_str());
            return 2;
        }
    }
    if (!simulator.OpenLine())
        return g_outputFailed ? 2 : 1;
    return simulator.Run();
}
