// The platform layer of the history file: where it lives, the locked append and the read.
// Both touch only a regular file of the history's own: a link is never followed (it could
// lead into another file or to a serial line) and a FIFO or a device is never waited on.
#pragma once

#include <filesystem>
#include <string>

// The user's application-data folder; empty when there is none.
std::filesystem::path ApplicationDataFolder();

// Appends line to file (which may not exist yet) under an exclusive lock and flushes it to the
// disk. A last line cut short by a crash first gets its line end. False, with the reason in
// error, when it could not.
bool AppendLocked(const std::filesystem::path& file, std::string line, std::string& error);

enum class ReadResult { Read, Missing, Failed };
// The whole of file in bytes; Failed, with the reason in error, for anything but a regular
// file that could be read.
ReadResult ReadRegularFile(const std::filesystem::path& file, std::string& bytes,
                           std::string& error);

// Why a path that is no regular file was refused.
inline constexpr const char* kNotRegularFile = "not a regular file (a link, a FIFO or a device)";
