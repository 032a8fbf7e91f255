#include "app/gui/path_edit.h"

#include <QPainter>
#include <QStyle>
#include <QStyleOptionFrame>

namespace {
const QString kEmptyTip = QStringLiteral("The firmware file to write (mot or bin)");
}

CPathEdit::CPathEdit(QWidget* parent) : QLineEdit(parent) {
    setToolTip(kEmptyTip);
    connect(this, &QLineEdit::textChanged, this,
            [this](const QString& text) { setToolTip(text.isEmpty() ? kEmptyTip : text); });
}

QRect CPathEdit::TextRect() const {
    QStyleOptionFrame option;
    initStyleOption(&option);
    // QLineEdit's own inner margin of 2 pixels each side.
    return style()
        ->subElementRect(QStyle::SE_LineEditContents, &option, this)
        .adjusted(2, 0, -2, 0);
}

QString CPathEdit::DisplayedText() const {
    if (hasFocus()) {
        return text();
    }
    return fontMetrics().elidedText(text(), Qt::ElideMiddle, TextRect().width());
}

void CPathEdit::paintEvent(QPaintEvent* event) {
    const QString shown = DisplayedText();
    if (hasFocus() || shown == text()) {
        QLineEdit::paintEvent(event);
        return;
    }
    QPainter painter(this);
    QStyleOptionFrame option;
    initStyleOption(&option);
    style()->drawPrimitive(QStyle::PE_PanelLineEdit, &option, &painter, this);
    painter.setPen(
        palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::Text));
    painter.drawText(TextRect(), Qt::AlignLeft | Qt::AlignVCenter, shown);
}
