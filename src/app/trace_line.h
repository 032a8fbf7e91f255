// The wire trace of one run: every chunk read from and written to the port, every purge and
// every step, each on a line with the milliseconds since the port was opened. For diagnosis in
// the field; it never changes the run's timing (lines are kept in memory and written to the
// file at the end, on a failure of the line, and when a large buffer fills).
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "serial/line.h"

// The trace file, created safely: a symbolic link at the path is never followed and only a
// regular file is ever truncated, so a trace path cannot be turned against another file or a
// device.
class CTraceFile {
public:
    // Null, with the reason in error, when the file cannot be created or the path holds
    // something other than a regular file.
    static std::unique_ptr<CTraceFile> Create(const std::filesystem::path& path,
                                              std::string& error);
    ~CTraceFile();  // writes what is left
    CTraceFile(const CTraceFile&) = delete;
    CTraceFile& operator=(const CTraceFile&) = delete;

    // One line: the time in milliseconds, what happened ("out", "in", "purge", "step", ...)
    // and its text.
    void Add(double ms, std::string_view what, std::string_view text);
    // A line for the reader alone ("# ..."), not an event on the line.
    void Comment(std::string_view text);
    // Writes the buffered lines; false when the file refused them (the trace is then short).
    bool Flush();
    const std::filesystem::path& Path() const { return m_path; }

private:
    CTraceFile(int fd, std::filesystem::path path) : m_fd(fd), m_path(std::move(path)) {}

    int m_fd;
    std::filesystem::path m_path;
    std::string m_buffer;
    bool m_failed = false;
};

// An ILine that passes every call to the line beneath and records it in the trace file; time
// 0 is its construction, right after the line was opened.
class CTraceLine final : public ILine {
public:
    CTraceLine(ILine& line, CTraceFile& file);

    bool IsOpen() const override { return m_line.IsOpen(); }
    void Close() noexcept override;
    void Reopen() override;
    std::size_t Read(void* buffer, std::size_t capacity) override;
    void Write(const void* bytes, std::size_t count, TimePoint deadline) override;
    void Purge(std::uint32_t flags, TimePoint deadline) override;
    bool WaitReadable(TimePoint deadline) override;
    IClock& Clock() override { return m_line.Clock(); }
    void Mark(std::string_view step) override;

private:
    double Ms();
    void Add(std::string_view what, std::string_view text) { m_file.Add(Ms(), what, text); }
    // Records a failed call and writes the trace out before the failure goes on.
    [[noreturn]] void Failed(const CSerialException& e);

    ILine& m_line;
    CTraceFile& m_file;
    TimePoint m_origin;
};

// "rfc2217___192.0.2.7_4001" for "rfc2217://192.0.2.7:4001": a port name made fit for a part of
// a file name on any system (letters, digits, '.', '-', '_'; no leading dot; at most 64 long).
std::string FileNamePart(const std::string& portName);
