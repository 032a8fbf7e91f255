// The guard of one run: whatever way the run ends (a message, a stop, an exception), the
// progress window closes, the working files go and the port is closed, once, in one place.
#pragma once

#include <filesystem>
#include <optional>
#include <system_error>

#include "common/job_ui.h"
#include "image/work_dir.h"
#include "serial/line.h"

// Everything a run holds that must go whatever its ending: the progress window, the converted
// image and the private folder, the port, released in that order before the ending's message
// is shown (the device's port is free and no working file is left once the user reads it).
// Where the run's wire trace is, for the failure detail, or why the trace asked for is missing.
void AddTraceNote(std::string& detail, const RunTrace& trace, bool ok) {
    std::string note;
    if (!trace.error.empty()) {
        note = "No wire trace was written: " + trace.error + ".";
    } else if (!trace.file.empty() && !ok) {
        note = "The wire trace is in " + trace.file.string() + ".";
    }
    if (!note.empty()) {
        detail += (detail.empty() ? "" : "\n") + note;
    }
}

class RunCleanup {
public:
    RunCleanup(ILine& line, JobUi& ui, const std::filesystem::path& workDir)
        : m_line(line), m_ui(ui), m_workDir(workDir) {}
    ~RunCleanup() { Release(); }
    RunCleanup(const RunCleanup&) = delete;
    RunCleanup& operator=(const RunCleanup&) = delete;

    // Null when no private folder can be made (TMPDIR missing or full).
    const std::filesystem::path* WorkDir() {
        if (!m_workDir.empty())
            return &m_workDir;
        if (!m_private) {
            try {
                m_private.emplace();
            } catch (const std::filesystem::filesystem_error&) {
                return nullptr;
            }
        }
        return &m_private->Path();
    }
    void ConvertedImage(const std::filesystem::path& tmpBin) { m_tmpBin = tmpBin; }
    void ProgressWindow(bool open) { m_progressOpen = open; }

    void Release() noexcept {
        if (m_progressOpen) {
            m_progressOpen = false;
            try {
                m_ui.TransferFinished(false);
            } catch (...) {  // the window's own failure must not keep the port open
            }
        }
        if (!m_tmpBin.empty()) {
            std::error_code ec;
            std::filesystem::remove(m_tmpBin, ec);
            m_tmpBin.clear();
        }
        m_private.reset();
        m_line.Close();
    }

private:
    ILine& m_line;
    JobUi& m_ui;
    std::filesystem::path m_workDir;  // a caller-given folder, left in place
    std::filesystem::path m_tmpBin;   // set once a conversion wrote it
    bool m_progressOpen = false;
    std::optional<CWorkDir> m_private;
};
