// For tests on the simulated line (tools/sim/sim_line.h): the device's faults by their
// --fault text, and the virtual times of what the PC did, in milliseconds.
#pragma once

#include <chrono>
#include <stdexcept>
#include <string>
#include <vector>

#include "sim_line.h"

// Parses "STEP[:N]=ACTION"; throws std::invalid_argument on bad grammar.
inline std::vector<SimFault> SimFaults(const std::vector<const char*>& texts) {
    std::vector<SimFault> faults;
    for (const char* text : texts) {
        SimFault f;
        if (std::string error; !ParseSimFault(text, f, error)) {
            throw std::invalid_argument(error);
        }
        faults.push_back(f);
    }
    return faults;
}

inline double Ms(IClock::Duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// The PC's writes, each with its virtual time.
inline std::vector<CSimLine::Event> SimWrites(const CSimLine& line) {
    std::vector<CSimLine::Event> writes;
    for (const CSimLine::Event& e : line.Events()) {
        if (e.kind == CSimLine::Event::Kind::Write) {
            writes.push_back(e);
        }
    }
    return writes;
}
