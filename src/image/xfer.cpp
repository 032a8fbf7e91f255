#include "image/xfer.h"

#include <utility>

CXfer::CXfer(IMessageSink& sink, std::filesystem::path workDir)
    : m_sink(sink), m_workDir(std::move(workDir)) {}

// Conversion messages are the text alone with an OK button.
void CXfer::Show(const std::string& text) {
    m_sink.ShowMessage(text, std::string(), MsgIcon::None);
}

void CXfer::ReleaseIfUnused(CArena& arena) {
    const bool usedA = !m_listRecords.empty() || !m_listLines.empty() || !m_listImage.empty();
    const bool usedB = !m_listSorted.empty() || !m_listUnordered.empty() || !m_listMerged.empty();
    if (!(&arena == &m_arenaA ? usedA : usedB)) {
        arena.Release();
    }
}

void CXfer::DropRecords() {
    m_listRecords.clear();
    ReleaseIfUnused(m_arenaA);
}

void CXfer::DropSortedAndUnordered() {
    m_listSorted.clear();
    m_listUnordered.clear();
    ReleaseIfUnused(m_arenaB);
}

void CXfer::DropLines() {
    m_listLines.clear();
    ReleaseIfUnused(m_arenaA);
}

void CXfer::DropMerged() {
    m_listMerged.clear();
    ReleaseIfUnused(m_arenaB);
}
