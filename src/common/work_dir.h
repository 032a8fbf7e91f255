// A private folder for one run's working files (tmp.bin and the trace files), removed with
// everything in it when the object goes. The current directory is never used: it may be
// read-only or hold a user's own tmp.bin.
#pragma once

#include <filesystem>
#include <random>
#include <string>
#include <system_error>

class ScopedWorkDir {
public:
    // Made with owner-only permissions under the system's temporary folder. Throws
    // std::filesystem::filesystem_error when no folder can be made.
    ScopedWorkDir() {
        namespace fs = std::filesystem;
        const fs::path base = fs::temp_directory_path();
        std::random_device random;
        std::error_code ec;
        for (int attempt = 0; attempt < 100; ++attempt) {
            fs::path candidate = base / ("quillon-" + std::to_string(random()));
            // create_directory reports false for an existing folder: never share one.
            if (fs::create_directory(candidate, ec) && !ec) {
                fs::permissions(candidate, fs::perms::owner_all, fs::perm_options::replace, ec);
                m_path = std::move(candidate);
                return;
            }
        }
        throw fs::filesystem_error("cannot make a working folder", base,
                                   ec ? ec : std::make_error_code(std::errc::file_exists));
    }
    ~ScopedWorkDir() {
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
    }
    ScopedWorkDir(const ScopedWorkDir&) = delete;
    ScopedWorkDir& operator=(const ScopedWorkDir&) = delete;

    const std::filesystem::path& Path() const { return m_path; }

private:
    std::filesystem::path m_path;
};
