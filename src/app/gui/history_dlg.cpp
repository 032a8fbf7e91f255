#include "app/gui/history_dlg.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <iterator>
#include <set>
#include <string_view>

#include "app/gui/version.h"

namespace {

const QString kExportCaption = QStringLiteral("Export CSV");

constexpr int kRecordRole = Qt::UserRole;    // index into m_records (first column)
constexpr int kSortRole = Qt::UserRole + 1;  // what the column sorts by

// Sorts numbers by value, and equal start times by the order they were written.
class CHistoryItem : public QTableWidgetItem {
public:
    using QTableWidgetItem::QTableWidgetItem;
    bool operator<(const QTableWidgetItem& other) const override {
        const QVariant a = data(kSortRole);
        const QVariant b = other.data(kSortRole);
        if (a.isValid() && b.isValid()) {
            return QVariant::compare(a, b) == QPartialOrdering::Less;
        }
        return QTableWidgetItem::operator<(other);
    }
};

// What a technician reads first, in this order; the other columns follow as recorded.
const char* const kFirstColumns[] = {"Start (UTC)", "Outcome",    "Ending", "Port",
                                     "File",        "Bytes sent", "Detail"};

QString Tsv(const QString& text) {
    QString out = text;
    out.replace(QLatin1Char('\t'), QLatin1Char(' '));
    out.replace(QLatin1Char('\n'), QLatin1Char(' '));
    out.remove(QLatin1Char('\r'));
    return out;
}

QString DefaultSaveDialog(QWidget* owner) {
    return QFileDialog::getSaveFileName(owner, kExportCaption,
                                        QStringLiteral("quillon-history.csv"),
                                        QStringLiteral("CSV files (*.csv);;All files (*)"));
}

}  // namespace

CHistoryDlg::CHistoryDlg(const std::filesystem::path& file, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint | Qt::WindowMaximizeButtonHint),
      m_saveDialog(&DefaultSaveDialog) {
    setWindowTitle(QStringLiteral("History"));
    setWindowIcon(QuillonIcon());

    HistoryContents history = ReadHistory(file);
    m_records = std::move(history.records);

    const auto& columns = HistoryColumns();
    m_table = new QTableWidget(static_cast<int>(m_records.size()), static_cast<int>(columns.size()),
                               this);
    m_table->setAccessibleName(QStringLiteral("Recorded runs"));
    QStringList titles;
    for (const HistoryColumn& column : columns) {
        titles << QString::fromUtf8(column.title);
    }
    m_table->setHorizontalHeaderLabels(titles);
    m_table->verticalHeader()->hide();
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setWordWrap(true);  // Ending and Detail wrap to their column
    for (int row = 0; row < static_cast<int>(m_records.size()); ++row) {
        const RunRecord& record = m_records[static_cast<std::size_t>(row)];
        for (int col = 0; col < static_cast<int>(columns.size()); ++col) {
            const HistoryColumn& column = columns[static_cast<std::size_t>(col)];
            const QString text = QString::fromStdString(column.text(record));
            auto* item =
                new CHistoryItem(QString(text).replace(QLatin1Char('\n'), QLatin1Char(' ')));
            item->setToolTip(text);
            if (column.numeric) {
                item->setData(kSortRole, text.toULongLong());
                item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
            }
            if (col == 0) {
                item->setData(kRecordRole, row);
                item->setData(kSortRole,
                              text + QStringLiteral("/%1").arg(row, 10, 10, QLatin1Char('0')));
            }
            m_table->setItem(row, col, item);
        }
    }
    m_table->setSortingEnabled(true);
    m_table->sortByColumn(0, Qt::DescendingOrder);
    m_table->setTextElideMode(Qt::ElideMiddle);
    m_table->resizeColumnsToContents();
    // Paths keep their end in sight; the whole is the cell's tooltip.
    for (int col = 0; col < m_table->columnCount(); ++col) {
        m_table->setColumnWidth(col, qMin(m_table->columnWidth(col), 240));
    }
    QHeaderView* header = m_table->horizontalHeader();
    for (int visual = 0; visual < static_cast<int>(std::size(kFirstColumns)); ++visual) {
        for (int col = 0; col < static_cast<int>(columns.size()); ++col) {
            if (std::string_view(columns[static_cast<std::size_t>(col)].title) ==
                kFirstColumns[visual]) {
                header->moveSection(header->visualIndex(col), visual);
                // Ending and Detail in sight beside the others, the texts wrapped within them.
                const int widths[] = {0, 0, 180, 130, 130, 0, 290};
                if (widths[visual] > 0) {
                    m_table->setColumnWidth(col, qMin(m_table->columnWidth(col), widths[visual]));
                }
                if (visual == 2 || visual == 6) {
                    m_table->setColumnWidth(col, widths[visual]);
                }
            }
        }
    }
    m_table->resizeRowsToContents();

    m_staticWarnings = new QLabel(this);
    m_staticWarnings->setTextFormat(Qt::PlainText);
    m_staticWarnings->setWordWrap(true);
    QStringList warnings;
    for (const std::string& w : history.warnings) {
        warnings << QString::fromStdString(w);
    }
    if (m_records.empty() && warnings.isEmpty()) {
        warnings << QStringLiteral("No runs recorded yet in %1")
                        .arg(QString::fromStdString(file.string()));
    }
    m_staticWarnings->setText(warnings.join(QLatin1Char('\n')));
    m_staticWarnings->setVisible(!warnings.isEmpty());

    m_editFilter = new QLineEdit(this);
    m_editFilter->setPlaceholderText(QStringLiteral("Filter: text in any column"));
    m_editFilter->setClearButtonEnabled(true);
    m_editFilter->setAccessibleName(QStringLiteral("Filter"));
    m_comboOutcome = new QComboBox(this);
    m_comboOutcome->setAccessibleName(QStringLiteral("Outcome filter"));
    m_comboOutcome->addItem(QStringLiteral("All outcomes"));
    std::set<std::string> outcomes;
    for (const RunRecord& record : m_records) {
        outcomes.insert(record.outcome);
    }
    for (const std::string& outcome : outcomes) {
        m_comboOutcome->addItem(QString::fromStdString(outcome), QString::fromStdString(outcome));
    }
    connect(m_editFilter, &QLineEdit::textChanged, this, [this] { ApplyFilter(); });
    connect(m_comboOutcome, &QComboBox::currentIndexChanged, this, [this] { ApplyFilter(); });
    m_staticResult = new QLabel(this);
    m_staticResult->setTextFormat(Qt::PlainText);
    m_staticResult->setWordWrap(true);
    m_staticResult->hide();

    m_btnCopy = new QPushButton(QStringLiteral("&Copy"), this);
    m_btnCopy->setToolTip(QStringLiteral("Copy the selected runs (or all) as tab-separated text"));
    m_btnExport = new QPushButton(QStringLiteral("&Export CSV…"), this);
    m_btnExport->setToolTip(QStringLiteral("Save the runs as a CSV file"));
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    buttons->addButton(m_btnCopy, QDialogButtonBox::ActionRole);
    buttons->addButton(m_btnExport, QDialogButtonBox::ActionRole);
    // Return closes the window; Copy and Export take a click or their key.
    m_btnCopy->setAutoDefault(false);
    m_btnExport->setAutoDefault(false);
    buttons->button(QDialogButtonBox::Close)->setDefault(true);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(m_btnCopy, &QPushButton::clicked, this, [this] { OnCopy(); });
    connect(m_btnExport, &QPushButton::clicked, this, [this] { OnExport(); });

    // The same two commands on the table's context menu.
    auto* copy = new QAction(QStringLiteral("Copy"), m_table);
    copy->setShortcut(QKeySequence::Copy);
    copy->setShortcutContext(Qt::WidgetShortcut);
    connect(copy, &QAction::triggered, this, [this] { OnCopy(); });
    auto* exportCsv = new QAction(QStringLiteral("Export CSV…"), m_table);
    connect(exportCsv, &QAction::triggered, this, [this] { OnExport(); });
    m_table->addAction(copy);
    m_table->addAction(exportCsv);
    m_table->setContextMenuPolicy(Qt::ActionsContextMenu);

    auto* filters = new QHBoxLayout;
    filters->addWidget(m_editFilter, 1);
    filters->addWidget(m_comboOutcome);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(filters);
    layout->addWidget(m_table);
    layout->addWidget(m_staticWarnings);
    layout->addWidget(m_staticResult);
    layout->addWidget(buttons);
    resize(1100, 420);
}

std::vector<RunRecord> CHistoryDlg::ShownRecords(bool selectedOnly) const {
    std::set<int> selected;
    if (selectedOnly) {
        for (const QModelIndex& index : m_table->selectionModel()->selectedRows()) {
            selected.insert(index.row());
        }
    }
    std::vector<RunRecord> records;
    for (int row = 0; row < m_table->rowCount(); ++row) {
        if (m_table->isRowHidden(row) || (!selected.empty() && selected.count(row) == 0)) {
            continue;
        }
        const int index = m_table->item(row, 0)->data(kRecordRole).toInt();
        records.push_back(m_records[static_cast<std::size_t>(index)]);
    }
    return records;
}

void CHistoryDlg::OnCopy() {
    const auto& columns = HistoryColumns();
    QStringList lines;
    QStringList header;
    for (const HistoryColumn& column : columns) {
        header << QString::fromUtf8(column.title);
    }
    lines << header.join(QLatin1Char('\t'));
    for (const RunRecord& record : ShownRecords(true)) {
        QStringList fields;
        for (const HistoryColumn& column : columns) {
            fields << Tsv(QString::fromStdString(SpreadsheetCell(column.text(record))));
        }
        lines << fields.join(QLatin1Char('\t'));
    }
    QApplication::clipboard()->setText(lines.join(QLatin1Char('\n')) + QLatin1Char('\n'));
}

void CHistoryDlg::OnExport() {
    const QString path = m_saveDialog ? m_saveDialog(this) : QString();
    if (path.isEmpty()) {
        return;
    }
    const std::vector<RunRecord> records = ShownRecords(false);
    const std::string csv = HistoryCsv(records);
    QFile out(path);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        out.write(csv.data(), static_cast<qint64>(csv.size())) != static_cast<qint64>(csv.size()) ||
        !out.flush()) {
        QMessageBox::warning(this, kExportCaption,
                             QStringLiteral("%1: %2").arg(path, out.errorString()));
        return;
    }
    const auto rows = static_cast<int>(records.size());  // a quoted cell may hold line breaks
    m_staticResult->setText(QStringLiteral("Saved %1 %2 to %3")
                                .arg(rows)
                                .arg(rows == 1 ? QStringLiteral("run") : QStringLiteral("runs"))
                                .arg(QDir::toNativeSeparators(path)));
    m_staticResult->show();
}

void CHistoryDlg::ApplyFilter() {
    const QString text = m_editFilter->text().trimmed();
    const QString outcome = m_comboOutcome->currentData().toString();
    for (int row = 0; row < m_table->rowCount(); ++row) {
        bool shown =
            outcome.isEmpty() ||
            m_records[static_cast<std::size_t>(m_table->item(row, 0)->data(kRecordRole).toInt())]
                    .outcome == outcome.toStdString();
        if (shown && !text.isEmpty()) {
            shown = false;
            for (int col = 0; col < m_table->columnCount() && !shown; ++col) {
                // The tooltip holds the whole text, line breaks and all.
                shown = m_table->item(row, col)->toolTip().contains(text, Qt::CaseInsensitive);
            }
        }
        m_table->setRowHidden(row, !shown);
    }
}
