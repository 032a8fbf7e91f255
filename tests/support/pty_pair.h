// A pseudo-terminal pair for tests: the code under test opens SlavePath() as its serial
// port, the test plays the device on the master side.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class CPtyPair {
public:
    // Raw line on both sides; the master is non-blocking. Throws std::system_error.
    CPtyPair();
    ~CPtyPair();
    CPtyPair(const CPtyPair&) = delete;
    CPtyPair& operator=(const CPtyPair&) = delete;

    int Master() const { return m_master; }
    const std::string& SlavePath() const { return m_slavePath; }
    // A descriptor of the slave side the pair holds itself (for tcgetattr and the like).
    int KeptSlave() const { return m_keep; }

    // Writes every byte to the master side.
    void Write(const std::vector<std::uint8_t>& bytes);
    void Write(const std::string& bytes);
    // Collects up to count bytes, waiting at most timeoutMs in all.
    std::vector<std::uint8_t> Read(std::size_t count, int timeoutMs);
    // Collects whatever arrives until nothing came for quietMs (or maxMs passed).
    std::vector<std::uint8_t> ReadUntilQuiet(int quietMs, int maxMs = 5000);
    // Discards whatever has arrived.
    void Drain();

    // Closes the master side: the port under test is hung up.
    void HangUp();

private:
    int m_master = -1;
    int m_keep = -1;  // our own slave descriptor: the port under test may close and reopen
    std::string m_slavePath;
};
