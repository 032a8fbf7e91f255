// The per-user virtual ports folder (POSIX), shared by the port list, which shows its links,
// and the simulator, which puts its links there: both must agree on where it is, which folder
// is trusted, and who owns a link.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

// $XDG_RUNTIME_DIR/quillon/ports, or /tmp/quillon-<uid>/ports when XDG_RUNTIME_DIR is unset or
// not an absolute path (as the base directory rules say).
inline std::string VirtualPortsFolder() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && *runtime == '/') {
        return std::string(runtime) + "/quillon/ports";
    }
    return "/tmp/quillon-" + std::to_string(getuid()) + "/ports";
}

// True when folder and its parent are real directories (not symlinks) of this user that no
// one else can write to. In /tmp anyone could otherwise plant a folder of links.
inline bool IsPrivateFolder(const std::string& folder) {
    const std::filesystem::path path(folder);
    for (const std::filesystem::path& dir : {path, path.parent_path()}) {
        struct stat info {};
        if (lstat(dir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != geteuid() ||
            (info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
            return false;
        }
    }
    return true;
}

// A simulator holds LINK.lock beside its link while it runs, with its process id in it.
inline std::string LinkLockFile(const std::string& link) {
    return link + ".lock";
}
