// The history file on Windows: %LOCALAPPDATA%, LockFileEx and append-only access.
#include <windows.h>

#include <cstdlib>
#include <system_error>

#include "app/history.h"
#include "app/history_file.h"

namespace fs = std::filesystem;

std::string HostName() {
    char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = sizeof name;
    return GetComputerNameA(name, &size) ? std::string(name, size) : std::string();
}

fs::path ApplicationDataFolder() {
    if (const wchar_t* local = _wgetenv(L"LOCALAPPDATA"); local != nullptr && *local != 0) {
        return fs::path(local);
    } else if (const wchar_t* home = _wgetenv(L"USERPROFILE"); home != nullptr && *home != 0) {
        return fs::path(home) / "AppData" / "Local";
    }
    return {};
}

bool AppendLocked(const fs::path& file, std::string line, std::string& error) {
    auto fail = [&error, &file](const char* what) {
        error = file.string() + ": " + what + " failed (" +
                std::system_category().message(static_cast<int>(GetLastError())) + ")";
        return false;
    };
    // Append-only access: every write lands at the end, whatever the file pointer says.
    HANDLE h = CreateFileW(file.c_str(), FILE_APPEND_DATA | FILE_READ_DATA,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return fail("open");
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
