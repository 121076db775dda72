#include "quit_request.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int g_signalPipe[2] = {-1, -1};
constexpr char kQuit = 'q';
constexpr char kReload = 'r';

// Only writes a byte (never waiting: a full pipe already holds a request); the rest happens
// when the event loop reads it.
void OnSignal(int number) {
    const int saved = errno;
    const char byte = number == SIGHUP ? kReload : kQuit;
    [[maybe_unused]] const ssize_t n = write(g_signalPipe[1], &byte, 1);
    errno = saved;
}

} // namespace

void OnQuitRequest(QObject* context, std::function<void()> quit, std::function<void()> reload) {
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, g_signalPipe) != 0)
        return;
    auto* notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, context);
    QObject::connect(notifier, &QSocketNotifier::activated, context,
                     [quit = std::move(quit), reload] {
                         bool quitAsked = false, reloadAsked = false;
                         char byte = 0;
                         while (read(g_signalPipe[0], &byte, 1) == 1)
                             (byte == kReload ? reloadAsked : quitAsked) = true;
                         if (reloadAsked && reload)
                             reload();
                         if (quitAsked)
                             quit();
                     });
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    if (reload)
        sigaction(SIGHUP, &action, nullptr);
}
