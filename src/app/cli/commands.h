// The subcommands of quillon-cli. Each cmd_*.cpp registers itself with a CommandRegistration;
// when chosen, a command stores its process exit code.
#pragma once

#include <CLI/CLI.hpp>

// Exit codes, also listed in the README.
enum CliExit : int {
    kExitOk = 0,
    kExitTransferFailed = 1,
    kExitUsage = 2,
    kExitFileRefused = 3,
    kExitPortNotOpened = 4,
    kExitHandshakeFailed = 5,
};

using CommandAdder = void (*)(CLI::App& app, int& exitCode);

// order: position in the help text.
struct CommandRegistration {
    CommandRegistration(int order, CommandAdder adder);
};
