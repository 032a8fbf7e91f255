#include "firmware_gen.h"

#include <random>

namespace {

struct Record {
    std::uint32_t address;
    std::uint32_t length;
    bool s2;
};

void AppendHexByte(std::string& out, unsigned value, bool lower) {
    const char* digits = lower ? "0123456789abcdef" : "0123456789ABCDEF";
    out.push_back(digits[(value >> 4) & 0xF]);
    out.push_back(digits[value & 0xF]);
}

// One S-record line: type, count, address bytes, data, checksum.
void AppendLine(std::string& out, const char* type, std::uint32_t address, int addressBytes,
                const std::uint8_t* data, std::uint32_t length, const FirmwareRecipe& recipe) {
    const unsigned count = static_cast<unsigned>(addressBytes) + length + 1;
    unsigned sum = count;
    out += type;
    AppendHexByte(out, count, recipe.lowerCase);
    for (int i = addressBytes - 1; i >= 0; --i) {
        const unsigned byte = (address >> (8 * i)) & 0xFF;
        sum += byte;
        AppendHexByte(out, byte, recipe.lowerCase);
    }
    for (std::uint32_t i = 0; i < length; ++i) {
        sum += data[i];
        AppendHexByte(out, data[i], recipe.lowerCase);
    }
    AppendHexByte(out, ~sum & 0xFF, recipe.lowerCase);
    out += recipe.crlf ? "\r\n" : "\n";
}

bool Overlaps(const Record& r, std::uint32_t from, std::uint32_t to) {
    return r.address < to && from < r.address + r.length;
}

}  // namespace

bool MakeFirmware(const FirmwareRecipe& recipe, Firmware& firmware, std::string& error) {
    firmware = Firmware();
    if (recipe.size == 0 || recipe.size > 0x20000) {
        error = "size must be 1 to 0x20000 bytes";
        return false;
    }
    if (recipe.recordBytes < 1 || recipe.recordBytes > 250) {
        error = "record size must be 1 to 250 bytes";
        return false;
    }
    std::uint32_t signatureAt = 0;
    std::vector<std::uint8_t> signature;
    if (recipe.target == FwTarget::Master) {
        signatureAt = kMasterSignatureAt;
        signature = {0x30, 0x64, 0x00, recipe.bootVersion};
    } else if (recipe.target == FwTarget::Slave) {
        signatureAt = kSlaveSignatureAt;
        signature = {0x60, 0x49, 0x00, 0x01};
    }
    if (!signature.empty() && recipe.size < signatureAt + signature.size()) {
        error = "the image is too small to hold the signature";
        return false;
    }

    // mt19937 is specified exactly, so one seed gives the same file everywhere; only its raw
    // output is used (the standard distributions differ between libraries).
    std::mt19937 random(recipe.seed);
    std::vector<std::uint8_t> data(recipe.size);
    for (auto& byte : data) {
        byte = static_cast<std::uint8_t>(random() >> 24);
    }
    for (std::size_t i = 0; i < signature.size(); ++i) {
        data[signatureAt + i] = signature[i];
    }

    // Records are cut at multiples of the record size and at 0x10000, where S1 ends.
    std::vector<Record> records;
    for (std::uint32_t address = 0; address < recipe.size;) {
        std::uint32_t end = (address / recipe.recordBytes + 1) * recipe.recordBytes;
        if (address < 0x10000 && end > 0x10000) {
            end = 0x10000;
        }
        if (end > recipe.size) {
            end = recipe.size;
        }
        bool s2 = address >= 0x10000 || recipe.types == FwRecordTypes::S2;
        if (!s2 && recipe.types == FwRecordTypes::Mixed) {
            s2 = (random() & 1) != 0;
        }
        records.push_back({address, end - address, s2});
        address = end;
    }
    if (recipe.gaps) {
        std::vector<Record> kept;
        for (std::size_t i = 0; i < records.size(); ++i) {
            const bool keep =
                i + 1 == records.size() ||
                (!signature.empty() &&
                 Overlaps(records[i], signatureAt,
                          signatureAt + static_cast<std::uint32_t>(signature.size()))) ||
                random() % 8 != 0;
            if (keep) {
                kept.push_back(records[i]);
            }
        }
        records.swap(kept);
    }

    // The image the records convert to: gaps 0xFF, rounded up to 64 bytes.
    const std::uint32_t imageLength = (recipe.size + 63) / 64 * 64;
    firmware.image.assign(imageLength, 0xFF);
    for (const Record& r : records) {
        for (std::uint32_t i = 0; i < r.length; ++i) {
            firmware.image[r.address + i] = data[r.address + i];
        }
    }

    if (recipe.order == FwOrder::Descending) {
        std::vector<Record> reversed(records.rbegin(), records.rend());
        records.swap(reversed);
    } else if (recipe.order == FwOrder::Shuffled) {
        for (std::size_t i = records.size(); i > 1; --i) {
            std::swap(records[i - 1], records[random() % i]);
        }
    }

    std::string& mot = firmware.mot;
    mot.reserve(records.size() * (recipe.recordBytes * 2 + 16) + 64);
    static const std::uint8_t kHeader[] = {'q', 'u', 'i', 'l', 'l', 'o',
                                           'n', '-', 'm', 'k', 'f', 'w'};
    AppendLine(mot, "S0", 0, 2, kHeader, sizeof kHeader, recipe);
    for (const Record& r : records) {
        AppendLine(mot, r.s2 ? "S2" : "S1", r.address, r.s2 ? 3 : 2, &data[r.address], r.length,
                   recipe);
    }
    AppendLine(mot, "S9", 0, 2, nullptr, 0, recipe);
    return true;
}
