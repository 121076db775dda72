#pragma once

// File access for dev.dat and the exchange log, built so that no file can hang the program and
// no crash can leave a file half-written: opening never blocks (a FIFO or a device is not
// waited on), dev.dat is replaced as a whole, the log is appended to with one write per part.
// One implementation per platform (file_access_posix.cpp, file_access_windows.cpp).

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
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

// Which file a path or an open file is: two names of one file (a link, a second hard link,
// standard input redirected from it) give equal identities.
struct FileIdentity {
    uint64_t Device = 0;
    uint64_t Inode = 0;
    uint64_t Size = 0;    // bytes, for a regular file
    bool Regular = false; // a regular file (not a folder, FIFO or device)
    bool SameFile(const FileIdentity& other) const {
        return Device == other.Device && Inode == other.Inode;
    }
};
// The file the path finally names (symbolic links followed); nullopt when there is none.
std::optional<FileIdentity> IdentifyPath(const std::string& path);
// The file an open stream reads or writes; nullopt when that cannot be told.
std::optional<FileIdentity> IdentifyOpenFile(std::FILE* file);

// A new file written piece by piece that takes the place of whatever regular file is at its
// path once published, so that a failed or interrupted job leaves the old file as it was: it
// is written as a new temporary beside the target (opened exclusively under a name no other
// file has, so a planted file or link at that name is never written through), flushed to disk
// and renamed over the target. A symbolic link at the path stays a link and its target is
// replaced; the permission bits and, where allowed, the owner of the old file stay. A path
// naming anything but a regular file (a folder, a FIFO, a device) is refused. Destroying an
// unpublished writer removes its temporary.
class ReplacingWriter {
public:
    ReplacingWriter() = default;
    ~ReplacingWriter();
    ReplacingWriter(const ReplacingWriter&) = delete;
    ReplacingWriter& operator=(const ReplacingWriter&) = delete;

    // Creates the temporary; false with Error() set when the target is not a regular file, may
    // not be written, or no new file can be made beside it.
    bool Open(const std::string& path);
    // Writes all the bytes or fails. After Publish, a failed write is cut back off the file, so
    // the file only ever holds whole writes.
    bool Write(std::string_view bytes);
    // Flushes the temporary to disk and renames it over the target. Later writes go on at the
    // end of the published file.
    bool Publish();
    // Publishes if not done yet, then flushes and closes the file.
    bool Close();
    // Removes an unpublished temporary (nothing happens to the target), or closes a published
    // file as it is.
    void Abort();

    bool IsOpen() const { return m_handle != kNoHandle; }
    const std::string& Error() const { return m_error; }
    // The temporary's name while unpublished; empty otherwise.
    const std::string& TemporaryPath() const { return m_temporary; }

private:
    static constexpr intptr_t kNoHandle = -1;
    bool Fail(const std::string& what);

    std::string m_path, m_target, m_temporary, m_error;
    intptr_t m_handle = kNoHandle;
    uint64_t m_written = 0; // bytes in the file after the last whole write
    uint64_t m_synced = 0;  // bytes flushed to disk
    bool m_published = false;
    bool m_hadOld = false;
    uint32_t m_oldMode = 0, m_oldOwner = 0, m_oldGroup = 0;
};
