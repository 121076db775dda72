#pragma once

// Signals for programs that run without an event loop (reader-tool, instrument-sim) and for the
// service's writes. One implementation per platform.

// `handler` runs on SIGINT and SIGTERM (Ctrl+C and Ctrl+Break on Windows) in the signal's own
// context; a system call the signal interrupts fails with EINTR instead of being restarted, so
// the handler's program can end even a wait that would never return.
void CatchInterrupts(void (*handler)(int));

// A write to a pipe nobody reads any more, or past the process's file-size limit, fails with
// its error (EPIPE, EFBIG) instead of ending the program with SIGPIPE or SIGXFSZ (POSIX; nothing
// to do on Windows).
void FailWritesInsteadOfSignals();
