// The firmware summary under the file box: what "Flash!" would send, checked as the run
// checks it, on a worker thread so that a large .mot never holds the window.
#include <QCoreApplication>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QThreadPool>
#include <QTimer>

#include "app/firmware_image.h"
#include "app/gui/main_dlg.h"

void CQuillon2Dlg::SetupSummary() {
    m_labelSummary = new QLabel(this);
    m_labelSummary->setTextFormat(Qt::PlainText);  // a path is shown as it is
    m_labelSummary->setWordWrap(true);
    m_labelSummary->setAccessibleName(QStringLiteral("Firmware summary"));
    m_summaryTimer = new QTimer(this);
    m_summaryTimer->setSingleShot(true);
    m_summaryTimer->setInterval(250);  // typing a path checks once, at its end
    connect(m_summaryTimer, &QTimer::timeout, this, [this] { StartSummary(); });
    connect(m_editFile, &QLineEdit::textChanged, this, [this] {
        ++m_nSummary;  // what is shown no longer belongs to the box
        m_labelSummary->clear();
        m_summaryTimer->start();
    });
}

void CQuillon2Dlg::StartSummary() {
    const QString path = m_editFile->text();
    const unsigned generation = ++m_nSummary;
    if (!QFileInfo(path).isFile()) {
        return;  // a path being typed says nothing yet
    }
    QPointer<CQuillon2Dlg> self(this);
    QThreadPool::globalInstance()->start([self, generation, local = ToLocalPath(path)] {
        const FirmwareSummary summary = SummarizeFirmware(local);
        // The application outlives the window; the pointer tells whether the window still exists.
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [self, generation, text = QString::fromStdString(summary.text)] {
                if (self && generation == self->m_nSummary) {
                    self->m_labelSummary->setText(text);
                }
            },
            Qt::QueuedConnection);
    });
}
