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

// Every detail below says what happened, then in one short sentence what to do about it.

// The port that did not open, the call that failed (when known) and the system's reason, with
// the usual remedy (for denied access: the group that owns the device).
std::string OpenFailureDetail(const std::string& port, std::uint32_t error,
                              const std::string& operation = {});

// A handshake step that returned code; step names it ("the block table"), target is the
// run's ("Master" or "Slave"; null when unknown).
std::string HandshakeDetail(const LinkState& link, const LinkTiming& timing, const char* step,
                            ResultCode code, const char* target = nullptr);

// An interrupted transfer on port: bytes sent of the total, and why it stopped. Empty after
// an ACK.
std::string TransferDetail(const std::string& port, const LinkTiming& timing,
                           const TransferReport& transfer);

// A step as a status line shows it: "Announcing the target, try 2 of 5".
std::string LinkStepText(const LinkStep& step);
// A step as a cancelled run names it: "the target announcement (try 2 of 5)".
std::string LinkStepName(const LinkStep& step);

// Where a run was when it was stopped.
enum class StopPhase {
    Preparing,  // the file stages, before anything went to the port
    Handshake,  // the handshake steps, before the first data block
    Data,       // the data phase
};

// The one line that tells how far a stopped run got (reason: the signal, or kStopByUser):
// "stopped by SIGINT after 6,592 of 32,768 bytes; the inverter must be flashed again". A user
// who stops a run before the data phase cancels it: "cancelled during STEP; ...", step as
// LinkStepName gives it (empty: "the handshake").
std::string StopDetail(int reason, StopPhase phase, std::uint64_t sent, std::uint64_t total,
                       const std::string& step = {});

// "32,768": a byte count with thousands separators.
std::string FormatCount(std::uint64_t count);

// "1.6 s", "5 s": a duration as a technician reads it.
std::string FormatSeconds(long long ms);
