#pragma once
// The Lane Setup dialog: the lanes of parameter 21 "LANE IDS" with the operator's description of each from the
// lanes file, and the Edit button that changes one description through the Lane Edit dialog.

#include <QDialog>
#include <QHBoxLayout>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

#include "foundation/ParamStore.h"

inline constexpr char kLaneSetupCaption[] = "Lane Setup";
inline constexpr char kLaneIdColumnTitle[] = "NQMS Lane ID";
inline constexpr int kLaneIdColumnWidth = 150;
inline constexpr char kLaneDescriptionColumnTitle[] = "Description";
inline constexpr int kLaneDescriptionColumnWidth = 200;
inline constexpr char kSelectLaneText[] = "Select the item you wish to Edit.";

// Owns its controls; reads the parameters from |store| and the descriptions from "LanesInfo.dat" in the
// current directory. Not thread-safe: for the user-interface thread, shown modally.
class CLaneSetupDlg final : public QDialog {
public:
    explicit CLaneSetupDlg(QWidget* parent = nullptr, CParamStore& store = CParamStore::Instance());
    ~CLaneSetupDlg() override;
    CLaneSetupDlg(const CLaneSetupDlg&) = delete;
    CLaneSetupDlg& operator=(const CLaneSetupDlg&) = delete;

    // OnInitDialog, then waits until the dialog is closed: kIdOk or kIdCancel.
    int DoModal();
    // The list, filled. True.
    bool OnInitDialog();
    // One row a lane id of parameter 21, in their order, each with its description. Ids that cannot be listed
    // (none, or one empty or over 8 characters) are told to the operator and the list stays as it was.
    void FillLaneList();
    // Command 1030: the selected lane in the Lane Edit dialog; its OK writes the new description into the
    // file, keeping every other lane's line, and refills the list.
    void OnEdit();

    QTableWidget& LaneList() { return m_LaneList; }
    QPushButton& EditButton() { return m_Edit; }

private:
    CParamStore& m_Store;
    QVBoxLayout m_Layout;
    QTableWidget m_LaneList; // list control 1027
    QHBoxLayout m_Buttons;
    QPushButton m_Edit; // 1030
    QPushButton m_Ok;   // IDOK
};
