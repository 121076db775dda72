#include "file_access.h"

#include <filesystem>
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
