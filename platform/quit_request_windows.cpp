#include "quit_request.h"

#include <QObject>
#include <QPointer>

#include <atomic>
#include <cstdlib>

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

namespace {

QPointer<QObject> g_context;
std::function<void()> g_quit;
std::atomic<bool> g_ended{false};

void MarkEnded() {
    g_ended = true;
}

// Runs on a thread of its own. Windows ends the process once the handler of a console close
// returns, so it waits (at most the few seconds Windows allows) until the program has closed its
// window and saved its settings.
BOOL WINAPI OnConsoleEvent(DWORD event) {
    if (!g_context)
        return FALSE;
    QMetaObject::invokeMethod(
        g_context.data(), [] { g_quit(); }, Qt::QueuedConnection);
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT)
        for (int i = 0; i < 90 && !g_ended; ++i)
            Sleep(50);
    return TRUE;
}

} // namespace

void OnQuitRequest(QObject* context, std::function<void()> quit, std::function<void()>) {
    g_context = context;
    g_quit = std::move(quit);
    std::atexit(MarkEnded);
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}
