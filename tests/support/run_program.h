// Runs a program as a user would and captures how it ended: the exit code and both streams.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

struct ProgramRun {
    int exit = -1;  // the exit code; 128 + N when signal N ended the program
    std::string out;
    std::string err;
};

struct ProgramOptions {
    std::vector<std::string> env;  // "NAME=VALUE", added to this process's environment
    std::filesystem::path cwd;     // empty: this process's
    int signal = 0;                // sent signalAfterMs after the start, when not 0
    int signalAfterMs = 0;
};

// argv[0] is the program's path. stdin is empty.
ProgramRun RunProgram(const std::vector<std::string>& argv, const ProgramOptions& options = {});

#ifdef QUILLON_CLI_PATH
inline ProgramRun RunCli(std::vector<std::string> args, const ProgramOptions& options = {}) {
    args.insert(args.begin(), QUILLON_CLI_PATH);
    return RunProgram(args, options);
}
#endif
