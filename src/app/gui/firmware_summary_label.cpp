#include "app/gui/firmware_summary_label.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QLineEdit>
#include <QPointer>
#include <QThreadPool>
#include <QTimer>

#include "app/firmware_image.h"
#include "app/gui/main_dlg.h"

CFirmwareSummaryLabel::CFirmwareSummaryLabel(QLineEdit* file, QWidget* parent)
    : QLabel(parent), m_file(file), m_timer(new QTimer(this)) {
    setTextFormat(Qt::PlainText);  // a path is shown as it is
    setWordWrap(true);
    setTextInteractionFlags(Qt::TextSelectableByMouse);  // the SHA-256 can be copied
    setAccessibleName(QStringLiteral("Firmware summary"));
    m_timer->setSingleShot(true);
    m_timer->setInterval(250);  // typing a path checks once, at its end
    connect(m_timer, &QTimer::timeout, this, [this] { StartCheck(); });
    connect(m_file, &QLineEdit::textChanged, this, [this] {
        ++m_generation;  // what is shown no longer belongs to the box
        clear();
        m_timer->start();
    });
    StartCheck();
}

void CFirmwareSummaryLabel::Show(const QString& text) {
    ++m_generation;
    m_timer->stop();
    setText(text);
}

void CFirmwareSummaryLabel::StartCheck() {
    const QString path = m_file->text();
    const unsigned generation = ++m_generation;
    if (!QFileInfo(path).isFile()) {
        return;  // a path being typed says nothing yet
    }
    QPointer<CFirmwareSummaryLabel> self(this);
    QThreadPool::globalInstance()->start([self, generation, local = ToLocalPath(path)] {
        const FirmwareSummary summary = SummarizeFirmware(local);
        // The application outlives the label; the pointer tells whether the label still exists.
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [self, generation, text = QString::fromStdString(summary.text)] {
                if (self && generation == self->m_generation) {
                    self->setText(text);
                }
            },
            Qt::QueuedConnection);
    });
}
