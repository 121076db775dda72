#pragma once

// A reader program from its entry point to its exit.

#include "variant.h"

#include <functional>

class TForm1;

// The program: application title, the window, the message loop; exit status 0 in every case.
// SIGINT and SIGTERM close the window as its close box does. `shown`, when given, runs once the
// window is on screen (process tests use it to press the start button).
int RunReaderProgram(int argc, char** argv, ProtocolVariant variant, const char* title,
                     const std::function<void(TForm1&)>& shown = {});
