// A JobUi that records what a run shows, for the tests of the run and the transfer.
#pragma once

#include <string>
#include <vector>

#include "common/job_ui.h"

class RecordingUi : public JobUi {
public:
    struct Message {
        std::string text;
        MsgIcon icon;
        std::string detail;
    };

    void ShowMessage(const std::string& text, const std::string& caption, MsgIcon icon) override {
        ShowDetailedMessage(text, caption, icon, {});
    }
    void ShowDetailedMessage(const std::string& text, const std::string& caption, MsgIcon icon,
                             const std::string& detail) override {
        messages.push_back({text, icon, detail});
        Add("msg:" + caption + ":" + text);
    }
    void SetBusy(bool busy) override { Add(busy ? "busy" : "idle"); }
    void TransferStarted(std::uint32_t total) override { Add("start:" + std::to_string(total)); }
    void TransferProgressed(const TransferProgress& p) override { progress.push_back(p.text); }
    void TransferFinished(bool ok) override { Add(ok ? "finish:ok" : "finish:failed"); }

    // Every effect but progress, in order, separated by spaces: "busy", "idle",
    // "msg:CAPTION:TEXT", "start:TOTAL", "finish:ok" or "finish:failed".
    const std::string& Events() const { return m_events; }

    std::vector<Message> messages;
    std::vector<std::string> progress;  // the "N %" texts

private:
    void Add(const std::string& event) { m_events += (m_events.empty() ? "" : " ") + event; }
    std::string m_events;
};
