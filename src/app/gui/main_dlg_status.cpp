// The status line under "Flash!": which handshake step runs and for how long, with Cancel
// while nothing has been written; after a failure that asks for a pause, the seconds left.
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QTimer>

#include "app/gui/main_dlg.h"
#include "app/progress_figures.h"

namespace {

constexpr int kRetryWaitSeconds = 40;

}  // namespace

void CQuillon2Dlg::SetupStatus(QHBoxLayout* buttons) {
    m_btnCancel = new QPushButton(QStringLiteral("Cancel"), this);
    m_btnCancel->setAutoDefault(false);
    m_btnCancel->setToolTip(
        QStringLiteral("Stop the run: possible until the first firmware block is sent"));
    m_btnCancel->hide();
    m_labelStatus = new QLabel(this);
    m_labelStatus->setTextFormat(Qt::PlainText);
    m_labelStatus->setAccessibleName(QStringLiteral("Run status"));
    m_labelStatus->setWordWrap(true);  // a long ending wraps rather than widening the window
    buttons->addWidget(m_btnCancel);
    buttons->addStretch(1);
    m_statusTimer = new QTimer(this);
    m_statusTimer->setInterval(100);
    connect(m_statusTimer, &QTimer::timeout, this, [this] { UpdateStatus(); });
    connect(m_btnCancel, &QPushButton::clicked, this, [this] { OnCancel(); });
}

void CQuillon2Dlg::OnRunStarted() {
    m_runClock.start();
    m_retryClock.invalidate();
    m_strStep = QStringLiteral("Starting");
    m_bTransferring = false;
    m_nSecondsLeft = -1;
    m_btnCancel->setEnabled(true);
    m_btnCancel->show();
    m_statusTimer->start();
    UpdateStatus();
}

void CQuillon2Dlg::OnHandshakeStep(const QString& step) {
    if (m_bRunning && !m_bTransferring) {
        m_strStep = step;
        UpdateStatus();
    }
}

void CQuillon2Dlg::OnTransferStarted() {
    // Data flows: a stop now would leave the inverter without firmware.
    m_bTransferring = true;
    m_strStep.clear();
    m_btnCancel->hide();
    UpdateStatus();
}

void CQuillon2Dlg::OnTransferProgressed(const TransferProgress& progress) {
    const ProgressFigures figures = ComputeProgressFigures(progress);
    m_nSecondsLeft = figures.known ? figures.secondsLeft : -1;
}

void CQuillon2Dlg::OnCancel() {
    if (m_runStop && m_btnCancel->isVisible() && m_btnCancel->isEnabled()) {
        m_runStop->RequestStop(kStopByUser);
        m_btnCancel->setEnabled(false);
        m_strStep = QStringLiteral("Cancelling");
        UpdateStatus();
    }
}

void CQuillon2Dlg::OnRunEnded(bool stopped, bool retry, const QString& detail) {
    m_bTransferring = false;
    m_strStep.clear();
    m_btnCancel->hide();
    QString text;
    if (stopped && !detail.isEmpty()) {
        text = detail.left(1).toUpper() + detail.mid(1) + QLatin1Char('.');
    }
    m_labelStatus->setText(text);
    if (retry) {
        m_retryClock.start();
    }
    if (!m_retryClock.isValid()) {
        m_statusTimer->stop();
    }
    UpdateStatus();
}

void CQuillon2Dlg::UpdateStatus() {
    if (!m_strStep.isEmpty()) {
        m_labelStatus->setText(QStringLiteral("%1 \u00B7 %2 s")
                                   .arg(m_strStep)
                                   .arg(double(m_runClock.elapsed()) / 1000.0, 0, 'f', 1));
    } else if (m_bTransferring) {
        m_labelStatus->clear();  // the progress window says how far it got
    } else if (m_retryClock.isValid()) {
        const qint64 left = kRetryWaitSeconds - m_retryClock.elapsed() / 1000;
        if (left > 0) {
            // Advice only: the button stays usable, the unit may have been power-cycled.
            m_labelStatus->setText(QStringLiteral("Try again in %1 s").arg(left));
        } else {
            m_retryClock.invalidate();
            m_labelStatus->clear();
            m_statusTimer->stop();
        }
    }
}

QString CQuillon2Dlg::CloseRefusal() const {
    if (m_bTransferring) {
        QString text = QStringLiteral(
            "Firmware is being written; stopping now would leave the inverter without firmware.");
        if (m_nSecondsLeft >= 0) {
            text += QStringLiteral(" About %1 s left.").arg(qMax(m_nSecondsLeft, 1));
        }
        return text;
    }
    if (m_btnCancel->isVisible()) {
        return QStringLiteral(
            "The inverter is being prepared for writing. Press Cancel to stop, then close the "
            "window.");
    }
    return {};
}
