#include "flash_common.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <optional>

#include "app/progress_figures.h"
#include "app/terminal_text.h"
#include "commands.h"
#include "common/stop_request.h"
#include "serial/net_port.h"
#include "serial/port_identity.h"

int ExitCodeOf(FlashOutcome outcome) {
    switch (outcome) {
        case FlashOutcome::Success:
            return kExitOk;
        case FlashOutcome::TransferFailed:
            return kExitTransferFailed;
        case FlashOutcome::FileRefused:
            return kExitFileRefused;
        case FlashOutcome::HandshakeFailed:
            return kExitHandshakeFailed;
        case FlashOutcome::PortNotOpened:
            return kExitPortNotOpened;
        case FlashOutcome::Stopped:
            return 128 + StopRequested();
    }
    return kExitTransferFailed;
}

std::string OneLine(std::string text) {
    std::replace(text.begin(), text.end(), '\n', ' ');
    return TerminalText(text);
}

namespace {

bool IsSha256Hex(const std::string& text) {
    return text.size() == 64 && std::all_of(text.begin(), text.end(),
                                            [](unsigned char c) { return std::isxdigit(c) != 0; });
}

}  // namespace

bool CheckPorts(const std::vector<std::string>& ports) {
    for (const std::string& port : ports) {
        NetPortAddress address;
        std::string error;
        if (IsNetworkPortName(port) && !ParseNetworkPortName(port, address, error)) {
            std::cerr << "--port " << TerminalText(port) << ": " << TerminalText(error)
                      << std::endl;
            return false;
        }
    }
    if (const std::optional<SamePort> same = FindSamePort(ports)) {
        std::cerr << "--port " << TerminalText(ports[same->second])
                  << " is named twice (also as --port " << TerminalText(ports[same->first])
                  << "): each port takes one run" << std::endl;
        return false;
    }
    return true;
}

void AddRecordOptions(CLI::App& cmd, const std::shared_ptr<FlashJob>& job, bool withUnit) {
    if (withUnit) {
        cmd.add_option("--unit", job->unit, "the unit's serial number, for the history");
    }
    cmd.add_option("--operator", job->operatorName, "who runs it, for the history");
    cmd.add_option("--station", job->station,
                   "the station's name for the history (default: this computer's name)");
    cmd.add_option("--work-order", job->workOrder, "the work order, for the history");
    cmd.add_option("--expect-sha256", job->expectSha256,
                   "refuse the firmware, before any port is touched, unless the SHA-256 of its "
                   "image (as sent: converted and padded) is this one")
        ->check(CLI::Validator(
            [](const std::string& text) {
                return IsSha256Hex(text) ? std::string()
                                         : std::string("expected 64 hexadecimal digits");
            },
            "HEX"));
}
