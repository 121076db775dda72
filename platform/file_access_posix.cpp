#include "file_access.h"

#include <atomic>
#include <cerrno>
#include <charconv>
#include <climits>
#include <csignal>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

ReplaceStepHook g_stepHook = nullptr;

void Step(const char* name) {
    if (g_stepHook)
        g_stepHook(name);
}

// Retries a call interrupted by a signal (the program handles SIGTERM and SIGINT).
template <class Call> auto Retry(Call call) {
    decltype(call()) result;
    do
        result = call();
    while (result < 0 && errno == EINTR);
    return result;
}

bool WriteAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = Retry([&] { return write(fd, bytes.data(), bytes.size()); });
        if (n <= 0)
            return false;
        bytes.remove_prefix(size_t(n));
    }
    return true;
}

std::string Folder(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The file a path finally names: symbolic links followed, relative targets taken from the
// link's folder. The target need not exist.
std::string FollowLinks(std::string path) {
    for (int depth = 0; depth < 40; ++depth) {
        struct stat info {};
        if (lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode))
            return path;
        char target[PATH_MAX];
        const ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
        if (n <= 0)
            return path;
        const std::string link(target, size_t(n));
        path = link.front() == '/' ? link : Folder(path) + "/" + link;
    }
    return path;
}

void SyncFolder(const std::string& folder) {
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

// Writes all bytes at `offset` onwards, as far as the file takes them.
bool WriteAllAt(int fd, std::string_view bytes, off_t offset) {
    while (!bytes.empty()) {
        const ssize_t n = Retry([&] { return pwrite(fd, bytes.data(), bytes.size(), offset); });
        if (n <= 0)
            return false;
        bytes.remove_prefix(size_t(n));
        offset += n;
    }
    return true;
}

// Cuts a file back to `size` bytes, as far as it can: used where a failure is already being
// reported.
void CutTo(int fd, off_t size) {
    if (ftruncate(fd, size) != 0)
        return;
}

// The file name a temporary of ReplaceFileContent for `target` has, made by process `pid`.
std::string TemporaryName(const std::string& target, pid_t pid) {
    return target + ".tmp" + std::to_string(pid);
}

// Removes temporaries that saves of `target` by crashed processes left beside it: those of a
// process that no longer runs, untouched for a minute. A live process's may be a save under way.
void RemoveStaleTemporaries(const std::string& target) {
    const std::string folder = Folder(target);
    const size_t slash = target.rfind('/');
    const std::string prefix =
        (slash == std::string::npos ? target : target.substr(slash + 1)) + ".tmp";
    DIR* dir = opendir(folder.c_str());
    if (!dir)
        return;
    const time_t now = time(nullptr);
    while (const dirent* entry = readdir(dir)) {
        const std::string_view name(entry->d_name);
        if (!name.starts_with(prefix) || name.size() == prefix.size() ||
            name.size() > prefix.size() + 9)
            continue;
        pid_t pid = 0;
        const std::string_view digits = name.substr(prefix.size());
        if (std::from_chars(digits.data(), digits.data() + digits.size(), pid).ptr !=
                digits.data() + digits.size() ||
            pid <= 0)
            continue;
        const bool running = pid == getpid() || kill(pid, 0) == 0 || errno == EPERM;
        struct stat info {};
        if (running || fstatat(dirfd(dir), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0 ||
            now - info.st_mtime < 60)
            continue;
        unlinkat(dirfd(dir), entry->d_name, 0);
    }
    closedir(dir);
}

} // namespace

void SetReplaceStepHook(ReplaceStepHook hook) {
    g_stepHook = hook;
}

FileContent ReadWholeFile(const std::string& path, size_t maxBytes, size_t spareBytes) {
    FileContent content;
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
    const int fd = Retry([&] { return open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC); });
    if (fd < 0) {
        content.State = errno == ENOENT ? FileState::Missing : FileState::Unusable;
        return content;
    }
    struct stat info {};
    content.State = FileState::Unusable;
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && size_t(info.st_size) <= maxBytes) {
        content.Bytes.reserve(size_t(info.st_size) + spareBytes);
        char chunk[1 << 16];
        ssize_t n = 0;
        while ((n = Retry([&] { return read(fd, chunk, sizeof chunk); })) > 0 &&
               content.Bytes.size() <= maxBytes)
            content.Bytes.append(chunk, size_t(n));
        if (n == 0 && content.Bytes.size() <= maxBytes)
            content.State = FileState::Read;
        else
            content.Bytes.clear();
    }
    close(fd);
    return content;
}

bool IsWritableFile(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           access(path.c_str(), W_OK) == 0;
}

void MakeOwnerWritable(const std::string& path) {
    struct stat info {};
    if (stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode))
        chmod(path.c_str(), (info.st_mode & 07777) | S_IWUSR);
}

bool ReplaceFileContent(const std::string& path, std::string_view content) {
    const std::string target = FollowLinks(path);
    struct stat old {};
    const bool exists = stat(target.c_str(), &old) == 0;
    if (exists && (!S_ISREG(old.st_mode) || access(target.c_str(), W_OK) != 0))
        return false;

    RemoveStaleTemporaries(target);
    const std::string temporary = TemporaryName(target, getpid());
    unlink(temporary.c_str()); // left by a crashed run with the same process id
    const int fd = Retry(
        [&] { return open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666); });
    if (fd < 0) {
        if (exists && (errno == EACCES || errno == EPERM || errno == EROFS))
            return RewriteFileInPlace(target, content);
        return false;
    }
    Step("created");
    bool done = WriteAll(fd, content);
    Step("written");
    if (exists) { // the new file gets the old one's permissions and, where allowed, owner
        fchmod(fd, old.st_mode & 07777);
        [[maybe_unused]] const int owned = fchown(fd, old.st_uid, old.st_gid);
    }
    done = done && fsync(fd) == 0;
    Step("synced");
    done = close(fd) == 0 && done;
    Step("closed");
    if (!done || rename(temporary.c_str(), target.c_str()) != 0) {
        unlink(temporary.c_str());
        return false;
    }
    Step("renamed");
    SyncFolder(Folder(target));
    return true;
}

bool RewriteFileInPlace(const std::string& path, std::string_view content) {
    const FileContent old = ReadWholeFile(path, SIZE_MAX);
    if (old.State != FileState::Read)
        return false;
    const int fd = Retry([&] { return open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC); });
    if (fd < 0)
        return false;
    // New bytes over the old from the start, the tail cut last: at no moment is the file
    // shorter than what both versions share.
    const bool done =
        WriteAllAt(fd, content, 0) && ftruncate(fd, off_t(content.size())) == 0 && fsync(fd) == 0;
    if (!done && WriteAllAt(fd, old.Bytes, 0)) // a full disk still has room for the old bytes
        CutTo(fd, off_t(old.Bytes.size()));
    return close(fd) == 0 && done;
}

bool AppendInOneWrite(const std::string& path, std::string_view bytes) {
    if (path.empty())
        return false;
    const int fd = Retry([&] {
        return open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666);
    });
    if (fd < 0)
        return false;
    struct stat before {};
    const bool regular = fstat(fd, &before) == 0 && S_ISREG(before.st_mode);
    const ssize_t n = Retry([&] { return write(fd, bytes.data(), bytes.size()); });
    const bool whole = n == ssize_t(bytes.size());
    // A part cut short (a full disk) would read as a real, shorter record: take it back.
    if (!whole && n > 0 && regular)
        CutTo(fd, before.st_size);
    const bool closed = close(fd) == 0;
    return closed && whole;
}

namespace {

FileIdentity IdentityOf(const struct stat& info) {
    return {uint64_t(info.st_dev), uint64_t(info.st_ino), uint64_t(info.st_size),
            S_ISREG(info.st_mode)};
}

std::atomic<unsigned> g_temporaryCounter{0};

} // namespace

std::optional<FileIdentity> IdentifyPath(const std::string& path) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0)
        return std::nullopt;
    return IdentityOf(info);
}

std::optional<FileIdentity> IdentifyOpenFile(std::FILE* file) {
    struct stat info {};
    if (!file || fstat(fileno(file), &info) != 0)
        return std::nullopt;
    return IdentityOf(info);
}

ReplacingWriter::~ReplacingWriter() {
    Abort();
}

bool ReplacingWriter::Fail(const std::string& what) {
    m_error = what + ": " + std::strerror(errno);
    return false;
}

bool ReplacingWriter::Open(const std::string& path) {
    Abort();
    m_path = path;
    m_target = FollowLinks(path);
    m_error.clear();
    m_published = false;
    m_written = m_synced = 0;
    struct stat old {};
    m_hadOld = stat(m_target.c_str(), &old) == 0;
    if (m_hadOld && S_ISDIR(old.st_mode)) {
        m_error = "cannot write " + path + ": it is a folder";
        return false;
    }
    if (m_hadOld && !S_ISREG(old.st_mode)) {
        m_error = "cannot write " + path + ": not a regular file";
        return false;
    }
    if (m_hadOld && access(m_target.c_str(), W_OK) != 0)
        return Fail("cannot write " + path);
    m_oldMode = old.st_mode & 07777;
    m_oldOwner = old.st_uid;
    m_oldGroup = old.st_gid;
    // A name of our own: a file or link already there is never opened, only skipped.
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string temporary = m_target + ".tmp" + std::to_string(getpid()) + "-" +
                                      std::to_string(g_temporaryCounter++);
        const int fd = Retry([&] {
            return open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                        0666);
        });
        if (fd >= 0) {
            m_handle = fd;
            m_temporary = temporary;
            if (m_hadOld) { // the new file gets the old one's permissions and, where allowed, owner
                fchmod(fd, m_oldMode);
                [[maybe_unused]] const int owned = fchown(fd, m_oldOwner, m_oldGroup);
            }
            return true;
        }
        if (errno != EEXIST)
            break;
    }
    return Fail("cannot write " + path);
}

bool ReplacingWriter::Write(std::string_view bytes) {
    if (m_handle == kNoHandle) {
        m_error = "cannot write " + m_path + ": not open";
        return false;
    }
    const int fd = int(m_handle);
    if (!WriteAll(fd, bytes)) {
        const int error = errno;
        if (m_published) // only whole writes stay in a file others may read
            CutTo(fd, off_t(m_written));
        errno = error;
        return Fail("cannot write " + m_path);
    }
    m_written += bytes.size();
    return true;
}

bool ReplacingWriter::Publish() {
    if (m_handle == kNoHandle)
        return false;
    if (m_published)
        return true;
    if (fsync(int(m_handle)) != 0)
        return Fail("cannot write " + m_path);
    if (rename(m_temporary.c_str(), m_target.c_str()) != 0)
        return Fail("cannot write " + m_path);
    m_temporary.clear();
    m_published = true;
    m_synced = m_written;
    SyncFolder(Folder(m_target));
    return true;
}

bool ReplacingWriter::Close() {
    if (m_handle == kNoHandle)
        return false;
    if (!Publish()) {
        Abort();
        return false;
    }
    const int fd = int(m_handle);
    m_handle = kNoHandle;
    const bool synced = m_synced == m_written || fsync(fd) == 0;
    const int error = errno;
    const bool closed = close(fd) == 0;
    if (!synced)
        errno = error;
    return (synced && closed) || Fail("cannot write " + m_path);
}

void ReplacingWriter::Abort() {
    if (m_handle != kNoHandle)
        close(int(m_handle));
    m_handle = kNoHandle;
    if (!m_temporary.empty())
        unlink(m_temporary.c_str());
    m_temporary.clear();
}
