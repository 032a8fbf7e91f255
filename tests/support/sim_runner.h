// Runs the bootloader simulator in a thread over its own pseudo-terminal and collects what it
// received, saved and reported. The code under test opens Port() like any serial port.
#pragma once

#include <cstdint>
#include <future>
#include <initializer_list>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bootloader_sim.h"

class CSimRunner {
public:
    // Opens the terminal and starts serving at once. Throws on a terminal it cannot make.
    explicit CSimRunner(SimOptions options = {});
    ~CSimRunner() { Stop(); }
    CSimRunner(const CSimRunner&) = delete;
    CSimRunner& operator=(const CSimRunner&) = delete;

    // Parses "STEP[:N]=ACTION" faults; throws std::invalid_argument on bad grammar.
    static SimFault Fault(const std::string& text);
    static std::vector<SimFault> Faults(std::initializer_list<const char*> specs);

    // The terminal's device path (it changes after a hang-up).
    std::string Port() const { return m_sim->Port(); }

    // Stops serving and returns the simulator's exit status.
    int Stop();
    // Waits for the simulator to end by itself (SimOptions::once); after timeoutMs it is
    // stopped and -1 returned.
    int Wait(int timeoutMs = 10000);

    std::vector<SimRun> Runs() const { return m_sim->Runs(); }
    std::vector<std::uint8_t> Received() const { return m_sim->Received(); }
    // How many messages of a step arrived, over all runs.
    int Count(SimStep step) const;

private:
    std::unique_ptr<CBootloaderSim> m_sim;
    std::future<int> m_result;
    std::thread m_thread;
    int m_status = -1;
    bool m_joined = false;
};
