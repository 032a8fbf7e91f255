// The "Programming..." window: a view of the data phase. The transfer itself runs on the
// flash worker; this window shows "N %", the bytes sent with rate and time left, the file and
// the port, and the bar, and cannot be closed by the user.
#pragma once

#include <QDialog>
#include <cstdint>

#include "common/job_ui.h"

class QLabel;
class QProgressBar;

class CProgramDlg : public QDialog {
public:
    explicit CProgramDlg(QWidget* parent = nullptr);

    void Start(std::uint32_t total);
    // Names the file and the port of the run, and its wire trace file when one is written.
    // portText: the port as the list shows it; portName, the full name, goes into the tooltip.
    void SetJob(const QString& fileName, const QString& portText, const QString& portName,
                const QString& trace = QString());
    void Progress(const TransferProgress& progress);
    // Closes the window for good; the only way it goes away.
    void Finish(bool ok);

    QLabel* m_staticPercent;
    QLabel* m_staticFigures;  // bytes of total, rate, time left
    QLabel* m_staticJob;      // file and port
    QLabel* m_staticTrace;    // the wire trace file; hidden when none
    QProgressBar* m_progress;

public slots:
    void reject() override;  // Escape: ignored while the transfer runs

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    bool m_bFinished = false;
    std::uint32_t m_nTotal = 0;
};
