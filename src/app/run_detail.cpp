#include "app/run_detail.h"

#ifndef _WIN32
#include <grp.h>
#include <sys/stat.h>
#endif

#include <cerrno>
#include <csignal>
#include <cstdio>

#include "common/hex.h"
#include "common/stop_request.h"
#include "serial/net_port.h"
#include "serial/serial_port.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

// What to do, in one short sentence each.
constexpr const char* kCheckLine = "Check the cable and the adapter, then try again.";
constexpr const char* kPowerCycle = "Power-cycle the inverter, then try again.";
constexpr const char* kFlashAgain = "Check the cable, then flash again after 40 seconds.";
constexpr const char* kFlashAgainCycled =
    "Flash again after 40 seconds; if it fails again, power-cycle the inverter first.";

std::string SystemText(std::uint32_t error) {
    char text[256];
    if (error == 0 || !CSerialException(error).GetErrorMessage(text, sizeof text)) {
        return "error " + std::to_string(error);
    }
    std::string reason = text;
    // Windows' texts end with a line break and a full stop of their own.
    while (!reason.empty() &&
           (reason.back() == '\n' || reason.back() == '\r' || reason.back() == '.')) {
        reason.pop_back();
    }
    return reason;
}

std::string Quoted(const std::string& port) {
    return port.empty() ? std::string("the port") : port;
}

// " (write)": the call that failed, where the line said which.
std::string During(const std::string& operation) {
    return operation.empty() ? std::string() : " (" + operation + ")";
}

std::string StopperName(int reason) {
    switch (reason) {
        case kStopByUser:
            return "the user";
        case SIGINT:
            return "SIGINT";
        case SIGTERM:
            return "SIGTERM";
#ifdef SIGHUP
        case SIGHUP:
            return "SIGHUP";
#endif
        default:
            return "signal " + std::to_string(reason);
    }
}

}  // namespace

std::string FormatSeconds(long long ms) {
    char text[32];
    if (ms % 1000 == 0) {
        std::snprintf(text, sizeof text, "%lld s", ms / 1000);
    } else {
        std::snprintf(text, sizeof text, "%.1f s", static_cast<double>(ms) / 1000.0);
    }
    return text;
}

std::string FormatCount(std::uint64_t count) {
    std::string digits = std::to_string(count);
    for (std::size_t at = digits.size(); at > 3; at -= 3) {
        digits.insert(at - 3, ",");
    }
    return digits;
}

std::string StopDetail(int reason, StopPhase phase, std::uint64_t sent, std::uint64_t total,
                       const std::string& step) {
    if (reason == kStopByUser && phase != StopPhase::Data) {
        if (phase == StopPhase::Preparing) {
            return "cancelled before the handshake; nothing was sent to the inverter";
        }
        return "cancelled during " + (step.empty() ? std::string("the handshake") : step) +
               "; nothing was written to the inverter";
    }
    const std::string by = "stopped by " + StopperName(reason);
    if (phase == StopPhase::Preparing) {
        return by + " before the handshake; nothing was sent to the inverter";
    }
    if (phase == StopPhase::Handshake) {
        return by + " during the handshake; nothing was written to the inverter";
    }
    return by + " after " + FormatCount(sent) + " of " + FormatCount(total) +
           " bytes; the inverter must be flashed again";
}

std::string PortAccessHint(const std::string& port, std::uint32_t error) {
#ifdef _WIN32
    (void)port;
    (void)error;
    return {};
#else
    struct stat st {};
    if (error != EACCES || stat(port.c_str(), &st) != 0) {
        return {};
    }
    const struct group* g = getgrgid(st.st_gid);
    if (g == nullptr || std::string(g->gr_name) == "root") {
        return {};
    }
    const std::string group = g->gr_name;
    return "You must belong to the group that owns the device (" + group +
           "; dialout on Debian): sudo usermod -aG " + group + " $USER, then log in again.";
#endif
}

namespace {
// The usual remedy for a port that would not open with error.
std::string OpenRemedy(const std::string& port, std::uint32_t error) {
    if (IsNetworkPortName(port)) {
        return "Check that the device server is on, reachable and serving this port, then try "
               "again.";
    }
#ifdef _WIN32
    if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION) {
        return "Another program holds the port: close it, then try again.";
    }
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
        return "Check that the adapter is plugged in and that this is its port.";
    }
#else
    if (error == EACCES) {
        const std::string hint = PortAccessHint(port, error);
        return hint.empty() ? "Ask the administrator for access to the port." : hint;
    }
    if (error == EBUSY) {
        return "Another program holds the port: close it, then try again.";
    }
    if (error == ENOENT || error == ENODEV || error == ENXIO) {
        return "Check that the adapter is plugged in and that this is its port.";
    }
#endif
    return "Unplug and replug the adapter, then try again.";
}
}  // namespace

std::string OpenFailureDetail(const std::string& port, std::uint32_t error,
                              const std::string& operation) {
    if (port.empty()) {
        return "No serial port is listed: connect the adapter, then choose its port.";
    }
    // The open call itself adds nothing to a failed open; any later call (lock, settings) is
    // worth naming.
    const bool openCall = operation == "open" || operation == "CreateFile";
    const std::string call = operation.empty() || openCall ? std::string() : operation + ": ";
    const std::string what =
        error == 0 ? port + " could not be opened." : port + ": " + call + SystemText(error) + ".";
    // The group to join is a line of its own: it holds a command to type.
    return what + (error == EACCES && !PortAccessHint(port, error).empty() ? "\n" : " ") +
           OpenRemedy(port, error);
}

std::string HandshakeDetail(const LinkState& link, const LinkTiming& timing, const char* step,
                            ResultCode code, const char* target) {
    const std::string port = Quoted(link.port);
    const std::string answered = port + " answered " + step + " with ";
    switch (code) {
        case ResultTargetTimeout: {
            if (link.lastReply < 0) {
                return "No answer from " + port + " to " + step + " (" +
                       std::to_string(timing.selectAttempts) + " tries of " +
                       FormatSeconds(timing.selectTimeoutMs) +
                       "). Check the cable and that this is the inverter's port, then "
                       "power-cycle the inverter.";
            }
            // The other target's letter: this controller is the other one.
            const std::string other = link.lastReply == 'M' ? "Master" : "Slave";
            if (target != nullptr && (link.lastReply == 'M' || link.lastReply == 'S') &&
                other != target) {
                return "The inverter answered as " + other + " ('" +
                       static_cast<char>(link.lastReply) + "'); this file is for the " + target +
                       ". Pick the " + other + "'s file for it, or connect the " + target + ".";
            }
            return answered + HexText(static_cast<unsigned>(link.lastReply)) +
                   ", not with the target's letter. Check that this is the inverter's port, "
                   "then power-cycle the inverter.";
        }
        case ResultTimeout:
            return "No answer from " + port + " to " + step + " within " +
                   FormatSeconds(timing.replyTimeoutMs) + ". " + kPowerCycle;
        case ResultPortException:
            if (IsHangUpError(link.lastError)) {
                return "The line to " + port + " hung up during " + step +
                       During(link.lastOperation) + ". " + kCheckLine;
            }
            return port + " failed during " + step + During(link.lastOperation) + ": " +
                   SystemText(link.lastError) + ". " + kCheckLine;
        case ResultPortOpenFailed:
            return OpenFailureDetail(link.port, link.lastError, link.lastOperation);
        case ResultNoAck:
            return answered + HexText(static_cast<unsigned>(link.lastReply)) +
                   " instead of ACK (0x06). " + kPowerCycle;
        case ResultNoXon:
            return answered + HexText(static_cast<unsigned>(link.lastReply)) +
                   " instead of XON (0x11). " + kPowerCycle;
        case ResultNoAllFlash:
            return answered + link.chipReply +
                   " instead of ALL FLASH: its bootloader did not take this image. " + kPowerCycle;
        default:
            return std::string("Stopped at ") + step + " on " + port + ". " + kPowerCycle;
    }
}

std::string LinkStepText(const LinkStep& step) {
    std::string text = step.doing;
    if (step.attempts > 1) {
        text += ", try " + std::to_string(step.attempt) + " of " + std::to_string(step.attempts);
    }
    return text;
}

std::string LinkStepName(const LinkStep& step) {
    std::string name = step.name;
    if (step.attempts > 1) {
        name +=
            " (try " + std::to_string(step.attempt) + " of " + std::to_string(step.attempts) + ")";
    }
    return name;
}

std::string TransferDetail(const std::string& portName, const LinkTiming& timing,
                           const TransferReport& transfer) {
    const std::string port = Quoted(portName);
    if (transfer.ending == TransferEnding::Acked) {
        return {};
    }
    if (transfer.ending == TransferEnding::ImageUnreadable) {
        return "Nothing was sent to " + port +
               ": the image could not be read. Check the firmware file, then try again.";
    }
    const std::string sent = std::to_string(transfer.bytesOut) + " of " +
                             std::to_string(transfer.imageLength) + " bytes were sent to " + port;
    switch (transfer.ending) {
        case TransferEnding::NoAnswer:
            return sent + ", then no answer came for " +
                   FormatSeconds(static_cast<long long>(timing.transferMaxEmptyPolls + 1) *
                                 timing.transferPollMs) +
                   ". " + kFlashAgain;
        case TransferEnding::WrongByte:
            return sent + ", then a wrong byte came back: " + HexText(transfer.wrongReply) +
                   " instead of XON or ACK. " + kFlashAgainCycled;
        case TransferEnding::EarlyAck:
            return port + " answered data block " + std::to_string(transfer.AckedBlock()) +
                   " with ACK before the image was complete: " + std::to_string(transfer.bytesOut) +
                   " of " + std::to_string(transfer.imageLength) + " bytes were sent. " +
                   kFlashAgainCycled;
        case TransferEnding::EndRefused:
            return sent + ", then the inverter kept asking for the end message. " +
                   kFlashAgainCycled;
        case TransferEnding::PortFailed:
            if (IsHangUpError(transfer.portError)) {
                return sent + ", then the line hung up" + During(transfer.portOperation) + ". " +
                       kFlashAgain;
            }
            return sent + ", then the port failed" + During(transfer.portOperation) + ": " +
                   SystemText(transfer.portError) + ". " + kFlashAgain;
        default:
            return sent + ". " + kFlashAgainCycled;
    }
}
