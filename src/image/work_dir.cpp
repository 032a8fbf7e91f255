#include "image/work_dir.h"

#include <cerrno>
#include <random>
#include <string>
#include <system_error>
#include <vector>

#if defined(_WIN32)
#else
#include <stdlib.h>  // mkdtemp
#endif

namespace fs = std::filesystem;

CWorkDir::CWorkDir() {
    const fs::path base = fs::temp_directory_path();
#if defined(_WIN32)
    // create_directory fails on an existing name, so a fresh name is ours alone.
    std::random_device seed;
    std::mt19937_64 random(seed());
    for (int attempt = 0; attempt < 100; ++attempt) {
        fs::path candidate = base / ("quillon-" + std::to_string(random() % 1000000000000ULL));
        if (fs::create_directory(candidate)) {
            m_path = std::move(candidate);
            return;
        }
    }
    throw fs::filesystem_error("cannot create a working folder", base,
                               std::make_error_code(std::errc::file_exists));
#else
    std::string pattern = (base / "quillon-XXXXXX").string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr) {
        throw fs::filesystem_error("cannot create a working folder", base,
                                   std::error_code(errno, std::generic_category()));
    }
    m_path = buffer.data();
#endif
}

CWorkDir::~CWorkDir() {
    std::error_code ec;
    fs::remove_all(m_path, ec);
}
