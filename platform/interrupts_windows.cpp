#include "interrupts.h"

#include <csignal>

void CatchInterrupts(void (*handler)(int)) {
    std::signal(SIGINT, handler);
    std::signal(SIGTERM, handler);
    std::signal(SIGBREAK, handler);
}

void FailWritesInsteadOfSignals() {}
