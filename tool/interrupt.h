#pragma once

// SIGINT and SIGTERM: they end --follow normally and any other job as a failure.

#include <string>

// Installs the handlers without SA_RESTART, so a signal also ends a blocked open or read
// (EINTR).
void HandleSignals();
// True once SIGINT or SIGTERM came.
bool Interrupted();
// The reason a stdio call failed: "interrupted" after a signal, else errno's text.
std::string Reason(int error);

// A stretch in which the program may wait in a system call for ever (opening a FIFO that has
// no writer, reading a silent pipe). A flag checked before such a call leaves a gap: a signal
// between the check and the call would not end it. So a signal during the stretch ends the
// program from the handler itself: the temporary named by RemoveOnInterrupt is removed,
// "reader-tool: interrupted" goes to standard error and the exit status is 2. A signal that
// came before the stretch ends the job the ordinary way, as Fail("interrupted").
class MayBlock {
public:
    MayBlock();
    ~MayBlock();
    MayBlock(const MayBlock&) = delete;
    MayBlock& operator=(const MayBlock&) = delete;
};
// The unfinished output to remove when a signal ends the program; empty: none.
void RemoveOnInterrupt(const std::string& path);
