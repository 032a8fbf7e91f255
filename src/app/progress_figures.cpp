#include "app/progress_figures.h"

#include <cstdio>

namespace {
constexpr double kBlock = 64;
}

ProgressFigures ComputeProgressFigures(const TransferProgress& progress) {
    ProgressFigures figures;
    const double seconds = std::chrono::duration<double>(progress.elapsed).count();
    const double answered = progress.sent > kBlock ? progress.sent - kBlock : 0.0;
    if (seconds > 0 && answered > 0) {
        figures.known = true;
        figures.bytesPerSecond = answered / seconds;
        // Still to go: every byte not yet sent and the block that awaits its answer.
        const double left = (static_cast<double>(progress.total) - progress.sent + kBlock);
        figures.secondsLeft = static_cast<int>(left / figures.bytesPerSecond);
    }
    return figures;
}

std::string FormatRate(const ProgressFigures& figures) {
    if (!figures.known) {
        return "-- B/s";
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.0f B/s", figures.bytesPerSecond);
    return text;
}

std::string FormatTimeLeft(const ProgressFigures& figures) {
    if (!figures.known) {
        return "-:-- left";
    }
    char text[32];
    std::snprintf(text, sizeof text, "%d:%02d left", figures.secondsLeft / 60,
                  figures.secondsLeft % 60);
    return text;
}
