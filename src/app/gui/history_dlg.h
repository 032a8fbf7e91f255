// The "History" window: every recorded run of both front ends in a sortable table, newest
// first, the columns a technician reads first in front; a text and an outcome filter; "Copy"
// (the selected rows, or all shown, as tab-separated text) and "Export CSV..." (the rows
// shown); both keep a cell that a spreadsheet would run as a formula as text.
#pragma once

#include <QDialog>
#include <filesystem>
#include <functional>
#include <vector>

#include "app/history.h"

class QComboBox;
class QLabel;
class QLineEdit;
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
    // Hides the rows that the filters leave out.
    void ApplyFilter();
    // The rows as shown (in the table's order, filtered), the selected ones only when any are.
    std::vector<RunRecord> ShownRecords(bool selectedOnly) const;

    QTableWidget* m_table;
    QLabel* m_staticWarnings;   // damaged lines, hidden when there are none
    QLineEdit* m_editFilter;    // text in any column, any case
    QComboBox* m_comboOutcome;  // "All outcomes", then each outcome recorded
    QLabel* m_staticResult;     // where the last export went, and how many rows
    QPushButton* m_btnCopy;
    QPushButton* m_btnExport;

private:
    std::vector<RunRecord> m_records;
};
