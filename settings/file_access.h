#pragma once

// File access for dev.dat and the exchange log, built so that no file can hang the program and
// no crash can leave a file half-written: opening never blocks (a FIFO or a device is not
// waited on), dev.dat is replaced as a whole, the log is appended to with one write per part.
// One implementation per platform (file_access_posix.cpp, file_access_windows.cpp).

#include <cstddef>
#include <string>
#include <string_view>

enum class FileState {
    Missing,  // no file at the path: reads as empty, may be created
    Read,     // a regular file, read whole
    Unusable, // not a regular file, unreadable, or too large: neither read nor replaced
};

struct FileContent {
    FileState State = FileState::Missing;
    std::string Bytes;
};

// Reads a regular file whole. Reserves `spareBytes` beyond its size, so that edits of that
// much need no second copy of a large file.
FileContent ReadWholeFile(const std::string& path, size_t maxBytes, size_t spareBytes = 0);

// Replaces the file's content: a new file beside it is written, flushed to disk and renamed
// over it, so a crash leaves the old content or the new one, never a mix or nothing. A
// symbolic link stays a link and its target is replaced; permission bits and owner stay. An
// existing file the process may not write, or one that is not regular, is left alone (false).
// Where the folder takes no new file but the file is writable, it is rewritten in place.
// Temporaries that crashed processes left beside the file are removed on the way.
bool ReplaceFileContent(const std::string& path, std::string_view content);

// The fallback for a folder that takes no new file: the content written over the old bytes
// from the start and the file cut to its length afterwards, so it is never empty or shorter
// than what old and new share; when that fails part-way the old bytes are put back. A crash
// in the middle leaves a mix of the two, which a folder without room for a new file cannot
// avoid.
bool RewriteFileInPlace(const std::string& path, std::string_view content);

// True when the path names a regular file this process may write.
bool IsWritableFile(const std::string& path);

// Gives a regular file's owner write permission (on Windows: clears read-only).
void MakeOwnerWritable(const std::string& path);

// Appends bytes with a single write call, whole or not at all: a write cut short (a full disk)
// is taken back out of a regular file. Never waits: a FIFO without a reader fails at once. A
// character device such as /dev/null is fine. False when the file cannot be opened or not
// every byte was written.
bool AppendInOneWrite(const std::string& path, std::string_view bytes);

// For tests of crash safety: called at each step of ReplaceFileContent ("created", "written",
// "synced", "closed", "renamed"). Null by default.
using ReplaceStepHook = void (*)(const char* step);
void SetReplaceStepHook(ReplaceStepHook hook);
