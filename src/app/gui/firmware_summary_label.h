// The firmware summary under a file box: what a run would send, checked as the run checks
// it, on a worker thread so that a large .mot never holds the window.
#pragma once

#include <QLabel>

class QLineEdit;
class QTimer;

class CFirmwareSummaryLabel : public QLabel {
public:
    // Follows file's text: cleared when it changes, filled once the path names a file.
    CFirmwareSummaryLabel(QLineEdit* file, QWidget* parent);

    // Shows text until the path changes again; a check still running never replaces it.
    void Show(const QString& text);

private:
    void StartCheck();

    QLineEdit* m_file;
    QTimer* m_timer;
    unsigned m_generation = 0;  // the newest check; an older one's answer is dropped
};
