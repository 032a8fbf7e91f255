// The "Programming..." window: a view of the data phase. The transfer itself runs on the
// flash worker; this window only shows "N %" and the bar, and cannot be closed by the user.
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
    void Progress(const TransferProgress& progress);
    // Closes the window for good; the only way it goes away.
    void Finish(bool ok);

    QLabel* m_staticPercent;
    QProgressBar* m_progress;

public slots:
    void reject() override;  // Escape: ignored while the transfer runs

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    bool m_bFinished = false;
    std::uint32_t m_nTotal = 0;
};
