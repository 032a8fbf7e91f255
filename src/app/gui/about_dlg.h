// The About box: icon, version line, a notice, then the version and build, the Qt version
// and the licence line.
#pragma once

#include <QDialog>

class QLabel;

class CAboutDlg : public QDialog {
public:
    explicit CAboutDlg(QWidget* parent = nullptr);

    QLabel* m_staticVersion;  // the version line, plain text
    QLabel* m_staticNotice;
    QLabel* m_staticBuild;  // "Version 1.0.18, build <git describe>"
    QLabel* m_staticQt;     // the Qt the program runs with, and the one it was built with
    QLabel* m_staticLicence;
};
