#include "interrupt.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>

#include "command_line.h"
#include "interrupts.h"

#ifdef _WIN32
#include <io.h>
#include <stdlib.h>
#else
#include <unistd.h>
#endif

namespace {

std::atomic<bool> g_interrupted{false};
std::atomic<bool> g_mayBlock{false};
char g_removeOnInterrupt[4096] = {}; // a plain buffer: the handler may read it at any moment

void OnSignal(int) {
    g_interrupted = true;
    if (!g_mayBlock)
        return;
#ifndef _WIN32
    if (g_removeOnInterrupt[0] != '\0')
        unlink(g_removeOnInterrupt);
    static const char kMessage[] = "reader-tool: interrupted\n";
    [[maybe_unused]] const ssize_t n = write(2, kMessage, sizeof kMessage - 1);
#endif
    _exit(2);
}

} // namespace

void HandleSignals() {
    CatchInterrupts(OnSignal);
#ifndef _WIN32
    // A write past the file-size limit fails with EFBIG, so the output is cut back to whole rows
    // and the command ends with its message, rather than being killed mid-row. A closed pipe
    // still ends it quietly, as `reader-tool csv LOG | head` expects.
    std::signal(SIGXFSZ, SIG_IGN);
#endif
}

bool Interrupted() {
    return g_interrupted;
}

std::string Reason(int error) {
    return g_interrupted || error == EINTR ? std::string("interrupted") : std::strerror(error);
}

MayBlock::MayBlock() {
    g_mayBlock = true;
    if (g_interrupted) { // came before the stretch began
        g_mayBlock = false;
        Fail("interrupted");
    }
}

MayBlock::~MayBlock() {
    g_mayBlock = false;
}

void RemoveOnInterrupt(const std::string& path) {
    g_removeOnInterrupt[0] = '\0';
    if (path.size() >= sizeof g_removeOnInterrupt)
        return;
    std::memcpy(g_removeOnInterrupt + 1, path.c_str() + 1, path.size());
    g_removeOnInterrupt[0] = path.empty() ? '\0' : path[0]; // set last: never half a name
}
