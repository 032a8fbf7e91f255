// The main window: port list, firmware path, "..." and "Flash!". It owns the programming
// link and the job inputs; a run executes on a worker thread and reaches the window only
// through its JobUi.
#pragma once

#include <QDialog>
#include <QElapsedTimer>
#include <QFile>
#include <QString>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "common/job_ui.h"
#include "common/stop_request.h"
#include "ports/port_list.h"
#include "protocol/boot_link.h"

class CComPortCombo;
class CProgramDlg;
class CQtJobUi;
class QLineEdit;
class QAction;
class QHBoxLayout;
class QLabel;
class QTimer;
class QMessageBox;
class QMimeData;
class QPushButton;

// The About entry, in the window's context menu and (on Windows) its system menu.
inline constexpr const char* kAboutMenuText = "&About Quillon Pro...";

class CQuillon2Dlg : public QDialog {
public:
    // source: where the port list comes from; null for the platform's own (with hot-plug).
    explicit CQuillon2Dlg(QWidget* parent = nullptr, const LinkTiming& timing = LinkTiming{},
                          std::unique_ptr<IPortSource> source = nullptr);
    ~CQuillon2Dlg() override;

    // Every message box of the window and of a run. Replaceable so tests need no modal box;
    // called on the GUI thread, returns when the message has been acknowledged.
    // detail: what else is known, the box's second paragraph (empty for none).
    using MessageBoxFn =
        std::function<void(QWidget* owner, const QString& text, const QString& caption,
                           MsgIcon icon, const QString& detail)>;
    MessageBoxFn m_messageBox;
    // The file-open dialog: the chosen file's full path, or a null string when cancelled.
    using BrowseFn = std::function<QString(QWidget* owner)>;
    BrowseFn m_browseDialog;
    // Asks for a network port's URL: the text entered, or a null string when cancelled.
    using AskUrlFn = std::function<QString(QWidget* owner)>;
    AskUrlFn m_askNetworkPort;
    // Asks for the folder runs are traced to: its path, or a null string when cancelled.
    using AskFolderFn = std::function<QString(QWidget* owner)>;
    AskFolderFn m_askTraceFolder;

    void OnBrowse();
    void OnFlash();
    void OnAbout();
    void OnHistory();
    // Stops the run while no data block has gone out: nothing more is sent, the port closes.
    void OnCancel();
    // Why the window cannot close now (a box says it); empty when it closes or nothing is said.
    QString CloseRefusal() const;
    // The folder the file dialog opens in: that of the path in the box, when it exists.
    QString BrowseStartFolder() const;
    // A dropped firmware file: one local .mot or .bin file (any case); else a null string.
    static QString DroppedFirmware(const QMimeData* data);
    // "Add network port...": asks for the URL, checks its form, lists, chooses and keeps it.
    void OnAddNetworkPort();
    void OnRemoveNetworkPort();
    // "Trace runs to folder…": on, asks for the folder and keeps it; off, forgets it.
    void OnTraceRuns(bool on);
    // The wire trace file for a run on port starting now; empty when tracing is off.
    static QString TraceFileForRun(const std::string& port);
    // The saved port name selects its entry; this is the first fill of the port list.
    void SelectPortByName(const QString& name);

    bool IsRunning() const { return m_bRunning; }
    CProgramDlg* ProgressWindow() const { return m_programDlg; }

    CComPortCombo* m_comboPort;
    QLineEdit* m_editFile;  // a CPathEdit
    QPushButton* m_btnBrowse;
    QPushButton* m_btnAddNetworkPort;
    QPushButton* m_btnFlash;
    QPushButton* m_btnHistory;
    QPushButton* m_btnCancel;   // shown from "Flash!" until the first data block
    QLabel* m_labelStatus;      // the handshake step and its time; the wait before a next try
    QLabel* m_labelSummary;     // the file's image as a run would send it, or why it cannot
    QPushButton* m_btnStation;  // opens the station window (station_dlg.h)
    QAction* m_actTraceRuns;
    LinkTiming m_timing;
    int m_nTargetType = 0;
    QString m_strFilePath;
    QString m_strFileExt;

    // The file-open dialog's two filters; the first is preselected.
    static const QString kBurnFilesFilter;
    static const QString kAllFilesFilter;
    static QString DefaultBrowseDialog(QWidget* owner);
    static QString DefaultAskNetworkPort(QWidget* owner);
    static QString DefaultAskTraceFolder(QWidget* owner);
    static void ShowMessageBox(QWidget* owner, const QString& text, const QString& caption,
                               MsgIcon icon, const QString& detail);
    // The box ShowMessageBox runs: fixed text, caption, icon, and the detail beneath.
    static std::unique_ptr<QMessageBox> MakeMessageBox(QWidget* owner, const QString& text,
                                                       const QString& caption, MsgIcon icon,
                                                       const QString& detail);

public slots:
    void reject() override;  // Escape: closes, except during a run

protected:
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void OnInitDialog();
    void Warn(const QString& text, const QString& detail = QString());
    void SetBusy(bool busy);
    void Message(const std::string& text, const std::string& caption, MsgIcon icon,
                 const std::string& detail);
    // Puts a chosen file into the box, records its extension and remembers it.
    void SetFirmwarePath(const QString& path);
    static void RememberFirmwarePath(const QString& path);
    void JoinWorker();
    void SaveNetworkPorts();
    // Cancel beside "Flash!" and the status line under it (main_dlg_status.cpp).
    void SetupStatus(QHBoxLayout* buttons);
    void OnRunStarted();
    void OnHandshakeStep(const QString& step);
    void OnTransferStarted();
    void OnTransferProgressed(const TransferProgress& progress);
    // stopped: its detail stays in the status line; retry: the 40 s wait is counted down.
    void OnRunEnded(bool stopped, bool retry, const QString& detail);
    void UpdateStatus();

    std::unique_ptr<CQtJobUi> m_ui;
    QString m_strRunPort;      // the port of the run in progress, for the progress window
    QString m_strRunPortText;  // and as the list shows it
    QString m_strRunTrace;     // its wire trace file, if any
    // The run in progress's own stop (a later Cancel), apart from every other run's.
    std::shared_ptr<CStopSource> m_runStop;
    CProgramDlg* m_programDlg = nullptr;
    std::thread m_worker;
    bool m_bRunning = false;
    QTimer* m_statusTimer = nullptr;
    QElapsedTimer m_runClock;  // since "Flash!"
    QString m_strStep;         // the handshake step running; empty once data flows
    bool m_bTransferring = false;
    int m_nSecondsLeft = -1;     // of the transfer, once a rate is known
    QElapsedTimer m_retryClock;  // since a failure that asks for 40 s; invalid when none
    unsigned m_nRun = 0;         // tells a finished run's notice from the next run's
};

// A path as the file system spells it (the core takes paths as bytes).
inline std::string ToLocalPath(const QString& path) {
    return QFile::encodeName(path).toStdString();
}
