#include "common/build_info.h"

#include "quillon_build_info.h"  // generated in the build folder

const char* QuillonVersion() {
    return QUILLON_VERSION_TEXT;
}

const char* QuillonBuild() {
    return QUILLON_BUILD_TEXT;
}

std::string QuillonVersionLine(const std::string& program) {
    return program + " " + QuillonVersion() + " (build " + QuillonBuild() + ")";
}
