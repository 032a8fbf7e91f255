// The Flash command and the message boxes of the main window: the checks before a run, the
// worker thread (which opens the port), the wire trace, and the boxes the run's messages become.
#include <QAction>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <exception>
#include <memory>
#include <string>

#include "app/flash_run.h"
#include "app/gui/app_settings.h"
#include "app/gui/com_port_combo.h"
#include "app/gui/main_dlg.h"
#include "app/gui/program_dlg.h"
#include "app/gui/qt_job_ui.h"
#include "app/session.h"
#include "app/trace_line.h"

void CQuillon2Dlg::Warn(const QString& text, const QString& detail) {
    if (m_messageBox) {
        m_messageBox(this, text, QString::fromUtf8(kCaptionWarning), MsgIcon::Warning, detail);
    }
}

void CQuillon2Dlg::OnFlash() {
    // One run at a time: the button is disabled during a run, but a click may already be
    // queued when it goes.
    if (!m_btnFlash->isEnabled()) {
        return;
    }
    m_strFilePath = m_editFile->text();
    // The kind is that of the file named in the box now, typed or picked.
    m_strFileExt = QFile::decodeName(FileExtension(ToLocalPath(m_strFilePath)).c_str());

    const FileCheck check = CheckFirmwareFile(ToLocalPath(m_strFilePath));
    if (!check.message.empty()) {
        Warn(QString::fromStdString(check.message));
        return;
    }
    m_nTargetType = check.targetType;
    RememberFirmwarePath(m_strFilePath);

    const std::string portName = m_comboPort->GetSelectedPortName();
    if (m_comboPort->count() > 0 && portName.empty()) {
        Warn(QStringLiteral("No COM port has been selected!"));
        return;
    }

    // Saved before the open, so a port that fails to open is still remembered.
    AppSettings::Set(AppSettings::kPort, QString::fromStdString(portName));

    FlashJob job;
    job.filePath = ToLocalPath(m_strFilePath);
    job.fileExt = ToLocalPath(m_strFileExt);
    job.targetType = m_nTargetType;
    job.frontEnd = "desktop";
    RunOptions options;
    options.timing = m_timing;
    m_strRunTrace = TraceFileForRun(portName);
    options.trace = ToLocalPath(m_strRunTrace);
    m_strRunPort = QString::fromStdString(portName);
    m_strRunPortText = m_comboPort->currentText();

    // Busy before the worker exists, so no second press can start another run. The port is
    // opened by the worker: a network port that takes seconds to answer never holds the window.
    SetBusy(true);
    m_bRunning = true;
    JoinWorker();  // a previous run that has given the button back is at its very end
    const unsigned generation = ++m_nRun;
    m_runStop = std::make_shared<CStopSource>();
    OnRunStarted();
    m_worker = std::thread([this, job, generation, portName, options, stop = m_runStop] {
        FlashResult result;
        try {
            result = RunPort(portName, job, *m_ui, StopToken(*stop), options);
        } catch (const std::exception& e) {
            // Every ending says why and gives the button back; the port closed with the run.
            m_ui->ShowMessage(e.what(), kCaptionWarning, MsgIcon::Warning);
            m_ui->SetBusy(false);
        }
        QMetaObject::invokeMethod(
            this,
            [this, generation, stopped = result.outcome == FlashOutcome::Stopped,
             retry = result.message.find("40 seconds") != std::string::npos,
             detail = QString::fromStdString(result.detail)] {
                if (generation == m_nRun) {
                    JoinWorker();
                    m_bRunning = false;
                    OnRunEnded(stopped, retry, detail);
                }
            },
            Qt::QueuedConnection);
    });
}

QString CQuillon2Dlg::TraceFileForRun(const std::string& port) {
    const QString folder = AppSettings::Get(AppSettings::kTraceFolder);
    if (folder.isEmpty()) {
        return {};
    }
    const QString stamp =
        QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd-HHmmss.zzz"));
    return QDir(folder).filePath(QStringLiteral("quillon-%1-%2.trace")
                                     .arg(stamp, QString::fromStdString(FileNamePart(port))));
}

void CQuillon2Dlg::OnTraceRuns(bool on) {
    QString folder;
    if (on && m_askTraceFolder) {
        folder = m_askTraceFolder(this);
    }
    AppSettings::Set(AppSettings::kTraceFolder, folder);
    m_actTraceRuns->setChecked(!folder.isEmpty());
}

QString CQuillon2Dlg::DefaultAskTraceFolder(QWidget* owner) {
    return QFileDialog::getExistingDirectory(owner, QStringLiteral("Trace runs to folder"));
}

void CQuillon2Dlg::JoinWorker() {
    if (m_worker.joinable()) {
        m_worker.join();
    }
}

void CQuillon2Dlg::SetBusy(bool busy) {
    m_btnFlash->setText(QString::fromUtf8(busy ? kBusyText : kIdleText));
    m_btnFlash->setEnabled(!busy);
}

void CQuillon2Dlg::Message(const std::string& text, const std::string& caption, MsgIcon icon,
                           const std::string& detail) {
    if (!m_messageBox) {
        return;
    }
    QWidget* owner = this;
    if (m_programDlg != nullptr && m_programDlg->isVisible()) {
        owner = m_programDlg;
    }
    m_messageBox(owner, QString::fromStdString(text), QString::fromStdString(caption), icon,
                 QString::fromStdString(detail));
}

void CQuillon2Dlg::ShowMessageBox(QWidget* owner, const QString& text, const QString& caption,
                                  MsgIcon icon, const QString& detail) {
    MakeMessageBox(owner, text, caption, icon, detail)->exec();
}

std::unique_ptr<QMessageBox> CQuillon2Dlg::MakeMessageBox(QWidget* owner, const QString& text,
                                                          const QString& caption, MsgIcon icon,
                                                          const QString& detail) {
    QMessageBox::Icon boxIcon = QMessageBox::NoIcon;
    switch (icon) {
        case MsgIcon::None:
            boxIcon = QMessageBox::NoIcon;
            break;
        case MsgIcon::Information:
            boxIcon = QMessageBox::Information;
            break;
        case MsgIcon::Warning:
            boxIcon = QMessageBox::Warning;
            break;
    }
    auto box = std::make_unique<QMessageBox>(boxIcon, caption, text, QMessageBox::Ok, owner);
    box->setTextFormat(Qt::PlainText);
    if (!detail.isEmpty()) {
        box->setInformativeText(detail);
        // Paths and device names are shown as they are, never read as markup.
        if (auto* label = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel"))) {
            label->setTextFormat(Qt::PlainText);
        }
    }
    return box;
}
