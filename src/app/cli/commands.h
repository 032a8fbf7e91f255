// The subcommands of quillon-cli. Each adds itself to the application and, when chosen,
// stores its process exit code.
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

void AddConvertCommand(CLI::App& app, int& exitCode);
