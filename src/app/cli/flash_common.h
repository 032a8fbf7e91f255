// What quillon-cli flash and station share: exit codes of endings, the checks of --port, the
// progress text, the options that go into each run's record.
#pragma once

#include <CLI/CLI.hpp>
#include <memory>
#include <string>
#include <vector>

#include "app/flash_run.h"
#include "common/job_ui.h"
#include "flash_output.h"

// The process exit code of a run's ending.
int ExitCodeOf(FlashOutcome outcome);

// A message on one line (line breaks made blanks), escaped for the terminal.
std::string OneLine(std::string text);

// Usage errors in the ports, printed: a malformed URL, or a port named twice (also through
// two links to one device).
bool CheckPorts(const std::vector<std::string>& ports);

// --unit (when withUnit), --operator, --station, --work-order and --expect-sha256, stored in
// job once parsed.
void AddRecordOptions(CLI::App& cmd, const std::shared_ptr<FlashJob>& job, bool withUnit);
