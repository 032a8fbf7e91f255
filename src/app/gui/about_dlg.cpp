#include "app/gui/about_dlg.h"

#include <QDialogButtonBox>
#include <QGridLayout>
#include <QIcon>
#include <QLabel>
#include <QPushButton>

#include "app/gui/dialog_units.h"
#include "app/gui/version.h"

CAboutDlg::CAboutDlg(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint) {
    setWindowTitle(QStringLiteral("About Quillon"));
    const QIcon icon = QuillonIcon();
    setWindowIcon(icon);

    const CDialogUnits du(*this);
    auto* iconLabel = new QLabel(this);
    const int iconSize = qMax(32, du.X(20));
    iconLabel->setPixmap(icon.pixmap(iconSize, iconSize));
    iconLabel->setFixedSize(iconSize, iconSize);

    m_staticVersion = new QLabel(QuillonVersionText(), this);
    m_staticVersion->setTextFormat(Qt::PlainText);
    m_staticNotice =
        new QLabel(QStringLiteral("Firmware flasher for the inverter's controller"), this);
    m_staticNotice->setTextFormat(Qt::PlainText);

    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setDefault(true);
    ok->setMinimumWidth(du.X(50));
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);

    // Icon at the left, two text lines beside it, OK at the top right.
    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(du.X(11), du.Y(7), du.X(7), du.Y(10));
    grid->setHorizontalSpacing(du.X(9));
    grid->setVerticalSpacing(du.Y(7));
    grid->addWidget(iconLabel, 0, 0, 2, 1, Qt::AlignTop);
    grid->addWidget(m_staticVersion, 0, 1);
    grid->addWidget(m_staticNotice, 1, 1);
    grid->addWidget(ok, 0, 2, Qt::AlignTop);
    grid->setColumnStretch(1, 1);
    grid->setSizeConstraint(QLayout::SetFixedSize);
}
