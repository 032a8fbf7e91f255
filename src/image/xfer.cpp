#include "image/xfer.h"

#include <utility>

CXfer::CXfer(IMessageSink& sink, std::filesystem::path workDir)
    : m_sink(sink), m_workDir(std::move(workDir)) {}

// Conversion messages are the text alone with an OK button.
void CXfer::Show(const std::string& text) {
    m_sink.ShowMessage(text, std::string(), MsgIcon::None);
}
