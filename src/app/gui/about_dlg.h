// The About box: icon, version line and a notice.
#pragma once

#include <QDialog>

class QLabel;

class CAboutDlg : public QDialog {
public:
    explicit CAboutDlg(QWidget* parent = nullptr);

    QLabel* m_staticVersion;  // the version line, plain text
    QLabel* m_staticNotice;
};
