// One way to run a port, for every front end: open it, then either the ending of a port that
// did not open or the whole run on it, with its own stop token and, when asked, a wire trace.
#pragma once

#include <filesystem>
#include <string>

#include "app/flash_run.h"
#include "common/job_ui.h"
#include "common/stop_request.h"
#include "protocol/boot_link.h"

struct RunOptions {
    LinkTiming timing;
    // Where the run's wire trace goes (CTraceLine); empty: no trace.
    std::filesystem::path trace;
};

// Opens portName (CSerialPort: local or network; exclusive, 9600 8N1) and runs job on it. A
// port that does not open ends with its message and detail shown through ui, the button given
// back and its record written; any other ending is FlashThreadProc's. stop: this run's own
// (a signal still stops every run of the process). Blocks for the whole run, the open
// included (a silent network server takes seconds): front ends call it off their UI thread.
FlashResult RunPort(const std::string& portName, const FlashJob& job, JobUi& ui,
                    const StopToken& stop = StopToken{}, const RunOptions& options = {});

// The trace file of one of several ports: "trace-dev_ttyUSB0.log" for file "trace.log".
std::filesystem::path TracePathForPort(const std::filesystem::path& file,
                                       const std::string& portName);
