// The platform layer of the history file: where it lives, and the locked append.
#pragma once

#include <filesystem>
#include <string>

// The user's application-data folder; empty when there is none.
std::filesystem::path ApplicationDataFolder();

// Appends line to file (which may not exist yet) under an exclusive lock and flushes it to the
// disk. A last line cut short by a crash first gets its line end. False, with the reason in
// error, when it could not.
bool AppendLocked(const std::filesystem::path& file, std::string line, std::string& error);
