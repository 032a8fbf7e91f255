// quillon-mkfw: writes a deterministic sample firmware file for demos, tests and benchmarks.
#include <CLI/CLI.hpp>
#include <fstream>
#include <iostream>
#include <string>

#include "common/build_info.h"
#include "firmware_gen.h"

int main(int argc, char** argv) {
    CLI::App app{
        "quillon-mkfw: writes a sample firmware file. The image holds pseudo-random bytes from "
        "address 0 (the same seed gives the same file) and the target's signature: Master "
        "30 64 00 V at 0x4000 (V = --boot-version), Slave 60 49 00 01 at 0x10000. "
        "--format bin writes exactly what the S-record form converts to (gaps 0xFF, length "
        "rounded up to 64)."};
    FirmwareRecipe recipe;
    std::string out;
    std::string format = "mot";
    bool s2 = false;
    bool mixed = false;

    std::string target = "master";
    std::string order = "asc";
    app.set_version_flag("--version", QuillonVersionLine("quillon-mkfw"));
    app.add_option("OUT", out, "file to write ('-' for standard output)")->required();
    app.add_option("--target", target, "master (default), slave, or none (no signature)")
        ->check(CLI::IsMember({"master", "slave", "none"}));
    app.add_option("--format", format, "mot (default): S-records; bin: flat image")
        ->check(CLI::IsMember({"mot", "bin"}));
    app.add_option("--size", recipe.size,
                   "bytes of data from address 0, 1..0x20000 (default 0x20000)");
    app.add_option("--record-bytes", recipe.recordBytes,
                   "data bytes per record, 1..250, usually 16, 32 or 64 (default 16)");
    app.add_option("--order", order, "record order: asc (default), desc, shuffle")
        ->check(CLI::IsMember({"asc", "desc", "shuffle"}));
    app.add_option("--seed", recipe.seed, "seed of the contents, shuffle and gaps (default 1)");
    app.add_option("--boot-version", recipe.bootVersion,
                   "Master: bootloader version byte at 0x4003 (default 2)");
    app.add_flag("--s2", s2, "S2 records everywhere (default: S1 below 0x10000, S2 above)");
    app.add_flag("--mixed", mixed, "S1 or S2 at random below 0x10000");
    app.add_flag("--lower", recipe.lowerCase, "lower-case hexadecimal");
    app.add_flag("--crlf", recipe.crlf, "CR LF line ends");
    app.add_flag("--gaps", recipe.gaps,
                 "leave out about one record in eight (never the signature or the last one)");
    CLI11_PARSE(app, argc, argv);

    if (s2 && mixed) {
        std::cerr << "quillon-mkfw: --s2 and --mixed exclude each other\n";
        return 2;
    }
    recipe.target = target == "slave"  ? FwTarget::Slave
                    : target == "none" ? FwTarget::None
                                       : FwTarget::Master;
    recipe.order = order == "desc"      ? FwOrder::Descending
                   : order == "shuffle" ? FwOrder::Shuffled
                                        : FwOrder::Ascending;
    recipe.types = s2 ? FwRecordTypes::S2 : mixed ? FwRecordTypes::Mixed : FwRecordTypes::Auto;
    Firmware firmware;
    std::string error;
    if (!MakeFirmware(recipe, firmware, error)) {
        std::cerr << "quillon-mkfw: " << error << '\n';
        return 2;
    }
    const char* bytes = format == "bin" ? reinterpret_cast<const char*>(firmware.image.data())
                                        : firmware.mot.data();
    const std::size_t length = format == "bin" ? firmware.image.size() : firmware.mot.size();
    if (out == "-") {
        std::cout.write(bytes, static_cast<std::streamsize>(length));
        std::cout.flush();
        return std::cout ? 0 : 1;
    }
    std::ofstream file(out, std::ios::binary | std::ios::trunc);
    file.write(bytes, static_cast<std::streamsize>(length));
    file.close();
    if (!file) {
        std::cerr << "quillon-mkfw: cannot write " << out << '\n';
        return 1;
    }
    return 0;
}
