#include "window/LaneEditDlg.h"

#include "app/LanesFile.h"
#include "foundation/AppMode.h"
#include "foundation/ErrorReporter.h"

namespace {
constexpr int kDescriptionEditWidth = 320;
} // namespace

CLaneEditDlg::CLaneEditDlg(QWidget* parent)
    : QDialog(parent), m_Layout(this), m_LaneIdLabel("NQMS Lane ID"), m_DescriptionLabel("Description"), m_Ok("OK"),
      m_Cancel("Cancel") {
    setWindowTitle(kLaneEditCaption);
    setAttribute(Qt::WA_QuitOnClose, false);
    m_LaneIdEdit.setObjectName("1034");
    m_LaneIdEdit.setReadOnly(true);
    m_DescriptionEdit.setObjectName("1035");
    m_DescriptionEdit.setMinimumWidth(kDescriptionEditWidth);
    m_Ok.setObjectName("1");
    m_Cancel.setObjectName("2");
    m_Fields.addWidget(&m_LaneIdLabel, 0, 0);
    m_Fields.addWidget(&m_LaneIdEdit, 0, 1);
    m_Fields.addWidget(&m_DescriptionLabel, 1, 0);
    m_Fields.addWidget(&m_DescriptionEdit, 1, 1);
    m_Layout.addLayout(&m_Fields);
    m_Buttons.addStretch();
    m_Buttons.addWidget(&m_Ok);
    m_Buttons.addWidget(&m_Cancel);
    m_Layout.addLayout(&m_Buttons);
    m_Ok.setDefault(true);
    connect(&m_Ok, &QPushButton::clicked, this, [this] { OnOK(); });
    connect(&m_Cancel, &QPushButton::clicked, this, &QDialog::reject);
}

// The controls and layouts are members: each leaves its parent as it is destroyed, before QDialog's own
// destructor looks for children to delete.
CLaneEditDlg::~CLaneEditDlg() = default;

void CLaneEditDlg::SetLane(const std::string& laneId, const std::string& description) {
    m_LaneId = laneId;
    m_Description = description;
}

int CLaneEditDlg::DoModal() {
    DoDataExchange(false);
    m_DescriptionEdit.setFocus();
    return exec() == QDialog::Accepted ? kIdOk : kIdCancel;
}

void CLaneEditDlg::DoDataExchange(bool saveAndValidate) {
    if (!saveAndValidate) {
        m_LaneIdEdit.setText(QString::fromStdString(m_LaneId));
        m_DescriptionEdit.setText(QString::fromStdString(m_Description));
        return;
    }
    m_LaneId = m_LaneIdEdit.text().toStdString();
    // The lanes file keeps one lane a line: a line break pasted into the description would split it.
    QString description = m_DescriptionEdit.text();
    description.replace('\r', ' ').replace('\n', ' ');
    m_Description = description.toStdString();
}

void CLaneEditDlg::OnOK() {
    DoDataExchange(true);
    const bool service = AppModeFlags().StartedAsService();
    if (QString::fromStdString(m_Description).toUcs4().size() > static_cast<qsizetype>(kMaxLaneDescriptionChars)) {
        ReportError(kDescriptionTooLongText, false, service, 0);
        return;
    }
    // Only the length is tested: parameter 21 may give ids of any printable characters.
    if (m_LaneId.empty() || m_LaneId.size() > kMaxLaneIdLength) {
        ReportError(kLaneIdLengthText, false, service, 0);
        return;
    }
    accept();
}
