// The "History" window: every recorded run of both front ends in a sortable table, newest
// first, with "Copy" (the selected rows, or all, as tab-separated text) and "Export CSV...";
// both keep a cell that a spreadsheet would run as a formula as text.
#pragma once

#include <QDialog>
#include <filesystem>
#include <functional>
#include <vector>

#include "app/history.h"

class QLabel;
class QPushButton;
class QTableWidget;

class CHistoryDlg : public QDialog {
public:
    explicit CHistoryDlg(const std::filesystem::path& file, QWidget* parent = nullptr);

    // The save dialog of "Export CSV...": the chosen path, or a null string when cancelled.
    using SaveFn = std::function<QString(QWidget* owner)>;
    SaveFn m_saveDialog;

    void OnCopy();
    void OnExport();
    // The rows as shown (in the table's order), the selected ones only when any are.
    std::vector<RunRecord> ShownRecords(bool selectedOnly) const;

    QTableWidget* m_table;
    QLabel* m_staticWarnings;  // damaged lines, hidden when there are none
    QPushButton* m_btnCopy;
    QPushButton* m_btnExport;

private:
    std::vector<RunRecord> m_records;
};
