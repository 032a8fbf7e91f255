// What the flash tests share: a JobUi that records, fast link timing, files.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include "common/job_ui.h"
#include "fast_timing.h"
#include "private_data_home.h"
#include "protocol/boot_link.h"

using Bytes = std::vector<std::uint8_t>;

struct ShownMessage {
    std::string text;
    std::string caption;
    MsgIcon icon;
};

// Records every effect in order; "busy", "idle", "msg:<text>", "start", "progress:<text>",
// "finish:<ok>".
class RecordingUi : public JobUi {
public:
    void ShowMessage(const std::string& text, const std::string& caption, MsgIcon icon) override {
        std::lock_guard lock(m_mutex);
        messages.push_back({text, caption, icon});
        events.push_back("msg:" + text);
    }
    void SetBusy(bool busy) override {
        std::lock_guard lock(m_mutex);
        events.push_back(busy ? "busy" : "idle");
    }
    void TransferStarted(std::uint32_t total) override {
        std::lock_guard lock(m_mutex);
        events.push_back("start:" + std::to_string(total));
    }
    void TransferProgressed(const TransferProgress& p) override {
        std::lock_guard lock(m_mutex);
        progress.push_back(p.text);
        lastSent = p.sent;
    }
    void TransferFinished(bool ok) override {
        std::lock_guard lock(m_mutex);
        events.push_back(ok ? "finish:ok" : "finish:failed");
    }

    void Reset() {
        std::lock_guard lock(m_mutex);
        messages.clear();
        events.clear();
        progress.clear();
        lastSent = 0;
    }

    std::vector<ShownMessage> messages;
    std::vector<std::string> events;
    std::vector<std::string> progress;
    std::uint32_t lastSent = 0;

private:
    std::mutex m_mutex;
};

inline void WriteFile(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}
inline void WriteFile(const std::filesystem::path& path, const Bytes& bytes) {
    WriteFile(path, std::string(bytes.begin(), bytes.end()));
}
inline Bytes ReadBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
