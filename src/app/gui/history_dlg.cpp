#include "app/gui/history_dlg.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDialogButtonBox>
#include <QFile>
#include <QFileDialog>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>
#include <set>

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
    m_table->setWordWrap(false);
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
    // Paths and texts keep their end in sight; the whole is the cell's tooltip.
    for (int col = 0; col < m_table->columnCount(); ++col) {
        m_table->setColumnWidth(col, qMin(m_table->columnWidth(col), 240));
    }
    m_table->horizontalHeader()->setStretchLastSection(true);

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

    m_btnCopy = new QPushButton(QStringLiteral("&Copy"), this);
    m_btnCopy->setToolTip(QStringLiteral("Copy the selected runs (or all) as tab-separated text"));
    m_btnExport = new QPushButton(QStringLiteral("&Export CSV…"), this);
    m_btnExport->setToolTip(QStringLiteral("Save the runs as a CSV file"));
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    buttons->addButton(m_btnCopy, QDialogButtonBox::ActionRole);
    buttons->addButton(m_btnExport, QDialogButtonBox::ActionRole);
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

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_table);
    layout->addWidget(m_staticWarnings);
    layout->addWidget(buttons);
    resize(960, 420);
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
        if (!selected.empty() && selected.count(row) == 0) {
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
    const std::string csv = HistoryCsv(ShownRecords(false));
    QFile out(path);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        out.write(csv.data(), static_cast<qint64>(csv.size())) != static_cast<qint64>(csv.size()) ||
        !out.flush()) {
        QMessageBox::warning(this, kExportCaption,
                             QStringLiteral("%1: %2").arg(path, out.errorString()));
    }
}
