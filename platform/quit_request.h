#pragma once

// Requests from outside the window to end the program: SIGINT and SIGTERM on Unix; closing the
// console window, Ctrl+C or Ctrl+Break on Windows. One implementation per platform.

#include <functional>

class QObject;

// Runs `quit` on the thread of `context` (the event loop's) for each such request; the handler
// that receives the request does nothing else.
void OnQuitRequest(QObject* context, std::function<void()> quit);
