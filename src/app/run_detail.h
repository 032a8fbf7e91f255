// What a run knows about its failure, in words, beneath the fixed message: which port, what
// the system said, how far the transfer got and why it stopped. Both front ends show these
// texts (the GUI as the message box's second paragraph, the command line on stderr).
#pragma once

#include <cstdint>
#include <string>

#include "protocol/boot_link.h"
#include "protocol/transfer.h"

// The usual remedy when the port could not be opened for lack of access (error: the
// system's code): join the device's group. Empty for any other error, and when the group is
// unknown or root (which no one should join for a serial port).
std::string PortAccessHint(const std::string& port, std::uint32_t error);

// The port that did not open and the system's reason, with the usual remedy when access was
// denied (the group that owns the device).
std::string OpenFailureDetail(const std::string& port, std::uint32_t error);

// A handshake step that returned code; step names it ("the block table").
std::string HandshakeDetail(const LinkState& link, const LinkTiming& timing, const char* step,
                            ResultCode code);

// An interrupted transfer on port: bytes sent of the total, and why it stopped. Empty after
// an ACK.
std::string TransferDetail(const std::string& port, const LinkTiming& timing,
                           const TransferReport& transfer);

// "1.6 s", "5 s": a duration as a technician reads it.
std::string FormatSeconds(long long ms);
