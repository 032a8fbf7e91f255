// Helpers shared by the conversion tests.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "common/job_ui.h"

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

// A fresh folder, removed with its contents.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const fs::path& Path() const { return m_path; }
    fs::path operator/(const std::string& name) const { return m_path / name; }

private:
    fs::path m_path;
};

void WriteFile(const fs::path& path, const std::string& bytes);
std::string ReadFile(const fs::path& path);
// Names of the regular files in a folder, sorted.
std::vector<std::string> FilesIn(const fs::path& dir);

// One S-record line with a correct byte count and checksum ("S1": 16-bit address, "S2":
// 24-bit), upper-case hex, no line end.
std::string Rec(const std::string& type, std::uint32_t address,
                const std::vector<std::uint8_t>& data);
std::string Bytes(std::initializer_list<int> values);
