// The firmware path box. A long path is shown elided in the middle while the box has no
// focus, so the file name stays in sight; the whole path is its tooltip and its text.
#pragma once

#include <QLineEdit>

class CPathEdit : public QLineEdit {
public:
    explicit CPathEdit(QWidget* parent = nullptr);

    // What the box shows while it has no focus.
    QString DisplayedText() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QRect TextRect() const;
};
