// A program running beside the test: its standard input written to, its output lines awaited
// (with a deadline, never a fixed sleep), signals sent, its exit collected.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

class CChild {
public:
    // argv[0] is the program's path; env entries ("NAME=VALUE") are added to ours.
    explicit CChild(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
                    const std::string& cwd = {});
    ~CChild();  // kills it if it still runs
    CChild(const CChild&) = delete;
    CChild& operator=(const CChild&) = delete;

    void Write(const std::string& text);
    void CloseInput();
    void Signal(int signal);
    // Reads until a line of the stream (1: stdout, 2: stderr) contains text, or the deadline;
    // true when one did. Every line read is kept.
    bool AwaitLine(int stream, const std::string& text,
                   std::chrono::milliseconds timeout = std::chrono::seconds(30));
    // Until the program ends (killed after timeout): its exit code, 128 + N for signal N.
    int Wait(std::chrono::milliseconds timeout = std::chrono::seconds(60));
    const std::string& Out() const { return m_text[0]; }
    const std::string& Err() const { return m_text[1]; }

private:
    bool Pump(int timeoutMs);  // false once both streams ended

    pid_t m_pid = -1;
    int m_in = -1;
    int m_fd[2] = {-1, -1};
    std::string m_text[2];
    std::size_t m_seen[2] = {0, 0};  // where AwaitLine looks from
    int m_exit = -1;
};
