#include "app/run_detail.h"

#ifndef _WIN32
#include <grp.h>
#include <sys/stat.h>

#include <cerrno>
#endif

#include <algorithm>
#include <cstdio>

#include "serial/serial_port.h"

namespace {

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

std::string Hex(unsigned byte) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", byte & 0xFFu);
    return text;
}

std::string Quoted(const std::string& port) {
    return port.empty() ? std::string("the port") : port;
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

std::string OpenFailureDetail(const std::string& port, std::uint32_t error) {
    if (port.empty()) {
        return "No serial port is listed: connect the adapter, then choose its port.";
    }
    std::string detail =
        error == 0 ? port + " could not be opened." : port + ": " + SystemText(error);
    const std::string hint = PortAccessHint(port, error);
    if (!hint.empty()) {
        detail += "\n" + hint;
    }
    return detail;
}

std::string HandshakeDetail(const CBootLink& link, const char* step, int code) {
    const std::string port = Quoted(link.m_portName);
    const LinkTiming& timing = link.Timing();
    switch (code) {
        case ResultTargetTimeout:
            if (link.m_nLastReply < 0) {
                return "No answer from " + port + " to " + step + " (" +
                       std::to_string(timing.selectAttempts) + " tries of " +
                       FormatSeconds(timing.selectTimeoutMs) + ").";
            }
            return port + " answered " + step + " with " + Hex(link.m_nLastReply) +
                   ", not with the target's letter.";
        case ResultTimeout:
            return "No answer from " + port + " to " + step + " within " +
                   FormatSeconds(timing.replyTimeoutMs) + ".";
        case ResultPortException:
            if (IsHangUpError(link.m_dwLastError)) {
                return "The line to " + port + " hung up during " + step + ".";
            }
            return port + " failed during " + step + ": " + SystemText(link.m_dwLastError) + ".";
        case ResultPortOpenFailed:
            return OpenFailureDetail(link.m_portName, link.m_dwLastError);
        case ResultNoAck:
            return port + " answered " + step + " with " + Hex(link.m_nLastReply) +
                   " instead of ACK (0x06).";
        case ResultNoXon:
            return port + " answered " + step + " with " + Hex(link.m_nLastReply) +
                   " instead of XON (0x11).";
        case ResultNoAllFlash:
            return port + " answered " + step + " with " + link.m_strChipReply +
                   " instead of ALL FLASH.";
        default:
            return std::string("Stopped at ") + step + " on " + port + ".";
    }
}

std::string TransferDetail(const CBootLink& link, const CImageTransfer& transfer) {
    using Ending = CImageTransfer::Ending;
    const std::string port = Quoted(link.m_portName);
    if (transfer.m_ending == Ending::Acked) {
        return {};
    }
    if (transfer.m_ending == Ending::ImageUnreadable) {
        return "Nothing was sent to " + port + ": the image could not be read.";
    }
    const std::string sent = std::to_string(transfer.m_nBytesOut) + " of " +
                             std::to_string(std::max(transfer.m_nImageLength, 0)) +
                             " bytes were sent to " + port;
    const LinkTiming& timing = link.Timing();
    switch (transfer.m_ending) {
        case Ending::NoAnswer:
            return sent + ", then no answer came for " +
                   FormatSeconds(static_cast<long long>(timing.transferMaxEmptyPolls + 1) *
                                 timing.transferPollMs) +
                   ".";
        case Ending::WrongByte:
            return sent + ", then a wrong byte came back: " + Hex(transfer.m_byWrongReply) +
                   " instead of XON or ACK.";
        case Ending::PortFailed:
            if (IsHangUpError(transfer.m_dwPortError)) {
                return sent + ", then the line hung up.";
            }
            return sent + ", then the port failed: " + SystemText(transfer.m_dwPortError) + ".";
        default:
            return sent + ".";
    }
}
