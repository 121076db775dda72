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
