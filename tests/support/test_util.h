// Helpers shared by the test programs: files, S-records, a message sink that records.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "common/job_ui.h"
#include "image/work_dir.h"

namespace fs = std::filesystem;

// Records every message with its caption and icon.
class RecordingSink : public IMessageSink {
public:
    struct Message {
        std::string text;
        std::string caption;
        MsgIcon icon;
    };
    void ShowMessage(const std::string& text, const std::string& caption, MsgIcon icon) override {
        messages.push_back({text, caption, icon});
    }
    std::vector<Message> messages;
};

// A fresh private folder (its canonical path), removed with its contents.
class ScratchDir {
public:
    ScratchDir() : m_path(fs::canonical(m_dir.Path())) {}
    ~ScratchDir();  // gives the owner its rights back first, where a test took them
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const fs::path& Path() const { return m_path; }
    fs::path operator/(const std::string& name) const { return m_path / name; }

private:
    CWorkDir m_dir;
    fs::path m_path;
};

// Creates the folders on the way.
void WriteFile(const fs::path& path, const std::string& bytes);
std::string ReadFile(const fs::path& path);
// Names of the regular files in a folder, sorted.
std::vector<std::string> FilesIn(const fs::path& dir);

// One S-record line with a correct byte count and checksum ("S1": 16-bit address, "S2":
// 24-bit), upper-case hex, no line end.
std::string Rec(const std::string& type, std::uint32_t address,
                const std::vector<std::uint8_t>& data);
std::string Bytes(std::initializer_list<int> values);
