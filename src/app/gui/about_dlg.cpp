#include "app/gui/about_dlg.h"

#include <QDialogButtonBox>
#include <QGridLayout>
#include <QIcon>
#include <QLabel>
#include <QPushButton>

#include "app/gui/dialog_units.h"
#include "app/gui/version.h"
#include "common/build_info.h"

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
    m_staticBuild =
        new QLabel(QStringLiteral("Version %1, build %2")
                       .arg(QString::fromUtf8(QuillonVersion()), QString::fromUtf8(QuillonBuild())),
                   this);
    m_staticQt =
        new QLabel(QStringLiteral("Qt %1 (built with %2)")
                       .arg(QString::fromLatin1(qVersion()), QStringLiteral(QT_VERSION_STR)),
                   this);
    m_staticLicence = new QLabel(
        QStringLiteral("Qt is used under the GNU Lesser General Public License v3."), this);
    for (QLabel* label : {m_staticBuild, m_staticQt, m_staticLicence}) {
        label->setTextFormat(Qt::PlainText);
        label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    }

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
    grid->addWidget(m_staticBuild, 2, 1);
    grid->addWidget(m_staticQt, 3, 1);
    grid->addWidget(m_staticLicence, 4, 1);
    grid->addWidget(ok, 0, 2, Qt::AlignTop);
    grid->setColumnStretch(1, 1);
    grid->setSizeConstraint(QLayout::SetFixedSize);
}
