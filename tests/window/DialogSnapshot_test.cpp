// The Setup-dialog snapshot on Qt's offscreen platform, with a stand-in dialog of the kinds the Setup dialog
// holds: push buttons and spin boxes hidden, text fields drawn as framed text in their place (right-aligned
// where the field is, in its font, a password as its mask), the rest enabled and nothing moved; the bitmap
// file's headers and pixels against Qt's own rendering; the reply with its GUID file name and each error.

#include "window/DialogSnapshot.h"

#include <filesystem>
#include <memory>
#include <regex>
#include <set>
#include <string>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include <gtest/gtest.h>

#include "QtTestSupport.h"
#include "common/ScopedEnvironment.h"
#include "common/TempDirTest.h"
#include "tests/app/BitmapFileCheck.h"

namespace {

using testing_bitmap::IsBitmapFile;
using testing_bitmap::ShowsText;

const std::string RS = "\x1E";

// A dialog laid out like a small Setup dialog, its data controls disabled as in the resource; controls are
// named by their resource ids.
class CStandInDialog final : public QDialog {
public:
    CStandInDialog() : m_Layout(this), m_Group("Dial Backup Information", this), m_GroupLayout(&m_Group) {
        setWindowTitle("Setup Kestrove Parameters");
        auto add = [this](QWidget& widget, const char* id, int row, int column, bool enabled) {
            widget.setObjectName(id);
            widget.setEnabled(enabled);
            m_Layout.addWidget(&widget, row, column);
        };
        m_MidLabel.setText("Merchant ID (MID)");
        add(m_MidLabel, "mid-label", 0, 0, false);
        m_Mid.setText("MERCHANT001");
        add(m_Mid, "1010", 0, 1, false);
        m_Password.setText("secret");
        m_Password.setEchoMode(QLineEdit::Password);
        add(m_Password, "1003", 1, 1, false);
        m_Timeout.setText("30");
        m_Timeout.setAlignment(Qt::AlignRight);
        QFont big = m_Timeout.font();
        big.setPointSize(big.pointSize() + 6);
        m_Timeout.setFont(big);
        add(m_Timeout, "1022", 2, 1, false);
        m_Currency.addItems({"RuvuzUvir US", "RuvuzUvir Canada"});
        m_Currency.setCurrentIndex(1);
        add(m_Currency, "currency", 3, 1, false);
        m_UsePassword.setText("Use Client / Server Password");
        m_UsePassword.setChecked(true);
        add(m_UsePassword, "1002", 4, 0, false);
        m_IpOnly.setText("IP Only");
        m_IpOnly.setChecked(true);
        add(m_IpOnly, "1030", 4, 1, false);

        m_Port.setObjectName("1018");
        m_Port.setRange(1, 254);
        m_Port.setValue(4);
        m_Port.setEnabled(false);
        m_Prefix.setObjectName("1017");
        m_Prefix.setText("9,");
        m_Prefix.setEnabled(false);
        m_GroupLayout.addWidget(&m_Port);
        m_GroupLayout.addWidget(&m_Prefix);
        m_Group.setEnabled(false);
        m_Layout.addWidget(&m_Group, 5, 0, 1, 2);

        m_LaneSetup.setText("Lane Setup");
        add(m_LaneSetup, "1039", 6, 0, true);
        m_Ok.setText("OK");
        add(m_Ok, "IDOK", 6, 1, true);
        m_Load.setText("Load New Parameters");
        add(m_Load, "1037", 7, 1, true);
    }

    QGridLayout m_Layout;
    QLabel m_MidLabel;
    QLineEdit m_Mid;
    QLineEdit m_Password;
    QLineEdit m_Timeout;
    QComboBox m_Currency;
    QCheckBox m_UsePassword;
    QRadioButton m_IpOnly;
    QGroupBox m_Group;
    QVBoxLayout m_GroupLayout;
    QSpinBox m_Port;
    QLineEdit m_Prefix;
    QPushButton m_LaneSetup;
    QPushButton m_Ok;
    QPushButton m_Load;
};

// The stand-in made and shown as the snapshot shows it: laid out, never on the screen.
std::unique_ptr<CStandInDialog> ShownStandIn() {
    auto dialog = std::make_unique<CStandInDialog>();
    dialog->setAttribute(Qt::WA_DontShowOnScreen);
    dialog->show();
    return dialog;
}

// The framed text that stands where |field| stood: its label (null when there is none).
QLabel* TextInPlaceOf(QDialog& dialog, QWidget& field) {
    const QRect place(field.mapTo(&dialog, QPoint(0, 0)), field.size());
    bool framed = false;
    for (QFrame* frame : dialog.findChildren<QFrame*>(Qt::FindDirectChildrenOnly)) {
        if (qobject_cast<QLabel*>(frame) == nullptr && frame->geometry() == place &&
            frame->frameShape() == QFrame::Box) {
            framed = !frame->isHidden();
        }
    }
    if (!framed) {
        return nullptr;
    }
    for (QLabel* label : dialog.findChildren<QLabel*>(Qt::FindDirectChildrenOnly)) {
        if (label->geometry() == place.adjusted(3, 3, -3, -3) && !label->isHidden()) {
            return label;
        }
    }
    return nullptr;
}

std::set<QWidget*> TopLevelWidgets() {
    const QWidgetList widgets = QApplication::topLevelWidgets();
    return std::set<QWidget*>(widgets.begin(), widgets.end());
}

class DialogSnapshotTest : public TempDirTest {};

TEST_F(DialogSnapshotTest, PreparingHidesButtonsAndSpinsAndShowsFieldsAsFramedText) {
    EXPECT_FALSE(PrepareDialogForBmp(nullptr));
    std::unique_ptr<CStandInDialog> dialog = ShownStandIn();
    const QRect checkBoxPlace = dialog->m_UsePassword.geometry();
    const QRect okPlace = dialog->m_Ok.geometry();
    ASSERT_TRUE(PrepareDialogForBmp(dialog.get()));

    for (QPushButton* button : {&dialog->m_LaneSetup, &dialog->m_Ok, &dialog->m_Load}) {
        EXPECT_TRUE(button->isHidden()) << button->text().toStdString();
    }
    struct Field {
        QWidget* field;
        std::string text;
        bool right;
    };
    const Field fields[] = {
        {&dialog->m_Mid, "MERCHANT001", false},
        {&dialog->m_Timeout, "30", true},
        {&dialog->m_Currency, "RuvuzUvir Canada", false},
        {&dialog->m_Port, "4", false}, // the spin box's value stays, its arrows go
        {&dialog->m_Prefix, "9,", false},
    };
    for (const Field& f : fields) {
        const std::string id = f.field->objectName().toStdString();
        EXPECT_TRUE(f.field->isHidden()) << id;
        QLabel* text = TextInPlaceOf(*dialog, *f.field);
        ASSERT_NE(nullptr, text) << id;
        EXPECT_EQ(f.text, text->text().toStdString()) << id;
        EXPECT_EQ(f.right, (text->alignment() & Qt::AlignRight) != 0) << id;
        EXPECT_EQ(f.field->font(), text->font()) << id;
        EXPECT_TRUE(text->isEnabled()) << id;
        EXPECT_EQ(Qt::PlainText, text->textFormat()) << id;
    }
    // A password stays a row of mask characters.
    QLabel* password = TextInPlaceOf(*dialog, dialog->m_Password);
    ASSERT_NE(nullptr, password);
    EXPECT_EQ(6, password->text().size());
    EXPECT_FALSE(password->text().contains("secret"));

    // Everything else is enabled, so nothing comes out grayed, and nothing has moved.
    for (QWidget* other : std::initializer_list<QWidget*>{&dialog->m_MidLabel, &dialog->m_UsePassword,
                                                          &dialog->m_IpOnly, &dialog->m_Group}) {
        EXPECT_TRUE(other->isEnabled()) << other->objectName().toStdString();
        EXPECT_FALSE(other->isHidden()) << other->objectName().toStdString();
    }
    EXPECT_EQ(checkBoxPlace, dialog->m_UsePassword.geometry());
    EXPECT_EQ(okPlace, dialog->m_Ok.geometry());
}

TEST_F(DialogSnapshotTest, TheBitmapHoldsWhatQtRendersBottomUp) {
    std::unique_ptr<CStandInDialog> dialog = ShownStandIn();
    ASSERT_TRUE(PrepareDialogForBmp(dialog.get()));
    const QImage rendered = dialog->grab().toImage().convertToFormat(QImage::Format_RGB32);
    ASSERT_TRUE(SaveWindowAsBmp(dialog.get(), "shot.tmp"));

    QImage fromFile;
    ASSERT_TRUE(IsBitmapFile(ReadFileBytes("shot.tmp"), &fromFile));
    EXPECT_EQ(dialog->size(), fromFile.size());
    EXPECT_EQ(rendered, fromFile);
    EXPECT_TRUE(ShowsText(fromFile));

    EXPECT_FALSE(SaveWindowAsBmp(nullptr, "none.tmp"));
    EXPECT_FALSE(SaveWindowAsBmp(dialog.get(), ""));
    EXPECT_FALSE(std::filesystem::exists("none.tmp"));
}

TEST_F(DialogSnapshotTest, TheReplyIsANewGuidFileInTheSharedDocumentsFolder) {
    const std::filesystem::path documents = m_TempDir.Path() / "documents";
    std::filesystem::create_directory(documents);
    CScopedEnvironmentVariable folder("KESTROVE_COMMON_DOCUMENTS_DIR", documents.c_str());
    const std::set<QWidget*> before = TopLevelWidgets();

    const DialogFactory standIn = [] { return std::make_unique<CStandInDialog>(); };
    const std::string first = MakeSettingsFormSnapshot(standIn);
    const std::string second = MakeSettingsFormSnapshot(standIn);
    const std::regex name(std::regex_replace(documents.string(), std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)") +
                          "/[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}\\.tmp");
    EXPECT_TRUE(std::regex_match(first, name)) << first;
    EXPECT_TRUE(std::regex_match(second, name)) << second;
    EXPECT_NE(first, second);
    // The files stay for the launcher; the dialogs do not.
    EXPECT_EQ(before, TopLevelWidgets());
    EXPECT_TRUE(std::filesystem::exists(first));
    EXPECT_TRUE(std::filesystem::exists(second));
    CStandInDialog measure;
    measure.setAttribute(Qt::WA_DontShowOnScreen);
    measure.show();
    QImage image;
    ASSERT_TRUE(IsBitmapFile(ReadFileBytes(first), &image));
    EXPECT_EQ(measure.size(), image.size());
    measure.close();
}

TEST_F(DialogSnapshotTest, EachFailureHasItsReplyAndLeavesNoDialogBehind) {
    const std::set<QWidget*> before = TopLevelWidgets();
    const DialogFactory standIn = [] { return std::make_unique<CStandInDialog>(); };
    {
        CScopedEnvironmentVariable folder("KESTROVE_COMMON_DOCUMENTS_DIR", (m_TempDir.Path() / "missing").c_str());
        EXPECT_EQ("ERROR" + RS + "Cannot determine common documents folder for BMP file.",
                  MakeSettingsFormSnapshot(standIn));
    }
    CScopedEnvironmentVariable folder("KESTROVE_COMMON_DOCUMENTS_DIR", m_TempDir.Path().c_str());
    EXPECT_EQ("ERROR" + RS + "Failed to create dialog window.", MakeSettingsFormSnapshot([] { return nullptr; }));
    EXPECT_EQ("ERROR" + RS + "Failed to create dialog window.", MakeSettingsFormSnapshot(nullptr));
    {
        // A folder nobody can create a file in, not even root.
        CScopedEnvironmentVariable proc("KESTROVE_COMMON_DOCUMENTS_DIR", "/proc");
        const std::string reply = MakeSettingsFormSnapshot(standIn);
        EXPECT_TRUE(std::regex_match(reply, std::regex("ERROR\x1E"
                                                       "Failed to create BMP file: \"/proc/[0-9a-f-]{36}\\.tmp\"")))
            << reply;
    }
    EXPECT_EQ(before, TopLevelWidgets());
    EXPECT_TRUE(std::filesystem::is_empty(m_TempDir.Path()));
}

} // namespace
