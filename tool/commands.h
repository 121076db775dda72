#pragma once

// The commands of reader-tool: each takes main's arguments (argv[1] is its name) and returns the
// exit status, or fails (see Fail) with status 2.

int CsvCommand(int argc, char** argv);
int StatsCommand(int argc, char** argv);
int PlotCommand(int argc, char** argv);
int PortsCommand(int argc, char** argv);
int MapCommand(int argc, char** argv);

// Their --help texts.
extern const char kCsvHelp[];
extern const char kStatsHelp[];
extern const char kPlotHelp[];
extern const char kPortsHelp[];
extern const char kMapHelp[];
