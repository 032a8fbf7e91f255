// The faults the simulator injects: "STEP[:N]=ACTION", as --fault takes them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum class SimStep { Select, AllFlash, Write, Table, Size, Block, End };

const char* SimStepName(SimStep step);

struct SimFault {
    enum class Action {
        Silence,  // no reply
        Reply,    // these bytes instead of the reply
        Hangup,   // close the line instead of replying
        Split,    // the right reply in parts with a pause between them
        Delay,    // the right reply, later
    };
    SimStep step = SimStep::Select;
    int occurrence = 0;  // 1-based within a run; 0 = every occurrence
    int unit = 0;        // serving units: only in this one (1-based); 0 = in every unit
    Action action = Action::Silence;
    std::vector<std::uint8_t> bytes;  // Reply
    // Split, and a Reply with "+split": the pause between the parts, and the bytes in each
    // part but the last (none given: two halves, the first rounded up). Delay: extra wait.
    unsigned ms = 0;
    bool split = false;
    std::vector<unsigned> splitAt;
};

// Parses "STEP[:N]=ACTION" (grammar in kSimFaultHelp). False, with the reason in error, on
// anything it does not understand.
bool ParseSimFault(const std::string& text, SimFault& fault, std::string& error);
// The fault as the grammar writes it, in a canonical form ("block:5=byte:15").
std::string SimFaultText(const SimFault& fault);
extern const char* const kSimFaultHelp;

// "01 02 FF", at most max bytes, then " ...".
std::string SimHex(const std::vector<std::uint8_t>& bytes, std::size_t max = 16);
