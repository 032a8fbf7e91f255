// Deterministic sample firmware: a flat image with a processor signature, and the same
// image as S-record text with a chosen record size, order, record types and spelling.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum class FwTarget { Master, Slave, None };
enum class FwOrder { Ascending, Descending, Shuffled };
enum class FwRecordTypes { Auto, S2, Mixed };  // Auto: S1 below 0x10000, S2 from there on

struct FirmwareRecipe {
    FwTarget target = FwTarget::Master;
    std::uint32_t size = 0x20000;    // bytes of data from address 0; at most 0x20000
    std::uint32_t recordBytes = 16;  // data bytes per record, 1..250
    FwOrder order = FwOrder::Ascending;
    std::uint32_t seed = 1;
    std::uint8_t bootVersion = 0x02;  // Master: byte at 0x4003
    FwRecordTypes types = FwRecordTypes::Auto;
    bool lowerCase = false;
    bool crlf = false;
    bool gaps = false;  // leave out about one record in eight (never the signature or the last)
};

inline constexpr std::uint32_t kMasterSignatureAt = 0x4000;
inline constexpr std::uint32_t kSlaveSignatureAt = 0x10000;

// Empty when the recipe is not possible (size out of range, signature outside the image,
// record size out of range); error then says why.
struct Firmware {
    std::vector<std::uint8_t> image;  // what the S-records convert to: gaps 0xFF, length a
                                      // multiple of 64
    std::string mot;                  // S0 header, data records, S9
};

bool MakeFirmware(const FirmwareRecipe& recipe, Firmware& firmware, std::string& error);
