// Converts the dialog-unit layout of the windows into pixels for the current font, the way
// the platform's dialog manager does, so proportions hold at any font size or scale.
#pragma once

#include <QFontMetrics>
#include <QWidget>

class CDialogUnits {
public:
    explicit CDialogUnits(const QWidget& widget) {
        const QFontMetrics fm(widget.font());
        // Average width of the 52 letters, rounded, like the dialog manager's base unit.
        const int letters = fm.horizontalAdvance(
            QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
        m_baseX = qMax(1, (letters / 26 + 1) / 2);
        m_baseY = qMax(1, fm.height());
    }

    int X(int dlu) const { return (dlu * m_baseX + 2) / 4; }
    int Y(int dlu) const { return (dlu * m_baseY + 4) / 8; }

private:
    int m_baseX;
    int m_baseY;
};
