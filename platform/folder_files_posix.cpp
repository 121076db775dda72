#include "folder_files.h"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

int OpenFolder(const std::string& folder) {
    return open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

ssize_t WriteAll(int fd, std::string_view bytes) {
    ssize_t n;
    do
        n = write(fd, bytes.data(), bytes.size());
    while (n < 0 && errno == EINTR);
    return n;
}

} // namespace

AppendResult AppendToFolderFile(const std::string& folder, const std::string& name,
                                std::string_view header, std::string_view bytes) {
    int dir = OpenFolder(folder);
    if (dir < 0 && errno == ENOENT) { // made again when removed under the running service
        std::error_code error;
        std::filesystem::create_directories(folder, error);
        dir = OpenFolder(folder);
    }
    if (dir < 0)
        return {false, errno};
    const int fd =
        openat(dir, name.c_str(),
               O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    const int openError = errno;
    close(dir);
    if (fd < 0)
        return {false, openError};
    struct stat before {};
    if (fstat(fd, &before) != 0 || !S_ISREG(before.st_mode)) {
        close(fd);
        return {false, EINVAL};
    }
    std::string joined;
    if (before.st_size == 0 && !header.empty()) {
        joined.reserve(header.size() + bytes.size());
        joined.append(header).append(bytes);
        bytes = joined;
    }
    AppendResult result{true, 0, uint64_t(before.st_size)};
    const ssize_t n = WriteAll(fd, bytes);
    if (n != ssize_t(bytes.size())) {
        result.Ok = false;
        result.Error = n < 0 ? errno : 0;
        if (n >= 0) // cut short: the rest tells why (a full disk, a size limit)
            result.Error = WriteAll(fd, bytes.substr(size_t(n))) < 0 ? errno : EIO;
        // A part cut short would read as a real, shorter record: it is taken back.
        if (n != 0 && ftruncate(fd, before.st_size) != 0 && result.Error == 0)
            result.Error = errno;
    }
    if (close(fd) != 0 && result.Ok)
        result = {false, errno, result.Before};
    return result;
}

bool CutFolderFile(const std::string& folder, const std::string& name, uint64_t size) {
    const int dir = OpenFolder(folder);
    if (dir < 0)
        return false;
    const int fd = openat(dir, name.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    close(dir);
    if (fd < 0)
        return false;
    struct stat info {};
    const bool cut =
        fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && ftruncate(fd, off_t(size)) == 0;
    return close(fd) == 0 && cut;
}

int RemoveFolderFiles(const std::string& folder,
                      const std::function<bool(const std::string& name)>& remove) {
    const int dir = OpenFolder(folder);
    if (dir < 0)
        return 0;
    DIR* listing = fdopendir(dup(dir));
    std::vector<std::string> names;
    if (listing) {
        while (const dirent* entry = readdir(listing))
            names.emplace_back(entry->d_name);
        closedir(listing);
    }
    int removed = 0;
    for (const std::string& name : names) {
        struct stat info {};
        if (name == "." || name == ".." || !remove(name) ||
            fstatat(dir, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(info.st_mode))
            continue;
        if (unlinkat(dir, name.c_str(), 0) == 0)
            ++removed;
    }
    close(dir);
    return removed;
}
