// The history file on POSIX systems: the XDG data folder, flock and O_APPEND.
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "app/history.h"
#include "app/history_file.h"

namespace fs = std::filesystem;

std::string HostName() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) {
        return {};
    }
    return name;
}

fs::path ApplicationDataFolder() {
    // A relative XDG_DATA_HOME is invalid and ignored, as the XDG rules say.
    if (const char* data = std::getenv("XDG_DATA_HOME"); data != nullptr && *data == '/') {
        return data;
    }
    const char* home = std::getenv("HOME");
    if (home == nullptr || *home != '/') {
        const passwd* pw = getpwuid(getuid());
        home = pw != nullptr ? pw->pw_dir : nullptr;
    }
    if (home != nullptr && *home == '/') {
        return fs::path(home) / ".local" / "share";
    }
    return {};
}

bool AppendLocked(const fs::path& file, std::string line, std::string& error) {
    auto fail = [&error, &file](const char* what) {
        error = file.string() + ": " + what + " failed (" + std::strerror(errno) + ")";
        return false;
    };
    const int fd = ::open(file.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return fail("open");
    int rc = 0;
    do {
        rc = ::flock(fd, LOCK_EX);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        fail("lock");
        ::close(fd);
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) == 0 && st.st_size > 0) {
        // A line cut short by a crash gets its own line end, so ours is never glued to it.
        char last = '\n';
        if (::pread(fd, &last, 1, st.st_size - 1) == 1 && last != '\n')
            line.insert(line.begin(), '\n');
    }
    bool ok = true;
    std::size_t done = 0;
    while (ok && done < line.size()) {
        const ssize_t n = ::write(fd, line.data() + done, line.size() - done);
        if (n > 0)
            done += static_cast<std::size_t>(n);
        else if (n < 0 && errno == EINTR)
            continue;
        else
            ok = fail("write");
    }
    if (ok && ::fsync(fd) != 0)
        ok = fail("flush");
    ::close(fd);  // releases the lock
    return ok;
}
