#include "sim_runner.h"

#include <chrono>
#include <stdexcept>

CSimRunner::CSimRunner(SimOptions options) : m_sim(std::make_unique<CBootloaderSim>(options)) {
    m_sim->Open();
    std::packaged_task<int()> task([this] { return m_sim->Serve(); });
    m_result = task.get_future();
    m_thread = std::thread(std::move(task));
}

SimFault CSimRunner::Fault(const std::string& text) {
    SimFault f;
    if (std::string error; !ParseSimFault(text, f, error)) {
        throw std::invalid_argument(error);
    }
    return f;
}

std::vector<SimFault> CSimRunner::Faults(std::initializer_list<const char*> specs) {
    std::vector<SimFault> out;
    for (const char* s : specs) {
        out.push_back(Fault(s));
    }
    return out;
}

int CSimRunner::Stop() {
    if (!m_joined) {
        m_sim->Stop();
        m_thread.join();
        m_joined = true;
        m_status = m_result.get();
    }
    return m_status;
}

int CSimRunner::Wait(int timeoutMs) {
    const bool ended = m_joined || m_result.wait_for(std::chrono::milliseconds(timeoutMs)) ==
                                       std::future_status::ready;
    const int status = Stop();
    return ended ? status : -1;
}

int CSimRunner::Count(SimStep step) const {
    int count = 0;
    for (const SimRun& run : Runs()) {
        for (const SimMessage& m : run.messages) {
            count += m.step == step ? 1 : 0;
        }
    }
    return count;
}
