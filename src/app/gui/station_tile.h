// One slot of the station window: its port, the unit on it and its state in large type,
// green once the unit passed and red once it failed. It only renders the slot's view.
#pragma once

#include <QFrame>
#include <QString>

#include "app/station.h"

class QLabel;

class CStationTile : public QFrame {
public:
    explicit CStationTile(const QString& port, QWidget* parent = nullptr);

    void Show(const SlotView& view);

    // "waiting for a unit", "connecting…", "42 % · 0:17 left", "PASS" or "FAIL".
    static QString StateText(const SlotView& view);

    QLabel* m_labelPort;
    QLabel* m_labelUnit;
    QLabel* m_labelState;
    QLabel* m_labelEnding;  // a failure's ending: its message and detail
};
