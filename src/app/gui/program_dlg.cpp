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

namespace {
// The bar's range is an int; images beyond that are scaled so the bar still reaches its end.
int BarValue(std::uint32_t value, std::uint32_t total) {
    constexpr auto kMax = static_cast<std::uint32_t>(std::numeric_limits<int>::max());
    if (total <= kMax) {
        return static_cast<int>(std::min(value, total));
    }
    return static_cast<int>(static_cast<std::uint64_t>(std::min(value, total)) * kMax / total);
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

    m_progress = new QProgressBar(this);
    m_progress->setTextVisible(false);
    m_progress->setRange(0, 100);
    m_progress->setValue(0);
    m_progress->setMinimumWidth(du.X(116));
    m_progress->setFixedHeight(qMax(du.Y(8), 12));

    // Icon at the left with the percentage beside it, the bar across the bottom.
    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(du.X(19), du.Y(14), du.X(19), du.Y(14));
    grid->setHorizontalSpacing(du.X(20));
    grid->setVerticalSpacing(du.Y(6));
    grid->addWidget(iconLabel, 0, 0, Qt::AlignLeft | Qt::AlignVCenter);
    grid->addWidget(m_staticPercent, 0, 1, Qt::AlignLeft | Qt::AlignVCenter);
    grid->addWidget(m_progress, 1, 0, 1, 3);
    grid->setColumnStretch(2, 1);
    grid->setSizeConstraint(QLayout::SetFixedSize);
}

void CProgramDlg::Start(std::uint32_t total) {
    m_nTotal = total;
    m_bFinished = false;
    m_progress->setRange(0, BarValue(total, total));
    m_progress->setValue(0);
    m_staticPercent->setText(QStringLiteral("0 %"));
    show();
}

void CProgramDlg::Progress(const TransferProgress& progress) {
    m_staticPercent->setText(QString::fromStdString(progress.text));
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
