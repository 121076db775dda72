#include "service_log.h"

#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool g_journal = false;

} // namespace

void UseJournalPrefixes(bool journal) {
    g_journal = journal;
}

void ServiceLog(Priority priority, const std::string& text) {
    if (g_journal)
        std::fprintf(stderr, "<%d>%s\n", int(priority), text.c_str());
    else
        std::fprintf(stderr, "reader-service: %s\n", text.c_str());
}

// A program started from a shell inside a service inherits JOURNAL_STREAM with another stderr,
// so the stream's device and inode are compared.
bool StderrIsJournal() {
    const char* stream = std::getenv("JOURNAL_STREAM");
    struct stat info {};
    unsigned long long device = 0, inode = 0;
    return stream && std::sscanf(stream, "%llu:%llu", &device, &inode) == 2 &&
           fstat(STDERR_FILENO, &info) == 0 && info.st_dev == device && info.st_ino == inode;
}
