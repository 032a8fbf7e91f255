// The history file on Windows: %LOCALAPPDATA%, LockFileEx and append-only access. Reparse
// points (symbolic links, junctions) are opened as themselves and refused, never followed.
#include <windows.h>

#include <cstdlib>
#include <system_error>

#include "app/history_file.h"

namespace fs = std::filesystem;

fs::path ApplicationDataFolder() {
    if (const wchar_t* local = _wgetenv(L"LOCALAPPDATA"); local != nullptr && *local != 0) {
        return fs::path(local);
    } else if (const wchar_t* home = _wgetenv(L"USERPROFILE"); home != nullptr && *home != 0) {
        return fs::path(home) / "AppData" / "Local";
    }
    return {};
}

namespace {

std::string SystemReason(const fs::path& file, const char* what) {
    return file.string() + ": " + what + " failed (" +
           std::system_category().message(static_cast<int>(GetLastError())) + ")";
}

// Opens file as itself (a reparse point is not followed) and keeps it only when it is a
// plain file on a disk: no link, folder, pipe or device.
// missing: there is no such file.
HANDLE OpenRegular(const fs::path& file, DWORD access, DWORD disposition, std::string& error,
                   bool& missing) {
    missing = false;
    HANDLE h =
        CreateFileW(file.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, disposition,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD why = GetLastError();
        missing = why == ERROR_FILE_NOT_FOUND || why == ERROR_PATH_NOT_FOUND;
        error = SystemReason(file, "open");
        return h;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileType(h) != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info) ||
        (info.dwFileAttributes &
         (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0) {
        CloseHandle(h);
        error = file.string() + ": " + kNotRegularFile;
        return INVALID_HANDLE_VALUE;
    }
    return h;
}

}  // namespace

bool AppendLocked(const fs::path& file, std::string line, std::string& error) {
    auto fail = [&error, &file](const char* what) {
        error = SystemReason(file, what);
        return false;
    };
    // Append-only access: every write lands at the end, whatever the file pointer says.
    bool missing = false;
    HANDLE h = OpenRegular(file, FILE_APPEND_DATA | FILE_READ_DATA, OPEN_ALWAYS, error, missing);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    // The lock covers a byte far beyond any real length: a token that serialises the writers
    // while readers are never refused.
    OVERLAPPED lockAt{};
    lockAt.Offset = 0;
    lockAt.OffsetHigh = 0x7FFFFFFF;
    if (!LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &lockAt)) {
        fail("lock");
        CloseHandle(h);
        return false;
    }
    bool ok = true;
    LARGE_INTEGER size{};
    if (GetFileSizeEx(h, &size) && size.QuadPart > 0) {
        // A line cut short by a crash gets its own line end, so ours is never glued to it.
        char last = '\n';
        DWORD got = 0;
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(size.QuadPart - 1);
        at.OffsetHigh = static_cast<DWORD>((size.QuadPart - 1) >> 32);
        if (ReadFile(h, &last, 1, &got, &at) && got == 1 && last != '\n')
            line.insert(line.begin(), '\n');
    }
    DWORD written = 0;
    if (!WriteFile(h, line.data(), static_cast<DWORD>(line.size()), &written, nullptr) ||
        written != line.size())
        ok = fail("write");
    else if (!FlushFileBuffers(h))
        ok = fail("flush");
    UnlockFileEx(h, 0, 1, 0, &lockAt);
    CloseHandle(h);
    return ok;
}

ReadResult ReadRegularFile(const fs::path& file, std::string& bytes, std::string& error) {
    bytes.clear();
    bool missing = false;
    HANDLE h = OpenRegular(file, GENERIC_READ, OPEN_EXISTING, error, missing);
    if (h == INVALID_HANDLE_VALUE)
        return missing ? ReadResult::Missing : ReadResult::Failed;
    char buffer[64 * 1024];
    DWORD got = 0;
    bool ok = true;
    while ((ok = ReadFile(h, buffer, sizeof buffer, &got, nullptr) != 0) && got > 0) {
        bytes.append(buffer, got);
    }
    if (!ok)
        error = SystemReason(file, "read");
    CloseHandle(h);
    return ok ? ReadResult::Read : ReadResult::Failed;
}
