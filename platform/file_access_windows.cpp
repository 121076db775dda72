#include "file_access.h"

#include <filesystem>
#include <io.h>
#include <system_error>

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

namespace {

ReplaceStepHook g_stepHook = nullptr;

void Step(const char* name) {
    if (g_stepHook)
        g_stepHook(name);
}

// Paths arrive as the program's narrow text; Windows takes them in UTF-16.
std::wstring Wide(const std::string& path) {
    return std::filesystem::path(path).wstring();
}

class Handle {
public:
    explicit Handle(HANDLE handle) : m_handle(handle) {}
    ~Handle() { Close(); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    bool Valid() const { return m_handle != INVALID_HANDLE_VALUE; }
    HANDLE Get() const { return m_handle; }
    bool Close() {
        const bool closed = !Valid() || CloseHandle(m_handle);
        m_handle = INVALID_HANDLE_VALUE;
        return closed;
    }

private:
    HANDLE m_handle;
};

bool WriteAll(HANDLE handle, std::string_view bytes) {
    while (!bytes.empty()) {
        const DWORD chunk = bytes.size() > 0x40000000 ? 0x40000000 : DWORD(bytes.size());
        DWORD written = 0;
        if (!WriteFile(handle, bytes.data(), chunk, &written, nullptr) || written == 0)
            return false;
        bytes.remove_prefix(written);
    }
    return true;
}

// Moves the file position to `offset` and cuts the file there.
bool CutAt(HANDLE handle, LONGLONG offset) {
    LARGE_INTEGER position{};
    position.QuadPart = offset;
    return SetFilePointerEx(handle, position, nullptr, FILE_BEGIN) && SetEndOfFile(handle);
}

} // namespace

void SetReplaceStepHook(ReplaceStepHook hook) {
    g_stepHook = hook;
}

FileContent ReadWholeFile(const std::string& path, size_t maxBytes, size_t spareBytes) {
    FileContent content;
    Handle file(CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid()) {
        const DWORD error = GetLastError();
        content.State = (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
                            ? FileState::Missing
                            : FileState::Unusable;
        return content;
    }
    content.State = FileState::Unusable;
    LARGE_INTEGER size{};
    if (GetFileType(file.Get()) != FILE_TYPE_DISK || !GetFileSizeEx(file.Get(), &size) ||
        uint64_t(size.QuadPart) > maxBytes)
        return content;
    content.Bytes.reserve(size_t(size.QuadPart) + spareBytes);
    char chunk[1 << 16];
    DWORD got = 0;
    while (ReadFile(file.Get(), chunk, sizeof chunk, &got, nullptr) && got > 0) {
        content.Bytes.append(chunk, got);
        if (content.Bytes.size() > maxBytes) {
            content.Bytes.clear();
            return content;
        }
    }
    content.State = FileState::Read;
    return content;
}

bool IsWritableFile(const std::string& path) {
    const DWORD attributes = GetFileAttributesW(Wide(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY) &&
           !(attributes & FILE_ATTRIBUTE_READONLY);
}

void MakeOwnerWritable(const std::string& path) {
    const std::wstring wide = Wide(path);
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY))
        SetFileAttributesW(wide.c_str(), attributes & ~DWORD(FILE_ATTRIBUTE_READONLY));
}

bool ReplaceFileContent(const std::string& path, std::string_view content) {
    std::error_code error;
    std::filesystem::path target(path);
    if (std::filesystem::is_symlink(target, error))
        target = std::filesystem::canonical(target, error);
    const std::wstring wideTarget = target.wstring();
    const DWORD attributes = GetFileAttributesW(wideTarget.c_str());
    const bool exists = attributes != INVALID_FILE_ATTRIBUTES;
    if (exists &&
        ((attributes & FILE_ATTRIBUTE_DIRECTORY) || (attributes & FILE_ATTRIBUTE_READONLY)))
        return false;

    const std::wstring temporary = wideTarget + L".tmp" + std::to_wstring(GetCurrentProcessId());
    Handle file(CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid())
        return false;
    Step("created");
    bool done = WriteAll(file.Get(), content);
    Step("written");
    done = done && FlushFileBuffers(file.Get());
    Step("synced");
    done = file.Close() && done;
    Step("closed");
    if (!done || !MoveFileExW(temporary.c_str(), wideTarget.c_str(),
                              MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        DeleteFileW(temporary.c_str());
        return false;
    }
    Step("renamed");
    return true;
}

bool RewriteFileInPlace(const std::string& path, std::string_view content) {
    const FileContent old = ReadWholeFile(path, SIZE_MAX);
    if (old.State != FileState::Read)
        return false;
    Handle file(CreateFileW(Wide(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid())
        return false;
    // New bytes over the old from the start, the tail cut last.
    const bool done = WriteAll(file.Get(), content) &&
                      CutAt(file.Get(), LONGLONG(content.size())) && FlushFileBuffers(file.Get());
    if (!done && CutAt(file.Get(), 0) && WriteAll(file.Get(), old.Bytes))
        CutAt(file.Get(), LONGLONG(old.Bytes.size()));
    return file.Close() && done;
}

bool AppendInOneWrite(const std::string& path, std::string_view bytes) {
    if (path.empty())
        return false;
    Handle file(CreateFileW(Wide(path).c_str(), FILE_APPEND_DATA | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid())
        return false;
    LARGE_INTEGER before{};
    const bool sized = GetFileSizeEx(file.Get(), &before);
    DWORD written = 0;
    const bool done = WriteFile(file.Get(), bytes.data(), DWORD(bytes.size()), &written, nullptr) &&
                      written == bytes.size();
    // A part cut short (a full disk) would read as a real, shorter record: take it back.
    if (!done && written > 0 && sized)
        CutAt(file.Get(), before.QuadPart);
    return file.Close() && done;
}

namespace {

std::optional<FileIdentity> IdentityOf(HANDLE handle) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(handle, &info))
        return std::nullopt;
    FileIdentity identity;
    identity.Device = info.dwVolumeSerialNumber;
    identity.Inode = (uint64_t(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    identity.Size = (uint64_t(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    identity.Regular = GetFileType(handle) == FILE_TYPE_DISK &&
                       !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    return identity;
}

unsigned g_temporaryCounter = 0;

} // namespace

std::optional<FileIdentity> IdentifyPath(const std::string& path) {
    Handle file(CreateFileW(Wide(path).c_str(), 0,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    return file.Valid() ? IdentityOf(file.Get()) : std::nullopt;
}

std::optional<FileIdentity> IdentifyOpenFile(std::FILE* file) {
    if (!file)
        return std::nullopt;
    const intptr_t handle = _get_osfhandle(_fileno(file));
    return handle == -1 ? std::nullopt : IdentityOf(reinterpret_cast<HANDLE>(handle));
}

ReplacingWriter::~ReplacingWriter() {
    Abort();
}

bool ReplacingWriter::Fail(const std::string& what) {
    m_error = what + " (error " + std::to_string(GetLastError()) + ")";
    return false;
}

bool ReplacingWriter::Open(const std::string& path) {
    Abort();
    m_path = path;
    m_error.clear();
    m_published = false;
    m_written = m_synced = 0;
    std::error_code error;
    std::filesystem::path target(path);
    if (std::filesystem::is_symlink(target, error))
        target = std::filesystem::canonical(target, error);
    m_target = target.string();
    const DWORD attributes = GetFileAttributesW(target.wstring().c_str());
    m_hadOld = attributes != INVALID_FILE_ATTRIBUTES;
    if (m_hadOld && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        m_error = "cannot write " + path + ": it is a folder";
        return false;
    }
    if (m_hadOld && (attributes & FILE_ATTRIBUTE_READONLY)) {
        m_error = "cannot write " + path + ": it is read-only";
        return false;
    }
    if (m_hadOld) {
        const std::optional<FileIdentity> old = IdentifyPath(m_target);
        if (!old || !old->Regular) {
            m_error = "cannot write " + path + ": not a regular file";
            return false;
        }
    }
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string temporary = m_target + ".tmp" + std::to_string(GetCurrentProcessId()) +
                                      "-" + std::to_string(g_temporaryCounter++);
        const HANDLE handle =
            CreateFileW(Wide(temporary).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                        nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle != INVALID_HANDLE_VALUE) {
            m_handle = reinterpret_cast<intptr_t>(handle);
            m_temporary = temporary;
            return true;
        }
        if (GetLastError() != ERROR_FILE_EXISTS)
            break;
    }
    return Fail("cannot write " + path);
}

bool ReplacingWriter::Write(std::string_view bytes) {
    if (m_handle == kNoHandle) {
        m_error = "cannot write " + m_path + ": not open";
        return false;
    }
    const HANDLE handle = reinterpret_cast<HANDLE>(m_handle);
    if (!WriteAll(handle, bytes)) {
        const DWORD error = GetLastError();
        if (m_published) // only whole writes stay in a file others may read
            CutAt(handle, LONGLONG(m_written));
        SetLastError(error);
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
    const HANDLE handle = reinterpret_cast<HANDLE>(m_handle);
    if (!FlushFileBuffers(handle) ||
        !MoveFileExW(Wide(m_temporary).c_str(), Wide(m_target).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return Fail("cannot write " + m_path);
    m_temporary.clear();
    m_published = true;
    m_synced = m_written;
    return true;
}

bool ReplacingWriter::Close() {
    if (m_handle == kNoHandle)
        return false;
    if (!Publish()) {
        Abort();
        return false;
    }
    const HANDLE handle = reinterpret_cast<HANDLE>(m_handle);
    m_handle = kNoHandle;
    const bool synced = m_synced == m_written || FlushFileBuffers(handle);
    const bool closed = CloseHandle(handle);
    return (synced && closed) || Fail("cannot write " + m_path);
}

void ReplacingWriter::Abort() {
    if (m_handle != kNoHandle)
        CloseHandle(reinterpret_cast<HANDLE>(m_handle));
    m_handle = kNoHandle;
    if (!m_temporary.empty())
        DeleteFileW(Wide(m_temporary).c_str());
    m_temporary.clear();
}
