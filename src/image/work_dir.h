// A private folder for one run's working files (tmp.bin and the trace files), so that the
// fixed names never touch the current directory or another run's files.
#pragma once

#include <filesystem>

class CWorkDir {
public:
    // Creates a new folder, readable by its owner only, under the system's temporary
    // folder. Throws std::filesystem::filesystem_error when that is impossible.
    CWorkDir();
    // Removes the folder and everything in it; errors are ignored.
    ~CWorkDir();
    CWorkDir(const CWorkDir&) = delete;
    CWorkDir& operator=(const CWorkDir&) = delete;

    const std::filesystem::path& Path() const { return m_path; }

private:
    std::filesystem::path m_path;
};
