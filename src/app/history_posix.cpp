// The history file on POSIX systems: the XDG data folder, flock and O_APPEND, O_NOFOLLOW.
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "app/history_file.h"

namespace fs = std::filesystem;

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

namespace {

// Opens file without following a link and without waiting on a FIFO or a device, and keeps
// it only when it is a regular file. -1, with errno or notRegular set, when it is not.
int OpenRegular(const fs::path& file, int flags, bool& notRegular) {
    notRegular = false;
    const int fd =
        ::open(file.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600);
    if (fd < 0) {
        // ELOOP: the name is a link; ENXIO: a socket, or a device without its driver.
        notRegular = errno == ELOOP || errno == ENXIO;
        return -1;
    }
    struct stat st {};
    const bool stated = ::fstat(fd, &st) == 0;
    const int error = errno;
    if (!stated || !S_ISREG(st.st_mode)) {
        notRegular = stated;
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

std::string Reason(const fs::path& file, const char* what, bool notRegular) {
    return file.string() + ": " +
           (notRegular ? std::string(kNotRegularFile)
                       : std::string(what) + " failed (" + std::strerror(errno) + ")");
}

}  // namespace

bool AppendLocked(const fs::path& file, std::string line, std::string& error) {
    auto fail = [&error, &file](const char* what) {
        error = Reason(file, what, false);
        return false;
    };
    bool notRegular = false;
    const int fd = OpenRegular(file, O_RDWR | O_APPEND | O_CREAT, notRegular);
    if (fd < 0) {
        error = Reason(file, "open", notRegular);
        return false;
    }
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

ReadResult ReadRegularFile(const fs::path& file, std::string& bytes, std::string& error) {
    bytes.clear();
    bool notRegular = false;
    const int fd = OpenRegular(file, O_RDONLY, notRegular);
    if (fd < 0) {
        if (errno == ENOENT && !notRegular)
            return ReadResult::Missing;
        error = Reason(file, "open", notRegular);
        return ReadResult::Failed;
    }
    char buffer[64 * 1024];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            bytes.append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            error = Reason(file, "read", false);
            ::close(fd);
            return ReadResult::Failed;
        }
    }
    ::close(fd);
    return ReadResult::Read;
}
