// Included by every test program that runs a flash: the run history goes to a private folder
// made at start and removed at exit, never to the user's own file. Child processes (the CLI)
// inherit it through the environment.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>

class CPrivateDataHome {
public:
    CPrivateDataHome() {
        std::string dir = (std::filesystem::temp_directory_path() / "quillon-data-XXXXXX").string();
        if (::mkdtemp(dir.data()) == nullptr)
            std::abort();
        m_dir = dir;
        ::setenv("XDG_DATA_HOME", dir.c_str(), 1);
        // The fallback too: a fault in the folder lookup still cannot reach the user's file.
        ::setenv("HOME", dir.c_str(), 1);
    }
    ~CPrivateDataHome() {
        std::error_code ec;
        std::filesystem::remove_all(m_dir, ec);
    }
    std::filesystem::path HistoryFile() const { return m_dir / "quillon" / "history.jsonl"; }

private:
    std::filesystem::path m_dir;
};

inline const CPrivateDataHome g_privateDataHome;
