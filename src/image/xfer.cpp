#include "image/xfer.h"

#include <utility>

CXfer::CXfer(IMessageSink& sink, std::filesystem::path workDir)
    : m_sink(sink), m_workDir(std::move(workDir)) {}

// Conversion messages are the text alone with an OK button.
void CXfer::Show(const std::string& text) {
    m_sink.ShowMessage(text, std::string(), MsgIcon::None);
}

// They show the sorted records: once those change, each waits for its stage again.
void CXfer::ClearLineLists() {
    m_listLines.SetBuilt(false);
    m_listMerged.SetBuilt(false);
    m_listImage.SetBuilt(false);
}
