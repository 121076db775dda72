#pragma once

// Requests from outside the program to end it: SIGINT and SIGTERM on Unix; closing the console
// window, Ctrl+C or Ctrl+Break on Windows; and SIGHUP to read its configuration again. One
// implementation per platform.

#include <functional>

class QObject;

// Runs `quit` on the thread of `context` (the event loop's) for each such request; the handler
// that receives the request does nothing else. With `reload`, SIGHUP runs it the same way
// (POSIX; there is no such request on Windows).
void OnQuitRequest(QObject* context, std::function<void()> quit, std::function<void()> reload = {});
