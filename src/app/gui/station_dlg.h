// The station window: one firmware, operator and work order, the slots (ports ticked from
// the port list) and their trigger; a large tile per slot and the station's counters. The
// station itself (CStation) runs on its slots' threads; the window only renders its events,
// which reach the GUI thread queued.
#pragma once

#include <QDialog>
#include <QString>
#include <QStringList>
#include <memory>
#include <vector>

#include "app/gui/firmware_summary_label.h"
#include "app/gui/main_dlg.h"
#include "app/station.h"

class CStationTile;
class QLabel;
class QLineEdit;
class QListWidget;
class QGridLayout;
class QPushButton;
class QRadioButton;
class QTimer;

class CStationDlg : public QDialog {
public:
    struct Port {
        QString text;  // as the port list shows it
        QString name;  // to open
    };
    // ticked: the names ticked as slots at first; firmware: the path to start with.
    CStationDlg(std::vector<Port> ports, const QStringList& ticked, const QString& firmware,
                QWidget* parent = nullptr, const RunOptions& run = {});
    ~CStationDlg() override;  // a station still running is stopped, transfers included

    // As in the main window: replaceable so tests need no modal box or file dialog.
    CQuillon2Dlg::MessageBoxFn m_messageBox;
    CQuillon2Dlg::BrowseFn m_browseDialog;

    // Lists the ports not listed yet, unticked; none is taken off (a slot's port comes and
    // goes with its units).
    void AddPorts(const std::vector<Port>& ports);
    void OnBrowse();
    void OnStart();
    // No new unit starts; running transfers finish, then the window is ready again.
    void OnStop();
    // The scan field's Enter: its text as the next unit's serial number.
    void OnScan();
    // From Start until every slot has ended.
    bool IsRunning() const { return m_station != nullptr && m_running; }

    QLineEdit* m_editFile;
    QPushButton* m_btnBrowse;
    // What a run would send; once started, the image every unit gets, with its whole SHA-256.
    CFirmwareSummaryLabel* m_labelSummary;
    QLineEdit* m_editOperator;
    QLineEdit* m_editWorkOrder;
    QListWidget* m_listSlots;
    QRadioButton* m_radioArrival;
    QRadioButton* m_radioScan;
    QLineEdit* m_editScan;
    QPushButton* m_btnStart;
    QPushButton* m_btnStop;
    QLabel* m_labelPassed;
    QLabel* m_labelFailed;
    QLabel* m_labelYield;
    QLabel* m_labelRate;
    QLabel* m_labelElapsed;
    QLabel* m_labelStatus;
    std::vector<CStationTile*> m_tiles;

public slots:
    void reject() override;  // Escape: closes, except while the station runs

protected:
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    class CView;
    void Warn(const QString& text, const QString& detail = QString());
    void SetRunning(bool running);
    void ShowCounters(const StationCounters& counters);
    void MakeTiles(const QStringList& ports);
    void OnTick();

    RunOptions m_run;
    QGridLayout* m_tileGrid = nullptr;
    QTimer* m_ticker = nullptr;
    std::unique_ptr<CView> m_view;  // outlives the station that calls it
    std::unique_ptr<CStation> m_station;
    bool m_running = false;
    unsigned m_generation = 0;  // tells the last station's late events from this one's
};

// "Station…" of the main window: the window over its ports (the chosen one ticked) and file.
void OpenStationWindow(CQuillon2Dlg& main);
