#include "app/gui/station_tile.h"

#include <QLabel>
#include <QVBoxLayout>

#include "app/progress_figures.h"

namespace {
const QColor kPassColor(0x2e, 0x7d, 0x32);
const QColor kFailColor(0xc6, 0x28, 0x28);

QLabel* PlainLabel(QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setTextFormat(Qt::PlainText);  // port names and serials are shown as they are
    label->setAlignment(Qt::AlignCenter);
    return label;
}
}  // namespace

CStationTile::CStationTile(const QString& port, QWidget* parent) : QFrame(parent) {
    setFrameShape(QFrame::StyledPanel);
    setAutoFillBackground(true);
    setMinimumSize(240, 150);
    m_labelPort = PlainLabel(this);
    m_labelUnit = PlainLabel(this);
    m_labelState = PlainLabel(this);
    m_labelEnding = PlainLabel(this);
    m_labelPort->setText(port);
    m_labelPort->setToolTip(port);
    m_labelEnding->setWordWrap(true);
    QFont big = m_labelState->font();
    big.setBold(true);
    big.setPointSizeF(big.pointSizeF() * 2.5);
    m_labelState->setFont(big);
    QFont medium = m_labelUnit->font();
    medium.setPointSizeF(medium.pointSizeF() * 1.4);
    m_labelUnit->setFont(medium);
    auto* column = new QVBoxLayout(this);
    column->addWidget(m_labelPort);
    column->addWidget(m_labelUnit);
    column->addWidget(m_labelState, 1);
    column->addWidget(m_labelEnding);
    Show(SlotView{});
}

QString CStationTile::StateText(const SlotView& view) {
    switch (view.state) {
        case SlotState::Waiting:
            return QStringLiteral("waiting for a unit");
        case SlotState::Connecting:
            return QStringLiteral("connecting…");
        case SlotState::Transferring: {
            const ProgressFigures figures = ComputeProgressFigures(view.progress);
            return QString::fromStdString(view.progress.text + " · " + FormatTimeLeft(figures));
        }
        case SlotState::Passed:
            return QStringLiteral("PASS");
        case SlotState::Failed:
            return QStringLiteral("FAIL");
    }
    return {};
}

void CStationTile::Show(const SlotView& view) {
    // A long serial must not stretch the tile: it is elided, the whole of it in the tooltip.
    const QString unit = QString::fromStdString(view.unit);
    m_labelUnit->setText(
        m_labelUnit->fontMetrics().elidedText(unit, Qt::ElideMiddle, qMax(width() - 20, 200)));
    m_labelUnit->setToolTip(unit);
    m_labelState->setText(StateText(view));
    const bool ended = view.state == SlotState::Passed || view.state == SlotState::Failed;
    m_labelEnding->setText(view.state == SlotState::Failed ? QString::fromStdString(view.ending)
                                                           : QString());
    QPalette colors = parentWidget() != nullptr ? parentWidget()->palette() : QPalette();
    if (ended) {
        const QColor back = view.state == SlotState::Passed ? kPassColor : kFailColor;
        colors.setColor(QPalette::Window, back);
        colors.setColor(QPalette::WindowText, Qt::white);
    }
    setPalette(colors);
}
