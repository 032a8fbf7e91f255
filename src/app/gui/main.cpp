// quillon: the desktop application. It takes no options of its own; on Linux it answers
// --help and --version (for the manual page and packagers) before any window or display is
// needed.
#include <cstdio>
#include <cstring>

#include "app/gui/quillon_app.h"
#include "common/build_info.h"

int main(int argc, char** argv) {
#ifndef _WIN32
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::puts(QuillonVersionLine("quillon").c_str());
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        std::fputs(
            "Usage: quillon [--help | --version]\n"
            "\n"
            "The desktop application of Quillon: writes firmware into a solar inverter's\n"
            "controller through a serial port. Pick the port and the firmware file, then\n"
            "press \"Flash!\". It takes no other options.\n"
            "\n"
            "Options:\n"
            "  --help     print this help and exit\n"
            "  --version  print the version and build and exit\n",
            stdout);
        return 0;
    }
#endif
    CQuillon2App app(argc, argv);
    return app.InitInstance();
}
