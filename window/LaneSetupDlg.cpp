#include "window/LaneSetupDlg.h"

#include <memory>
#include <string>

#include <QHeaderView>

#include "app/LanesFile.h"
#include "foundation/AppMode.h"
#include "foundation/ErrorReporter.h"
#include "foundation/ParamSettings.h"
#include "window/LaneEditDlg.h"

namespace {
constexpr int kLaneIdColumn = 0;
constexpr int kDescriptionColumn = 1;

// An item of the list: the list shows it, the operator cannot change it in place.
std::unique_ptr<QTableWidgetItem> ListItem(const std::string& text, Qt::Alignment alignment) {
    auto item = std::make_unique<QTableWidgetItem>(QString::fromStdString(text));
    item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
    item->setTextAlignment(alignment | Qt::AlignVCenter);
    return item;
}
} // namespace

CLaneSetupDlg::CLaneSetupDlg(QWidget* parent, CParamStore& store)
    : QDialog(parent), m_Store(store), m_Layout(this), m_Edit("Edit"), m_Ok("OK") {
    setWindowTitle(kLaneSetupCaption);
    setAttribute(Qt::WA_QuitOnClose, false);
    // A report list with full-row selection and grid lines.
    m_LaneList.setObjectName("1027");
    m_LaneList.setColumnCount(2);
    m_LaneList.setSelectionBehavior(QAbstractItemView::SelectRows);
    m_LaneList.setSelectionMode(QAbstractItemView::SingleSelection);
    m_LaneList.setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_LaneList.setShowGrid(true);
    m_LaneList.verticalHeader()->hide();
    m_LaneList.setMinimumWidth(kLaneIdColumnWidth + kLaneDescriptionColumnWidth + 24);
    m_Edit.setObjectName("1030");
    m_Ok.setObjectName("1");
    m_Layout.addWidget(&m_LaneList);
    m_Buttons.addWidget(&m_Edit);
    m_Buttons.addStretch();
    m_Buttons.addWidget(&m_Ok);
    m_Layout.addLayout(&m_Buttons);
    m_Ok.setDefault(true);
    connect(&m_Edit, &QPushButton::clicked, this, [this] { OnEdit(); });
    connect(&m_Ok, &QPushButton::clicked, this, &QDialog::accept);
}

// The controls and layouts are members: each leaves its parent as it is destroyed, before QDialog's own
// destructor looks for children to delete.
CLaneSetupDlg::~CLaneSetupDlg() = default;

int CLaneSetupDlg::DoModal() {
    OnInitDialog();
    return exec() == QDialog::Accepted ? kIdOk : kIdCancel;
}

bool CLaneSetupDlg::OnInitDialog() {
    const std::pair<const char*, Qt::Alignment> columns[] = {{kLaneIdColumnTitle, Qt::AlignRight},
                                                             {kLaneDescriptionColumnTitle, Qt::AlignLeft}};
    for (int column = 0; column < 2; ++column) {
        m_LaneList.setHorizontalHeaderItem(column, ListItem(columns[column].first, columns[column].second).release());
    }
    m_LaneList.setColumnWidth(kLaneIdColumn, kLaneIdColumnWidth);
    m_LaneList.setColumnWidth(kDescriptionColumn, kLaneDescriptionColumnWidth);
    FillLaneList();
    return true;
}

void CLaneSetupDlg::FillLaneList() {
    CItemMap ids;
    const std::string problem = CheckLaneIds(m_Store.GetParams().GetParamMap().GetValue(kParamLaneIds), ids);
    if (!problem.empty()) {
        ReportError(problem, false, AppModeFlags().StartedAsService(), 0);
        return;
    }
    m_LaneList.setUpdatesEnabled(false);
    m_LaneList.setRowCount(0);
    CStringMap descriptions;
    CLanesFile::ReadLanesFile(descriptions);
    for (const auto& [number, id] : ids) {
        const int row = m_LaneList.rowCount();
        m_LaneList.insertRow(row);
        // The list owns its items.
        m_LaneList.setItem(row, kLaneIdColumn, ListItem(id, Qt::AlignRight).release());
        m_LaneList.setItem(row, kDescriptionColumn, ListItem(LookupText(descriptions, id), Qt::AlignLeft).release());
    }
    m_LaneList.setUpdatesEnabled(true);
}

void CLaneSetupDlg::OnEdit() {
    const QModelIndexList selected = m_LaneList.selectionModel()->selectedRows();
    if (selected.isEmpty()) {
        ReportError(kSelectLaneText, false, AppModeFlags().StartedAsService(), 0);
        return;
    }
    const int row = selected.front().row();
    CLaneEditDlg edit(this);
    edit.SetLane(m_LaneList.item(row, kLaneIdColumn)->text().toStdString(),
                 m_LaneList.item(row, kDescriptionColumn)->text().toStdString());
    if (edit.DoModal() != kIdOk) {
        return;
    }
    CStringMap descriptions;
    if (!CLanesFile::ReadLanesFile(descriptions)) {
        // Writing now would keep only this lane and lose every other description.
        ReportError(kLanesFileUnreadableText, false, AppModeFlags().StartedAsService(), 0);
        return;
    }
    descriptions[edit.LaneId()] = edit.Description();
    CLanesFile::WriteLanesFile(descriptions);
    FillLaneList();
}
