#include "app/gui/station_dlg.h"

#include <QCloseEvent>
#include <QDir>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <QVBoxLayout>
#include <cstdio>
#include <utility>

#include "app/gui/com_port_combo.h"
#include "app/gui/path_edit.h"
#include "app/gui/station_tile.h"

namespace {
constexpr int kTileColumns = 4;

QString Plain(const std::string& text) {
    return QString::fromStdString(text);
}
}  // namespace

// The station's events, from its slots' threads, queued to the window's thread. An event of
// a station the window no longer shows is dropped there.
class CStationDlg::CView : public IStationView {
public:
    explicit CView(CStationDlg& dlg) : m_dlg(dlg) {}
    unsigned generation = 0;  // set before each station starts, read on its threads

    void SlotChanged(std::size_t slot, const SlotView& view) override {
        Post([slot, view](CStationDlg& dlg) {
            if (slot < dlg.m_tiles.size()) {
                dlg.m_tiles[slot]->Show(view);
            }
        });
    }
    void UnitEnded(const UnitEnding&, const StationCounters& counters) override {
        Post([counters](CStationDlg& dlg) { dlg.ShowCounters(counters); });
    }
    void StationStopping(const std::string& why) override {
        Post([why](CStationDlg& dlg) {
            dlg.m_labelStatus->setText(Plain(why));
            dlg.Warn(Plain(why));
        });
    }

private:
    template <typename F>
    void Post(F f) {
        QMetaObject::invokeMethod(
            &m_dlg,
            [this, g = generation, f = std::move(f)] {
                if (g == m_dlg.m_generation) {
                    f(m_dlg);
                }
            },
            Qt::QueuedConnection);
    }
    CStationDlg& m_dlg;
};

CStationDlg::CStationDlg(std::vector<Port> ports, const QStringList& ticked,
                         const QString& firmware, QWidget* parent, const RunOptions& run)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint | Qt::WindowMaximizeButtonHint),
      m_messageBox(&CQuillon2Dlg::ShowMessageBox),
      m_browseDialog(&CQuillon2Dlg::DefaultBrowseDialog),
      m_run(run),
      m_view(std::make_unique<CView>(*this)) {
    setWindowTitle(QStringLiteral("Station"));

    // Counters at the top, in large type.
    auto* counters = new QHBoxLayout;
    for (QLabel** label :
         {&m_labelPassed, &m_labelFailed, &m_labelYield, &m_labelRate, &m_labelElapsed}) {
        *label = new QLabel(this);
        QFont font = (*label)->font();
        font.setBold(true);
        font.setPointSizeF(font.pointSizeF() * 1.5);
        (*label)->setFont(font);
        counters->addWidget(*label);
        counters->addStretch(1);
    }
    ShowCounters(StationCounters{});

    m_editFile = new CPathEdit(this);
    m_editFile->setText(QDir::toNativeSeparators(firmware));
    m_editFile->setAccessibleName(QStringLiteral("Firmware file"));
    m_btnBrowse = new QPushButton(QStringLiteral("..."), this);
    m_btnBrowse->setAccessibleName(QStringLiteral("Browse for the firmware file"));
    m_labelSummary = new CFirmwareSummaryLabel(m_editFile, this);
    m_editOperator = new QLineEdit(this);
    m_editWorkOrder = new QLineEdit(this);
    m_editOperator->setMaxLength(128);
    m_editWorkOrder->setMaxLength(128);

    m_listSlots = new QListWidget(this);
    m_listSlots->setAccessibleName(QStringLiteral("Slots"));
    m_listSlots->setToolTip(QStringLiteral("Each ticked port is a slot of the station"));
    AddPorts(ports);
    for (int i = 0; i < m_listSlots->count(); ++i) {
        QListWidgetItem* item = m_listSlots->item(i);
        if (ticked.contains(item->data(Qt::UserRole).toString())) {
            item->setCheckState(Qt::Checked);
        }
    }
    // Five rows in view; an empty list (no ports yet) as high as one of them would be.
    const int row = qMax(m_listSlots->sizeHintForRow(0), m_listSlots->fontMetrics().height() + 4);
    m_listSlots->setMaximumHeight(row * 5 + 8);

    m_radioArrival = new QRadioButton(QStringLiteral("&Arrival: a unit is flashed when its port "
                                                     "appears"),
                                      this);
    m_radioScan = new QRadioButton(QStringLiteral("S&can a serial number:"), this);
    m_radioArrival->setChecked(true);
    m_editScan = new QLineEdit(this);
    m_editScan->setAccessibleName(QStringLiteral("Scanned serial number"));
    m_editScan->setToolTip(QStringLiteral("A serial number and Enter starts the next free slot"));
    m_editScan->setEnabled(false);

    m_btnStart = new QPushButton(QStringLiteral("&Start"), this);
    m_btnStop = new QPushButton(QStringLiteral("St&op"), this);
    m_btnStop->setToolTip(QStringLiteral("No new unit starts; running transfers finish"));
    m_btnStop->setEnabled(false);
    for (QPushButton* button : {m_btnBrowse, m_btnStart, m_btnStop}) {
        button->setAutoDefault(false);  // Enter belongs to the scan field
    }
    m_labelStatus = new QLabel(this);
    m_labelStatus->setTextFormat(Qt::PlainText);
    m_labelStatus->setWordWrap(true);

    auto* fileRow = new QHBoxLayout;
    fileRow->addWidget(m_editFile, 1);
    fileRow->addWidget(m_btnBrowse);
    auto* scanRow = new QHBoxLayout;
    scanRow->addWidget(m_radioScan);
    scanRow->addWidget(m_editScan, 1);
    auto* trigger = new QVBoxLayout;
    trigger->addWidget(m_radioArrival);
    trigger->addLayout(scanRow);
    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("Firmware:"), fileRow);
    form->addRow(QString(), m_labelSummary);
    form->addRow(QStringLiteral("Operator:"), m_editOperator);
    form->addRow(QStringLiteral("Work order:"), m_editWorkOrder);
    form->addRow(QStringLiteral("Slots:"), m_listSlots);
    form->addRow(QStringLiteral("Trigger:"), trigger);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(m_btnStart);
    buttons->addWidget(m_btnStop);
    buttons->addWidget(m_labelStatus, 1);
    m_tileGrid = new QGridLayout;
    auto* column = new QVBoxLayout(this);
    column->addLayout(counters);
    column->addLayout(form);
    column->addLayout(buttons);
    column->addLayout(m_tileGrid, 1);

    connect(m_btnBrowse, &QPushButton::clicked, this, [this] { OnBrowse(); });
    connect(m_btnStart, &QPushButton::clicked, this, [this] { OnStart(); });
    connect(m_btnStop, &QPushButton::clicked, this, [this] { OnStop(); });
    connect(m_editScan, &QLineEdit::returnPressed, this, [this] { OnScan(); });

    m_ticker = new QTimer(this);
    m_ticker->setInterval(250);
    connect(m_ticker, &QTimer::timeout, this, [this] { OnTick(); });
    resize(760, 560);
}

CStationDlg::~CStationDlg() {
    ++m_generation;     // nothing queued from here on is rendered
    m_station.reset();  // stops its transfers and waits for its slots
}

void CStationDlg::Warn(const QString& text, const QString& detail) {
    if (m_messageBox) {
        m_messageBox(this, text, QString::fromUtf8(kCaptionWarning), MsgIcon::Warning, detail);
    }
}

void CStationDlg::AddPorts(const std::vector<Port>& ports) {
    QStringList listed;
    for (int i = 0; i < m_listSlots->count(); ++i) {
        listed << m_listSlots->item(i)->data(Qt::UserRole).toString();
    }
    for (const Port& port : ports) {
        if (listed.contains(port.name)) {
            continue;
        }
        listed << port.name;
        auto* item = new QListWidgetItem(port.text, m_listSlots);
        item->setData(Qt::UserRole, port.name);
        item->setToolTip(port.name);
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable);
        item->setCheckState(Qt::Unchecked);
    }
}

void CStationDlg::OnBrowse() {
    const QString path = m_browseDialog ? m_browseDialog(this) : QString();
    if (!path.isEmpty()) {
        m_editFile->setText(QDir::toNativeSeparators(path));
    }
}

void CStationDlg::OnStart() {
    if (IsRunning()) {
        return;
    }
    QStringList ports;
    for (int i = 0; i < m_listSlots->count(); ++i) {
        if (m_listSlots->item(i)->checkState() == Qt::Checked) {
            ports << m_listSlots->item(i)->data(Qt::UserRole).toString();
        }
    }
    if (ports.isEmpty()) {
        Warn(QStringLiteral("Tick the ports the station flashes on: each one is a slot."));
        return;
    }
    StationConfig config;
    config.job.filePath = ToLocalPath(m_editFile->text());
    config.job.frontEnd = "desktop";
    config.job.operatorName = m_editOperator->text().trimmed().toStdString();
    config.job.workOrder = m_editWorkOrder->text().trimmed().toStdString();
    for (const QString& port : ports) {
        config.ports.push_back(port.toStdString());
    }
    config.trigger = m_radioScan->isChecked() ? StationTrigger::Scan : StationTrigger::Arrival;
    config.run = m_run;

    // A refused file says why as a run would, in a box; nothing is touched then.
    struct CPrepareUi : JobUi {
        CStationDlg& dlg;
        explicit CPrepareUi(CStationDlg& d) : dlg(d) {}
        void ShowMessage(const std::string& text, const std::string& caption,
                         MsgIcon icon) override {
            ShowDetailedMessage(text, caption, icon, {});
        }
        void ShowDetailedMessage(const std::string& text, const std::string& caption, MsgIcon icon,
                                 const std::string& detail) override {
            if (dlg.m_messageBox) {
                dlg.m_messageBox(&dlg, Plain(text), Plain(caption), icon, Plain(detail));
            }
        }
        void SetBusy(bool) override {}
    } ui(*this);

    ++m_generation;
    m_station.reset();
    m_view->generation = m_generation;
    auto station = std::make_unique<CStation>(config, *m_view);
    // The file is converted and checked once here; its image is what every unit gets.
    if (station->Prepare(ui).outcome != FlashOutcome::Success) {
        return;
    }
    m_labelSummary->Show(Plain(station->Summary()));
    m_station = std::move(station);
    MakeTiles(ports);
    ShowCounters(StationCounters{});
    SetRunning(true);
    m_labelStatus->setText(config.trigger == StationTrigger::Scan
                               ? QStringLiteral("Scan a unit's serial number to flash it.")
                               : QStringLiteral("Connect a unit to a slot's port to flash it."));
    m_station->Start();
    if (config.trigger == StationTrigger::Scan) {
        m_editScan->setFocus();  // a scanner in keyboard mode types where the focus is
    }
}

void CStationDlg::OnStop() {
    if (!IsRunning() || m_station->Stopping()) {
        return;
    }
    m_station->Stop();
    m_btnStop->setEnabled(false);
    m_editScan->setEnabled(false);
    m_labelStatus->setText(
        QStringLiteral("Stopping: no new unit starts; running transfers finish."));
}

void CStationDlg::OnScan() {
    const std::string line = m_editScan->text().toStdString();
    m_editScan->clear();
    if (!IsRunning()) {
        return;
    }
    std::string serial, why;
    if (!TakeSerial(line, serial, why)) {
        if (!why.empty()) {
            m_labelStatus->setText(QStringLiteral("Ignored a scan that %1.").arg(Plain(why)));
        }
        return;
    }
    m_labelStatus->setText(
        m_station->Scan(serial)
            ? QStringLiteral("Scanned %1.").arg(Plain(serial))
            : QStringLiteral("The station is stopping: %1 was not taken.").arg(Plain(serial)));
}

void CStationDlg::MakeTiles(const QStringList& ports) {
    for (CStationTile* tile : m_tiles) {
        delete tile;
    }
    m_tiles.clear();
    for (int i = 0; i < ports.size(); ++i) {
        auto* tile = new CStationTile(ports[i], this);
        m_tileGrid->addWidget(tile, i / kTileColumns, i % kTileColumns);
        m_tiles.push_back(tile);
    }
}

void CStationDlg::SetRunning(bool running) {
    m_running = running;
    const bool scan = m_radioScan->isChecked();
    // The firmware, the record's fields and the slots are the station's while it runs.
    m_editFile->setReadOnly(running);
    m_btnBrowse->setEnabled(!running);
    m_editOperator->setReadOnly(running);
    m_editWorkOrder->setReadOnly(running);
    m_listSlots->setEnabled(!running);
    m_radioArrival->setEnabled(!running);
    m_radioScan->setEnabled(!running);
    m_editScan->setEnabled(running && scan);
    m_btnStart->setEnabled(!running);
    m_btnStop->setEnabled(running);
    running ? m_ticker->start() : m_ticker->stop();
}

void CStationDlg::ShowCounters(const StationCounters& c) {
    const auto seconds = static_cast<long long>(std::chrono::duration<double>(c.elapsed).count());
    char elapsed[32];
    std::snprintf(elapsed, sizeof elapsed, "%lld:%02lld:%02lld", seconds / 3600, seconds / 60 % 60,
                  seconds % 60);
    m_labelPassed->setText(QStringLiteral("Passed %1").arg(c.passed));
    m_labelFailed->setText(QStringLiteral("Failed %1").arg(c.failed));
    m_labelYield->setText(
        c.distinct == 0 ? QStringLiteral("Yield -")
                        : QStringLiteral("Yield %1 %").arg(100.0 * c.FirstPassYield(), 0, 'f', 1));
    m_labelRate->setText(QStringLiteral("%1 units/h").arg(c.UnitsPerHour(), 0, 'f', 1));
    m_labelElapsed->setText(QString::fromLatin1(elapsed));
}

void CStationDlg::OnTick() {
    if (m_station == nullptr) {
        return;
    }
    ShowCounters(m_station->Counters());
    if (m_station->Finished()) {
        m_station->Wait();
        SetRunning(false);
        const std::string why = m_station->StopReason();
        m_labelStatus->setText(why.empty() ? QStringLiteral("Stopped.") : Plain(why));
    }
}

void CStationDlg::reject() {
    if (IsRunning()) {
        m_labelStatus->setText(
            QStringLiteral("Stop the station, and let its units finish, before closing it."));
        return;
    }
    QDialog::reject();
}

void CStationDlg::closeEvent(QCloseEvent* event) {
    if (IsRunning()) {
        reject();
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}

void CStationDlg::keyPressEvent(QKeyEvent* event) {
    // Enter never starts, stops or closes anything by itself: a scanner's Enter may land
    // outside the scan field.
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

namespace {
std::vector<CStationDlg::Port> PortsOf(const CQuillon2Dlg& main) {
    std::vector<CStationDlg::Port> ports;
    for (const CPortEntry& entry : main.m_comboPort->Model().GetEntries()) {
        if (!entry.m_bNoneEntry && !entry.m_strName.empty()) {
            ports.push_back({Plain(entry.m_strText), Plain(entry.m_strName)});
        }
    }
    for (const std::string& url : main.m_comboPort->NetworkPorts()) {
        ports.push_back({Plain(url), Plain(url)});
    }
    return ports;
}
}  // namespace

void OpenStationWindow(CQuillon2Dlg& main) {
    if (main.IsRunning()) {
        return;  // the window's own run has the port
    }
    RunOptions run;
    run.timing = main.m_timing;
    CStationDlg dlg(PortsOf(main), {Plain(main.m_comboPort->GetSelectedPortName())},
                    main.m_editFile->text(), &main, run);
    dlg.m_messageBox = main.m_messageBox;
    dlg.m_browseDialog = main.m_browseDialog;
    // A port that arrives while the window is open (the main window's list follows hot-plug)
    // can be ticked too.
    QObject::connect(main.m_comboPort->model(), &QAbstractItemModel::rowsInserted, &dlg,
                     [&] { dlg.AddPorts(PortsOf(main)); });
    dlg.exec();
}
