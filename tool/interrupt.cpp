#include "interrupt.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>

namespace {

std::atomic<bool> g_interrupted{false};

void OnSignal(int) {
    g_interrupted = true;
}

} // namespace

void HandleSignals() {
#ifdef _WIN32
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
#else
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no SA_RESTART
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
#endif
}

bool Interrupted() {
    return g_interrupted;
}

std::string Reason(int error) {
    return g_interrupted || error == EINTR ? std::string("interrupted") : std::strerror(error);
}
