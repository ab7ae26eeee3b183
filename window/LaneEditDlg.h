#pragma once
// The Lane Edit dialog: one lane's id, shown read-only, and the operator's description of it, at most 50
// characters.

#include <cstddef>
#include <string>

#include <QDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

inline constexpr char kLaneEditCaption[] = "Lane Edit";
inline constexpr size_t kMaxLaneDescriptionChars = 50;
inline constexpr char kDescriptionTooLongText[] = "Description is too long (50 chars max).";
inline constexpr char kLaneIdLengthText[] = "NQMS Lane IDs must be 1-8 digits.";

// Owns its controls and the two texts. Not thread-safe: for the user-interface thread, shown modally.
class CLaneEditDlg final : public QDialog {
public:
    explicit CLaneEditDlg(QWidget* parent = nullptr);
    ~CLaneEditDlg() override;
    CLaneEditDlg(const CLaneEditDlg&) = delete;
    CLaneEditDlg& operator=(const CLaneEditDlg&) = delete;

    // The lane shown when the dialog opens.
    void SetLane(const std::string& laneId, const std::string& description);
    const std::string& LaneId() const { return m_LaneId; }
    const std::string& Description() const { return m_Description; }

    // Shows the lane and waits: kIdOk once OK has accepted the texts, kIdCancel after Cancel or Esc.
    int DoModal();
    // Moves the texts into the controls, or (|saveAndValidate|) the controls' contents into the texts.
    void DoDataExchange(bool saveAndValidate);
    // Takes the texts; a description over 50 characters or an id that is empty or over 8 characters is told
    // to the operator and the dialog stays open; otherwise it closes with OK.
    void OnOK();

    QLineEdit& LaneIdControl() { return m_LaneIdEdit; }
    QLineEdit& DescriptionControl() { return m_DescriptionEdit; }
    QPushButton& OkButton() { return m_Ok; }

private:
    QVBoxLayout m_Layout;
    QGridLayout m_Fields;
    QLabel m_LaneIdLabel;
    QLineEdit m_LaneIdEdit; // edit 1034
    QLabel m_DescriptionLabel;
    QLineEdit m_DescriptionEdit; // edit 1035
    QHBoxLayout m_Buttons;
    QPushButton m_Ok;     // IDOK
    QPushButton m_Cancel; // IDCANCEL
    std::string m_LaneId;
    std::string m_Description;
};
