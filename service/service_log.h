#pragma once

// The service's own log: one line per event on standard error, with the journal's priority
// prefix ("<4>...") when standard error is the journal's stream, else "reader-service: ...".

#include <string>

enum class Priority { Error = 3, Warning = 4, Info = 6 };

void ServiceLog(Priority priority, const std::string& text);

// Whether standard error is the journal's stream (systemd names it in JOURNAL_STREAM); checked
// once at start-up by the program.
void UseJournalPrefixes(bool journal);
bool StderrIsJournal();
