#include "app/gui/program_dlg.h"

#include <QCloseEvent>
#include <QGridLayout>
#include <QIcon>
#include <QLabel>
#include <QProgressBar>
#include <algorithm>
#include <limits>

#include "app/gui/dialog_units.h"
#include "app/gui/version.h"
#include "app/progress_figures.h"

namespace {
// The bar's range is an int; images beyond that are scaled so the bar still reaches its end.
int BarValue(std::uint32_t value, std::uint32_t total) {
    constexpr auto kMax = static_cast<std::uint32_t>(std::numeric_limits<int>::max());
    if (total <= kMax) {
        return static_cast<int>(std::min(value, total));
    }
    return static_cast<int>(static_cast<std::uint64_t>(std::min(value, total)) * kMax / total);
}

QString FiguresText(const TransferProgress& progress) {
    const ProgressFigures figures = ComputeProgressFigures(progress);
    return QStringLiteral("%1 of %2 bytes, %3, %4")
        .arg(progress.sent)
        .arg(progress.total)
        .arg(QString::fromStdString(FormatRate(figures)),
             QString::fromStdString(FormatTimeLeft(figures)));
}
}  // namespace

CProgramDlg::CProgramDlg(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint) {
    setWindowTitle(QStringLiteral("Programming..."));
    const QIcon icon = QuillonIcon();
    setWindowIcon(icon);
    setModal(true);

    const CDialogUnits du(*this);
    auto* iconLabel = new QLabel(this);
    const int iconSize = qMax(32, du.X(20));
    iconLabel->setPixmap(icon.pixmap(iconSize, iconSize));
    iconLabel->setFixedSize(iconSize, iconSize);

    m_staticPercent = new QLabel(QStringLiteral("0 %"), this);
    m_staticPercent->setTextFormat(Qt::PlainText);
    m_staticPercent->setMinimumWidth(du.X(42));

    m_staticFigures = new QLabel(this);
    m_staticFigures->setTextFormat(Qt::PlainText);
    m_staticJob = new QLabel(this);
    m_staticJob->setTextFormat(Qt::PlainText);
    m_staticTrace = new QLabel(this);
    m_staticTrace->setTextFormat(Qt::PlainText);
    m_staticTrace->hide();
    // Room for a 128 KiB image's figures without the window growing as they change.
    m_staticFigures->setMinimumWidth(m_staticFigures->fontMetrics().horizontalAdvance(
        QStringLiteral("131072 of 131072 bytes, 9999 B/s, 99:59 left")));

    m_progress = new QProgressBar(this);
    m_progress->setTextVisible(false);
    m_progress->setRange(0, 100);
    m_progress->setValue(0);
    m_progress->setMinimumWidth(du.X(116));
    m_progress->setFixedHeight(qMax(du.Y(8), 12));

    // Icon at the left with the percentage, the figures and the job beside it, the bar across
    // the bottom.
    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(du.X(19), du.Y(14), du.X(19), du.Y(14));
    grid->setHorizontalSpacing(du.X(20));
    grid->setVerticalSpacing(du.Y(3));
    grid->addWidget(iconLabel, 0, 0, 3, 1, Qt::AlignLeft | Qt::AlignVCenter);
    grid->addWidget(m_staticPercent, 0, 1, Qt::AlignLeft | Qt::AlignVCenter);
    grid->addWidget(m_staticFigures, 1, 1, Qt::AlignLeft | Qt::AlignVCenter);
    grid->addWidget(m_staticJob, 2, 1, Qt::AlignLeft | Qt::AlignVCenter);
    grid->addWidget(m_staticTrace, 5, 0, 1, 3, Qt::AlignLeft | Qt::AlignVCenter);
    grid->setRowMinimumHeight(3, du.Y(4));
    grid->addWidget(m_progress, 4, 0, 1, 3);
    grid->setColumnStretch(2, 1);
    grid->setSizeConstraint(QLayout::SetFixedSize);
}

void CProgramDlg::Start(std::uint32_t total) {
    m_nTotal = total;
    m_bFinished = false;
    m_progress->setRange(0, BarValue(total, total));
    m_progress->setValue(0);
    m_staticPercent->setText(QStringLiteral("0 %"));
    TransferProgress none;
    none.total = total;
    m_staticFigures->setText(FiguresText(none));
    show();
}

void CProgramDlg::SetJob(const QString& fileName, const QString& portText, const QString& portName,
                         const QString& trace) {
    const QString text = QStringLiteral("%1 on %2").arg(fileName, portText);
    m_staticJob->setToolTip(QStringLiteral("%1 on %2").arg(fileName, portName));
    m_staticJob->setText(m_staticJob->fontMetrics().elidedText(text, Qt::ElideMiddle,
                                                               m_staticFigures->minimumWidth()));
    const QString traced = QStringLiteral("Wire trace: %1").arg(trace);
    m_staticTrace->setToolTip(traced);
    m_staticTrace->setText(m_staticTrace->fontMetrics().elidedText(
        traced, Qt::ElideMiddle, m_staticFigures->minimumWidth()));
    m_staticTrace->setVisible(!trace.isEmpty());
}

void CProgramDlg::Progress(const TransferProgress& progress) {
    m_staticPercent->setText(QString::fromStdString(progress.text));
    m_staticFigures->setText(FiguresText(progress));
    m_progress->setValue(BarValue(progress.sent, m_nTotal));
}

void CProgramDlg::Finish(bool ok) {
    m_bFinished = true;
    done(ok ? QDialog::Accepted : QDialog::Rejected);
}

void CProgramDlg::reject() {
    if (m_bFinished) {
        QDialog::reject();
    }
}

void CProgramDlg::closeEvent(QCloseEvent* event) {
    if (m_bFinished) {
        QDialog::closeEvent(event);
    } else {
        event->ignore();
    }
}
