#include "app/gui/main_dlg.h"

#include <QAction>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QIcon>
#include <QInputDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QPushButton>
#include <QSettings>
#include <QStandardPaths>
#include <exception>
#include <string>
#include <utility>
#include <vector>

#include "app/flash_run.h"
#include "app/gui/about_dlg.h"
#include "app/gui/app_settings.h"
#include "app/gui/com_port_combo.h"
#include "app/gui/dialog_units.h"
#include "app/gui/firmware_summary_label.h"
#include "app/gui/history_dlg.h"
#include "app/gui/path_edit.h"
#include "app/gui/program_dlg.h"
#include "app/gui/qt_job_ui.h"
#include "app/gui/station_dlg.h"
#include "app/gui/version.h"
#ifdef _WIN32
#include "app/gui/win32_integration.h"
#endif

const QString CQuillon2Dlg::kBurnFilesFilter =
    QStringLiteral("Burn Files (bin;*.mot) (*.bin *.mot)");
const QString CQuillon2Dlg::kAllFilesFilter = QStringLiteral("All Files (*.*) (*)");

namespace {
const QString kAddNetworkPortText = QStringLiteral("Add network port...");

}  // namespace

CQuillon2Dlg::CQuillon2Dlg(QWidget* parent, const LinkTiming& timing,
                           std::unique_ptr<IPortSource> source)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint),
      m_messageBox(&CQuillon2Dlg::ShowMessageBox),
      m_browseDialog(&CQuillon2Dlg::DefaultBrowseDialog),
      m_askNetworkPort(&CQuillon2Dlg::DefaultAskNetworkPort),
      m_askTraceFolder(&CQuillon2Dlg::DefaultAskTraceFolder),
      m_timing(timing) {
    m_comboPort = new CComPortCombo(std::move(source), this);
    m_editFile = new CPathEdit(this);
    m_btnBrowse = new QPushButton(QStringLiteral("..."), this);
    m_btnAddNetworkPort = new QPushButton(QStringLiteral("+"), this);
    m_btnFlash = new QPushButton(QString::fromUtf8(kIdleText), this);
    m_btnHistory = new QPushButton(QStringLiteral("&History…"), this);
    m_btnStation = new QPushButton(QStringLiteral("S&tation…"), this);

    CQtJobUi::Handlers handlers;
    handlers.setBusy = [this](bool busy) { SetBusy(busy); };
    handlers.showMessage = [this](const std::string& text, const std::string& caption, MsgIcon icon,
                                  const std::string& detail) {
        Message(text, caption, icon, detail);
    };
    handlers.handshakeStep = [this](const std::string& step) {
        OnHandshakeStep(QString::fromStdString(step));
    };
    handlers.transferStarted = [this](std::uint32_t total) {
        OnTransferStarted();
        if (m_programDlg == nullptr) {
            m_programDlg = new CProgramDlg(this);
        }
        // The trace is named only when it is being written (its folder may have gone).
        m_programDlg->SetJob(QFileInfo(m_strFilePath).fileName(), m_strRunPortText, m_strRunPort,
                             QFileInfo(m_strRunTrace).isFile() ? m_strRunTrace : QString());
        m_programDlg->Start(total);
    };
    handlers.transferProgressed = [this](const TransferProgress& progress) {
        OnTransferProgressed(progress);
        if (m_programDlg != nullptr) {
            m_programDlg->Progress(progress);
        }
    };
    handlers.transferFinished = [this](bool ok) {
        if (m_programDlg != nullptr) {
            m_programDlg->Finish(ok);
        }
    };
    m_ui = std::make_unique<CQtJobUi>(this, std::move(handlers));

    OnInitDialog();
}

CQuillon2Dlg::~CQuillon2Dlg() {
    // Closing is refused during a run, but the application may still be torn down: let the
    // run finish (its message boxes need this thread) before the link goes away.
    while (m_bRunning && m_worker.joinable()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    }
    JoinWorker();
}

void CQuillon2Dlg::OnInitDialog() {
    const CDialogUnits du(*this);

    // Alt+S and Alt+F reach the list and the path box.
    auto* labelPort = new QLabel(QStringLiteral("&Serial Port:"), this);
    auto* labelFile = new QLabel(QStringLiteral("Burn &File:"), this);
    labelPort->setTextFormat(Qt::PlainText);
    labelFile->setTextFormat(Qt::PlainText);
    labelPort->setBuddy(m_comboPort);
    labelFile->setBuddy(m_editFile);

    m_comboPort->setFocusPolicy(Qt::StrongFocus);
    m_comboPort->setAccessibleName(QStringLiteral("Serial port"));
    m_comboPort->setToolTip(QStringLiteral("The serial port the inverter is connected to"));
    m_editFile->setAccessibleName(QStringLiteral("Firmware file"));
    m_btnBrowse->setAccessibleName(QStringLiteral("Browse for the firmware file"));
    m_btnBrowse->setToolTip(QStringLiteral("Choose the firmware file (mot or bin)"));
    m_btnFlash->setToolTip(
        QStringLiteral("Write the firmware file into the inverter through the chosen port"));
    m_btnHistory->setToolTip(QStringLiteral("Every run so far: when, which file, which port"));
    m_btnStation->setToolTip(QStringLiteral("Flash unit after unit on one or more ports"));
    m_comboPort->setMinimumWidth(du.X(166));
    m_comboPort->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    m_comboPort->setMinimumContentsLength(20);
    m_editFile->setMinimumWidth(du.X(166));
    m_btnBrowse->setFixedWidth(qMax(
        du.X(24), m_btnBrowse->fontMetrics().horizontalAdvance(QStringLiteral("...")) + du.X(8)));
    m_btnAddNetworkPort->setFixedWidth(m_btnBrowse->maximumWidth());
    m_btnAddNetworkPort->setToolTip(kAddNetworkPortText);
    m_btnAddNetworkPort->setAccessibleName(kAddNetworkPortText);
    m_btnFlash->setMinimumWidth(du.X(51));
    // No default button (see keyPressEvent for Enter).
    m_btnBrowse->setAutoDefault(false);
    m_btnAddNetworkPort->setAutoDefault(false);
    m_btnFlash->setAutoDefault(false);
    m_btnHistory->setAutoDefault(false);
    m_btnStation->setAutoDefault(false);

    // Labels at 14, the list and the path box at 55 (166 wide), "..." at 225 with "+" (add a
    // network port) above it, "Flash!" under the path box; a 14-unit margin all round.
    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(du.X(14), du.Y(14), du.X(14), du.Y(14));
    grid->setHorizontalSpacing(du.X(4));
    grid->setVerticalSpacing(du.Y(6));
    grid->addWidget(labelPort, 0, 0);
    grid->addWidget(m_comboPort, 0, 1);
    grid->addWidget(m_btnAddNetworkPort, 0, 2);
    grid->addWidget(labelFile, 1, 0);
    grid->addWidget(m_editFile, 1, 1);
    grid->addWidget(m_btnBrowse, 1, 2);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(m_btnFlash);
    SetupStatus(buttons);
    buttons->addWidget(m_btnHistory);
    buttons->addWidget(m_btnStation);
    m_labelSummary = new CFirmwareSummaryLabel(m_editFile, this);
    grid->addWidget(m_labelSummary, 2, 1, 1, 2);
    grid->addLayout(buttons, 3, 1);
    grid->addWidget(m_labelStatus, 4, 1, 1, 2);
    grid->setColumnMinimumWidth(0, du.X(37));
    grid->setColumnStretch(1, 1);
    grid->setRowMinimumHeight(3, du.Y(14));
    grid->setSizeConstraint(QLayout::SetMinimumSize);

    setTabOrder(m_comboPort, m_btnAddNetworkPort);
    setTabOrder(m_btnAddNetworkPort, m_editFile);
    setTabOrder(m_editFile, m_btnBrowse);
    setTabOrder(m_btnBrowse, m_btnFlash);
    setTabOrder(m_btnFlash, m_btnCancel);
    setTabOrder(m_btnCancel, m_btnHistory);
    setTabOrder(m_btnHistory, m_btnStation);

    connect(m_btnBrowse, &QPushButton::clicked, this, [this] { OnBrowse(); });
    connect(m_btnFlash, &QPushButton::clicked, this, [this] { OnFlash(); });
    connect(m_btnHistory, &QPushButton::clicked, this, [this] { OnHistory(); });
    connect(m_btnStation, &QPushButton::clicked, this, [this] { OpenStationWindow(*this); });

    // A firmware file dropped anywhere on the window, the path box included, fills the box.
    setAcceptDrops(true);
    m_editFile->setAcceptDrops(false);

    auto* history = new QAction(QStringLiteral("History…"), this);
    connect(history, &QAction::triggered, this, [this] { OnHistory(); });
    addAction(history);

    connect(m_btnAddNetworkPort, &QPushButton::clicked, this, [this] { OnAddNetworkPort(); });

    // The port list's own context menu: network ports in and out.
    auto* addPort = new QAction(kAddNetworkPortText, m_comboPort);
    connect(addPort, &QAction::triggered, this, [this] { OnAddNetworkPort(); });
    auto* removePort = new QAction(QStringLiteral("Remove network port"), m_comboPort);
    connect(removePort, &QAction::triggered, this, [this] { OnRemoveNetworkPort(); });
    auto* station = new QAction(QStringLiteral("Station…"), m_comboPort);
    connect(station, &QAction::triggered, this, [this] { OpenStationWindow(*this); });
    m_comboPort->addAction(addPort);
    m_comboPort->addAction(removePort);
    m_comboPort->addAction(station);
    m_comboPort->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(m_comboPort, &QWidget::customContextMenuRequested, this,
            [this, removePort](const QPoint& at) {
                removePort->setEnabled(m_comboPort->NetworkPortSelected());
                QMenu::exec(m_comboPort->actions(), m_comboPort->mapToGlobal(at), nullptr,
                            m_comboPort);
            });

    // The About box: F1 and the window's context menu.
    auto* about = new QAction(QString::fromUtf8(kAboutMenuText), this);
    about->setShortcut(QKeySequence(Qt::Key_F1));
    about->setShortcutContext(Qt::WindowShortcut);
    connect(about, &QAction::triggered, this, [this] { OnAbout(); });
    addAction(about);
    // A wire trace of every run, for diagnosis in the field; off until a folder is chosen.
    m_actTraceRuns = new QAction(QStringLiteral("Trace runs to folder…"), this);
    m_actTraceRuns->setCheckable(true);
    m_actTraceRuns->setChecked(!AppSettings::Get(AppSettings::kTraceFolder).isEmpty());
    connect(m_actTraceRuns, &QAction::triggered, this, [this](bool on) { OnTraceRuns(on); });
    addAction(m_actTraceRuns);
    setContextMenuPolicy(Qt::ActionsContextMenu);
#ifdef _WIN32
    // Windows: the same entry in the system menu, and port list refills on device changes.
    new CWin32Integration(*this);
#endif

    const QIcon icon = QuillonIcon();
    setWindowIcon(icon);
    setWindowTitle(QuillonVersionText());

    m_comboPort->m_bShowNoneEntry = false;
    std::vector<std::string> networkPorts;
    for (const QString& url : AppSettings::GetList(AppSettings::kNetworkPorts)) {
        networkPorts.push_back(url.toStdString());
    }
    m_comboPort->SetNetworkPorts(networkPorts);
    SelectPortByName(AppSettings::Get(AppSettings::kPort));
    m_comboPort->StartHotplug();
    // The file of the last run, as long as it is still there.
    const QString firmware = AppSettings::Get(AppSettings::kFirmware);
    if (!firmware.isEmpty() && QFileInfo(firmware).isFile()) {
        m_strFileExt = QFile::decodeName(FileExtension(ToLocalPath(firmware)).c_str());
        m_editFile->setText(QDir::toNativeSeparators(firmware));
    }

    // Wide enough for the path box, never shorter than the layout.
    resize(qMax(sizeHint().width(), du.X(263)), sizeHint().height());
    setMaximumHeight(sizeHint().height());
}

void CQuillon2Dlg::SelectPortByName(const QString& name) {
    m_comboPort->FillPortListByName(name.toStdString());
}

QString CQuillon2Dlg::DefaultAskNetworkPort(QWidget* owner) {
    bool ok = false;
    const QString url = QInputDialog::getText(
        owner, QStringLiteral("Add network port"),
        QStringLiteral("URL of the port (rfc2217://HOST:PORT or socket://HOST:PORT):"),
        QLineEdit::Normal, QStringLiteral("rfc2217://"), &ok);
    return ok ? url : QString();
}

void CQuillon2Dlg::OnAddNetworkPort() {
    const QString url = m_askNetworkPort ? m_askNetworkPort(this).trimmed() : QString();
    if (url.isEmpty()) {
        return;
    }
    std::string error;
    if (!m_comboPort->AddNetworkPort(url.toStdString(), error)) {
        Warn(QStringLiteral("\"%1\" is not a network port: %2.\nUse rfc2217://HOST:PORT or "
                            "socket://HOST:PORT.")
                 .arg(url, QString::fromStdString(error)));
        return;
    }
    SaveNetworkPorts();
}

void CQuillon2Dlg::OnRemoveNetworkPort() {
    if (m_comboPort->RemoveSelectedNetworkPort()) {
        SaveNetworkPorts();
    }
}

void CQuillon2Dlg::SaveNetworkPorts() {
    QStringList urls;
    for (const std::string& url : m_comboPort->NetworkPorts()) {
        urls << QString::fromStdString(url);
    }
    AppSettings::Set(AppSettings::kNetworkPorts, urls);
}

void CQuillon2Dlg::OnAbout() {
    CAboutDlg dlg(this);
    dlg.exec();
}

void CQuillon2Dlg::OnHistory() {
    CHistoryDlg dlg(DefaultHistoryFile(), this);
    dlg.exec();
}

QString CQuillon2Dlg::BrowseStartFolder() const {
    const QString path = m_editFile->text();
    if (path.isEmpty()) {
        return {};
    }
    const QFileInfo info(path);
    const QString folder = info.isDir() ? info.absoluteFilePath() : info.absolutePath();
    return QFileInfo(folder).isDir() ? folder : QString();
}

QString CQuillon2Dlg::DroppedFirmware(const QMimeData* data) {
    if (data == nullptr || !data->hasUrls() || data->urls().size() != 1) {
        return {};
    }
    const QUrl url = data->urls().constFirst();
    if (!url.isLocalFile()) {
        return {};
    }
    const QFileInfo info(url.toLocalFile());
    const QString suffix = info.suffix().toLower();
    if (!info.isFile() || (suffix != QStringLiteral("mot") && suffix != QStringLiteral("bin"))) {
        return {};
    }
    return info.filePath();
}

void CQuillon2Dlg::dragEnterEvent(QDragEnterEvent* event) {
    if (!DroppedFirmware(event->mimeData()).isEmpty()) {
        event->acceptProposedAction();
    }
}

void CQuillon2Dlg::dropEvent(QDropEvent* event) {
    const QString path = DroppedFirmware(event->mimeData());
    if (path.isEmpty()) {
        return;
    }
    SetFirmwarePath(path);
    event->acceptProposedAction();
}

void CQuillon2Dlg::SetFirmwarePath(const QString& path) {
    m_strFileExt = QFile::decodeName(FileExtension(ToLocalPath(path)).c_str());
    m_editFile->setText(QDir::toNativeSeparators(path));  // backslashes on Windows
    RememberFirmwarePath(path);
}

void CQuillon2Dlg::RememberFirmwarePath(const QString& path) {
    AppSettings::Set(AppSettings::kFirmware, path);
}

QString CQuillon2Dlg::DefaultBrowseDialog(QWidget* owner) {
    QFileDialog dlg(owner);
    dlg.setAcceptMode(QFileDialog::AcceptOpen);
    dlg.setFileMode(QFileDialog::ExistingFile);
    // The labels read as the filters are named; the patterns stay out of sight.
    dlg.setOption(QFileDialog::HideNameFilterDetails, true);
    dlg.setNameFilters({kBurnFilesFilter, kAllFilesFilter});
    dlg.selectNameFilter(kBurnFilesFilter);
    if (const auto* main = dynamic_cast<const CQuillon2Dlg*>(owner)) {
        if (const QString folder = main->BrowseStartFolder(); !folder.isEmpty()) {
            dlg.setDirectory(folder);
        }
    }
    if (dlg.exec() != QDialog::Accepted || dlg.selectedFiles().isEmpty()) {
        return {};
    }
    return dlg.selectedFiles().constFirst();
}

void CQuillon2Dlg::OnBrowse() {
    const QString path = m_browseDialog ? m_browseDialog(this) : QString();
    if (path.isEmpty()) {
        return;
    }
    SetFirmwarePath(path);
}

void CQuillon2Dlg::reject() {
    if (m_bRunning) {
        return;
    }
    QDialog::reject();
}

void CQuillon2Dlg::keyPressEvent(QKeyEvent* event) {
    // Enter presses the push button that has the focus and nothing else: in the path box it
    // neither flashes nor closes the window.
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        if (auto* button = qobject_cast<QPushButton*>(focusWidget());
            button != nullptr && button->isEnabled()) {
            button->click();
        }
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void CQuillon2Dlg::closeEvent(QCloseEvent* event) {
    if (m_bRunning) {
        event->ignore();
        if (const QString why = CloseRefusal(); !why.isEmpty()) {
            Warn(why);
        }
        return;
    }
    QDialog::closeEvent(event);
}
