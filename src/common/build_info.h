// The version and build of this program, for --version and the About box.
#pragma once

#include <string>

// The project's version, e.g. "1.0.18".
const char* QuillonVersion();
// Which source the program was built from: `git describe` at build time, or "unknown".
const char* QuillonBuild();
// The --version line: "PROGRAM VERSION (build BUILD)".
std::string QuillonVersionLine(const std::string& program);
