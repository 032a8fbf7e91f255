// SHA-256 (FIPS 180-4), for the fingerprint of the image a run sent.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

class CSha256 {
public:
    CSha256();
    void Update(const void* data, std::size_t length);
    // The digest; the object is spent afterwards.
    std::array<std::uint8_t, 32> Final();

private:
    void Block(const std::uint8_t* block);

    std::array<std::uint32_t, 8> m_state;
    std::array<std::uint8_t, 64> m_buffer{};
    std::size_t m_nBuffered = 0;
    std::uint64_t m_nLength = 0;  // bytes hashed so far
};

// The digest of data as 64 lower-case hexadecimal digits.
std::string Sha256Hex(const void* data, std::size_t length);
