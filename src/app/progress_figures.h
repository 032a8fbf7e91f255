// Rate and time left of a transfer, as both front ends show them. Only blocks the device has
// answered count: the block just written has not crossed the line yet, so the first block
// gives no rate at all rather than a made-up one.
#pragma once

#include <string>

#include "common/job_ui.h"

struct ProgressFigures {
    bool known = false;  // false until a block has been answered
    double bytesPerSecond = 0;
    int secondsLeft = 0;
};

ProgressFigures ComputeProgressFigures(const TransferProgress& progress);

// "960 B/s" or "-- B/s" while unknown.
std::string FormatRate(const ProgressFigures& figures);
// "2:15 left" or "-:-- left" while unknown.
std::string FormatTimeLeft(const ProgressFigures& figures);
