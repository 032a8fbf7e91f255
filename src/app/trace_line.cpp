#include "app/trace_line.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>

namespace {

// Past this the lines go to the file at once: a trace never grows without bound in memory.
constexpr std::size_t kFlushAt = 4u << 20;

std::string Hex(const void* bytes, std::size_t count) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    const auto* p = static_cast<const std::uint8_t*>(bytes);
    std::string text;
    text.reserve(count * 3);
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0) {
            text += ' ';
        }
        text += kDigits[p[i] >> 4];
        text += kDigits[p[i] & 0xF];
    }
    return text;
}

#ifdef _WIN32
// A reparse point (a symbolic link or junction) is opened as itself, never followed, and
// refused; so is anything that is not a file on a disk.
int OpenTrace(const std::filesystem::path& path, std::string& error) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        error = ": cannot be created (error " + std::to_string(GetLastError()) + ")";
        return -1;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(h, &info) || GetFileType(h) != FILE_TYPE_DISK ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
        CloseHandle(h);
        error = "is not a regular file";
        return -1;
    }
    if (!SetEndOfFile(h)) {
        error = ": cannot be emptied (error " + std::to_string(GetLastError()) + ")";
        CloseHandle(h);
        return -1;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_WRONLY | _O_BINARY);
    if (fd < 0) {
        CloseHandle(h);
        error = ": cannot be opened";
    }
    return fd;
}
#else
// ": Permission denied": the system's reason, as it follows the path.
std::string SystemError(int error) {
    return std::string(": ") + std::strerror(error);
}

int OpenTrace(const std::filesystem::path& path, std::string& error) {
    // O_NONBLOCK: a FIFO placed at the path must not hold the run; it is refused below.
    const int fd = open(path.c_str(),
                        O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0600);
    if (fd < 0) {
        error = errno == ELOOP ? std::string("is a symbolic link") : SystemError(errno);
        return -1;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        error = "is not a regular file";
        return -1;
    }
    if (ftruncate(fd, 0) != 0) {
        error = SystemError(errno);
        close(fd);
        return -1;
    }
    return fd;
}
#endif

bool WriteAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
#ifdef _WIN32
        const int n =
            _write(fd, data, static_cast<unsigned>(std::min<std::size_t>(size, 1u << 20)));
#else
        const ssize_t n = write(fd, data, size);
#endif
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

std::unique_ptr<CTraceFile> CTraceFile::Create(const std::filesystem::path& path,
                                               std::string& error) {
    std::string why;
    const int fd = OpenTrace(path, why);
    if (fd < 0) {
        error = path.string() + (why.rfind(':', 0) == 0 ? "" : " ") + why;
        return nullptr;
    }
    return std::unique_ptr<CTraceFile>(new CTraceFile(fd, path));
}

CTraceFile::~CTraceFile() {
    Flush();
#ifdef _WIN32
    _close(m_fd);
#else
    close(m_fd);
#endif
}

void CTraceFile::Add(double ms, std::string_view what, std::string_view text) {
    char stamp[48];
    std::snprintf(stamp, sizeof stamp, "%10.3f  %-5.*s", ms, static_cast<int>(what.size()),
                  what.data());
    m_buffer += stamp;
    if (!text.empty()) {
        m_buffer += "  ";
        m_buffer += text;
    } else {
        while (m_buffer.back() == ' ') {
            m_buffer.pop_back();
        }
    }
    m_buffer += '\n';
    if (m_buffer.size() >= kFlushAt) {
        Flush();
    }
}

void CTraceFile::Comment(std::string_view text) {
    m_buffer += "# ";
    m_buffer += text;
    m_buffer += '\n';
}

bool CTraceFile::Flush() {
    if (!m_buffer.empty() && !m_failed) {
        m_failed = !WriteAll(m_fd, m_buffer.data(), m_buffer.size());
    }
    m_buffer.clear();
    return !m_failed;
}

CTraceLine::CTraceLine(ILine& line, CTraceFile& file)
    : m_line(line), m_file(file), m_origin(line.Clock().Now()) {}

double CTraceLine::Ms() {
    return std::chrono::duration<double, std::milli>(m_line.Clock().Now() - m_origin).count();
}

void CTraceLine::Failed(const CSerialException& e) {
    Add("error", e.what());
    m_file.Flush();
    throw;
}

void CTraceLine::Close() noexcept {
    try {
        if (m_line.IsOpen()) {
            Add("close", "");
        }
    } catch (const std::bad_alloc&) {  // the port is closed all the same
    }
    m_line.Close();
    m_file.Flush();
}

void CTraceLine::Reopen() {
    try {
        m_line.Reopen();
        Add("open", "again");
    } catch (const CSerialException& e) {
        Failed(e);
    }
}

std::size_t CTraceLine::Read(void* buffer, std::size_t capacity) {
    try {
        const std::size_t n = m_line.Read(buffer, capacity);
        if (n > 0) {
            Add("in", Hex(buffer, n));
        }
        return n;
    } catch (const CSerialException& e) {
        Failed(e);
    }
}

void CTraceLine::Write(const void* bytes, std::size_t count, TimePoint deadline) {
    // Recorded before the call: a write that fails or times out still shows what was meant.
    Add("out", Hex(bytes, count));
    try {
        m_line.Write(bytes, count, deadline);
    } catch (const CSerialException& e) {
        Failed(e);
    }
}

void CTraceLine::Purge(std::uint32_t flags, TimePoint deadline) {
    std::string what;
    if ((flags & PURGE_TXCLEAR) != 0) {
        what = "output";
    }
    if ((flags & PURGE_RXCLEAR) != 0) {
        what += what.empty() ? "input" : " input";
    }
    Add("purge", what);
    try {
        m_line.Purge(flags, deadline);
    } catch (const CSerialException& e) {
        Failed(e);
    }
}

bool CTraceLine::WaitReadable(TimePoint deadline) {
    try {
        return m_line.WaitReadable(deadline);
    } catch (const CSerialException& e) {
        Failed(e);
    }
}

void CTraceLine::Mark(std::string_view step) {
    Add("step", step);
    m_line.Mark(step);
}

std::string FileNamePart(const std::string& portName) {
    std::string out;
    for (const char c : portName) {
        const bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                          (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_';
        out += keep ? c : '_';
    }
    // "/dev/ttyUSB0" reads better as "dev_ttyUSB0"; a leading dot would hide the file.
    const std::size_t first = out.find_first_not_of("._");
    out = first == std::string::npos ? std::string() : out.substr(first);
    if (out.size() > 64) {
        out.resize(64);
    }
    return out.empty() ? std::string("port") : out;
}
