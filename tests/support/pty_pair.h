// A pseudo-terminal pair for tests: the code under test opens SlavePath() as its serial
// port, the test plays the device on the master side.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pty.h"

class CPtyPair : public CPty {
public:
    // Writes every byte to the master side.
    void Write(const std::vector<std::uint8_t>& bytes);
    void Write(const std::string& bytes) {
        Write(std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
    }
    // Collects up to count bytes, waiting at most timeoutMs in all.
    std::vector<std::uint8_t> Read(std::size_t count, int timeoutMs) {
        return Collect(count, timeoutMs, timeoutMs);
    }
    // Collects whatever arrives until nothing came for quietMs (or maxMs passed).
    std::vector<std::uint8_t> ReadUntilQuiet(int quietMs, int maxMs = 5000) {
        return Collect(SIZE_MAX, quietMs, maxMs);
    }
    // Closes the master side: the port under test is hung up.
    void HangUp() { Close(); }

private:
    std::vector<std::uint8_t> Collect(std::size_t count, int quietMs, int maxMs);
};
