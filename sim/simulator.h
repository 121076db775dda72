#pragma once

// instrument-sim's loop: requests read from the line, answered by the bus of instruments (or
// from a recorded log), bytes sent at their times, commands taken from standard input.

#include "sim_options.h"

#include <csignal>
#include <memory>
#include <string>

// Set by the signal handler: the loop ends at its next turn.
extern volatile sig_atomic_t g_stop;
// Set while the start-up may wait in a system call for ever (opening a FIFO to replay, reading
// it): a flag checked before the call would leave a gap in which a signal does not end it, so a
// signal then ends the program from the handler itself.
extern volatile sig_atomic_t g_mayBlock;
// Standard output is checked: a line that cannot be written ends the run with status 2.
extern bool g_outputFailed;
void PrintLine(const std::string& line);

class SimulatorLoop;

class Simulator {
public:
    explicit Simulator(SimOptions options);
    ~Simulator();
    // Opens an exchange log to replay and reads up to its first record; the rest is read as
    // requests come. An empty string when that worked, else why not.
    std::string OpenReplay(const std::string& path);
    // Opens the line and prints the device to open; false when it cannot.
    bool OpenLine();
    // Until a signal, "quit" or a failed output: the exit status.
    int Run();

private:
    std::unique_ptr<SimulatorLoop> m_loop;
};
