// The Lane Setup and Lane Edit dialogs on Qt's offscreen platform: the list of parameter 21's lanes with their
// descriptions, every message either dialog gives, and the lanes file an edit writes.

#include "window/LaneSetupDlg.h"

#include <string>
#include <vector>

#include <QHeaderView>
#include <QTest>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ModalSteps.h"
#include "QtTestSupport.h"
#include "app/LanesFile.h"
#include "common/TempDirTest.h"
#include "tests/app/InterfaceFakes.h"
#include "tests/app/ScriptedPresenter.h"
#include "window/LaneEditDlg.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

const std::string kFs(1, '\x1c');

class LaneDialogsTest : public TempDirTest {
protected:
    void SetUp() override {
        PrepareStartUpState();
        UseLaneIds("1$2$3");
    }

    // Parameter 21 as given (values its type refuses, "", too).
    static void UseLaneIds(const std::string& laneIds) {
        ASSERT_TRUE(
            CParamStore::Instance().SetParams(ParamsWithUnchecked(ConfiguredSettings(), {{kParamLaneIds, laneIds}})));
    }
    static std::vector<std::string> Rows(CLaneSetupDlg& dialog) {
        std::vector<std::string> rows;
        for (int row = 0; row < dialog.LaneList().rowCount(); ++row) {
            rows.push_back(dialog.LaneList().item(row, 0)->text().toStdString() + "|" +
                           dialog.LaneList().item(row, 1)->text().toStdString());
        }
        return rows;
    }
    std::vector<std::string> Boxes() const { return m_Journal.Entries(); }
    static std::string OkBox(const std::string& text) { return "Box[Ok,1]: " + text; }

    CJournal m_Journal;
    CScriptedPresenter m_Presenter{m_Journal};
    CScopedPresenter m_PresenterScope{m_Presenter};
};

} // namespace

TEST_F(LaneDialogsTest, ListsEveryLaneWithItsDescription) {
    WriteFileBytes(kLanesFileName, "3" + kFs + "Drive-through\r\n1" + kFs + "Front counter\r\n9" + kFs + "Gone\r\n");
    CLaneSetupDlg dialog;
    ASSERT_TRUE(dialog.OnInitDialog());
    EXPECT_EQ(kLaneSetupCaption, dialog.windowTitle().toStdString());
    // In parameter 21's order; a lane without a line has no description, a line without a lane is not listed.
    EXPECT_THAT(Rows(dialog), ElementsAre("1|Front counter", "2|", "3|Drive-through"));
    QTableWidget& list = dialog.LaneList();
    EXPECT_EQ("1027", list.objectName().toStdString());
    EXPECT_EQ("NQMS Lane ID", list.horizontalHeaderItem(0)->text().toStdString());
    EXPECT_EQ("Description", list.horizontalHeaderItem(1)->text().toStdString());
    EXPECT_EQ(150, list.columnWidth(0));
    EXPECT_EQ(200, list.columnWidth(1));
    EXPECT_TRUE(list.item(0, 0)->textAlignment() & Qt::AlignRight);
    EXPECT_TRUE(list.item(0, 1)->textAlignment() & Qt::AlignLeft);
    EXPECT_EQ(QAbstractItemView::SelectRows, list.selectionBehavior());
    EXPECT_TRUE(list.showGrid());
    EXPECT_EQ(QAbstractItemView::NoEditTriggers, list.editTriggers());
    EXPECT_EQ("1030", dialog.EditButton().objectName().toStdString());
    EXPECT_THAT(Boxes(), IsEmpty());

    // A "$" after the last id ends it: the ids before it are listed.
    UseLaneIds("1$2$");
    dialog.FillLaneList();
    EXPECT_THAT(Rows(dialog), ElementsAre("1|Front counter", "2|"));
}

TEST_F(LaneDialogsTest, LaneIdsThatCannotBeListedAreToldAndTheListStaysAsItWas) {
    CLaneSetupDlg dialog;
    ASSERT_TRUE(dialog.OnInitDialog());
    ASSERT_EQ(3, dialog.LaneList().rowCount());
    struct Case {
        std::string laneIds;
        std::string message;
    };
    const Case cases[] = {
        {"", "No LaneId(s) stored."},
        {"1$$3", "Lane Id(s) are not formatted correctly -  they should be 1-8 in length."},
        {"123456789", "Lane Id(s) are not formatted correctly -  they should be 1-8 in length."},
        {"1$123456789$3", "Lane Id(s) are not formatted correctly -  they should be 1-8 in length."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("\"" + c.laneIds + "\"");
        UseLaneIds(c.laneIds);
        const size_t before = Boxes().size();
        dialog.FillLaneList();
        ASSERT_EQ(before + 1, Boxes().size());
        EXPECT_EQ(OkBox(c.message), Boxes().back());
        EXPECT_THAT(Rows(dialog), ElementsAre("1|", "2|", "3|"));
    }
}

TEST_F(LaneDialogsTest, EditWithoutASelectionAsksForOne) {
    CLaneSetupDlg dialog;
    ASSERT_TRUE(dialog.OnInitDialog());
    dialog.OnEdit();
    EXPECT_THAT(Boxes(), ElementsAre(OkBox("Select the item you wish to Edit.")));
}

TEST_F(LaneDialogsTest, EditWritesTheNewDescriptionAndKeepsEveryOtherLine) {
    WriteFileBytes(kLanesFileName, "1" + kFs + "Front counter\r\n9" + kFs + "Old lane\r\n");
    CLaneSetupDlg dialog;
    CModalSteps steps;
    std::string shownId;
    std::string shownDescription;
    bool idReadOnly = false;
    // Lane 2, first left with Cancel, then given a description.
    auto editLane = [](CLaneSetupDlg& setup, int row) {
        setup.LaneList().selectRow(row);
        QTest::mouseClick(&setup.EditButton(), Qt::LeftButton);
    };
    steps.When<CLaneSetupDlg>([&](CLaneSetupDlg& setup) { editLane(setup, 1); });
    steps.When<CLaneEditDlg>([](CLaneEditDlg& edit) {
        edit.DescriptionControl().setText("Not this");
        edit.reject();
    });
    steps.When<CLaneSetupDlg>([&](CLaneSetupDlg& setup) {
        EXPECT_EQ("1" + kFs + "Front counter\r\n9" + kFs + "Old lane\r\n", ReadFileBytes(kLanesFileName));
        editLane(setup, 1);
    });
    steps.When<CLaneEditDlg>([&](CLaneEditDlg& edit) {
        shownId = edit.LaneIdControl().text().toStdString();
        shownDescription = edit.DescriptionControl().text().toStdString();
        idReadOnly = edit.LaneIdControl().isReadOnly();
        edit.DescriptionControl().setText("Self checkout");
        QTest::mouseClick(&edit.OkButton(), Qt::LeftButton);
    });
    // Then lane 1's description is replaced.
    steps.When<CLaneSetupDlg>([&](CLaneSetupDlg& setup) { editLane(setup, 0); });
    steps.When<CLaneEditDlg>([](CLaneEditDlg& edit) {
        EXPECT_EQ("Front counter", edit.DescriptionControl().text().toStdString());
        edit.DescriptionControl().setText("Main counter");
        QTest::mouseClick(&edit.OkButton(), Qt::LeftButton);
    });
    std::vector<std::string> listed;
    steps.When<CLaneSetupDlg>([&](CLaneSetupDlg& setup) {
        listed = Rows(setup);
        setup.accept();
    });
    EXPECT_EQ(kIdOk, dialog.DoModal());
    EXPECT_TRUE(steps.Done());

    EXPECT_EQ("2", shownId);
    EXPECT_EQ("", shownDescription);
    EXPECT_TRUE(idReadOnly);
    EXPECT_THAT(listed, ElementsAre("1|Main counter", "2|Self checkout", "3|"));
    // Every lane that had a line keeps it (lane 9 too), the edited ones get or replace theirs.
    CStringMap lanes;
    ASSERT_TRUE(CLanesFile::ReadLanesFile(lanes));
    EXPECT_EQ((CStringMap{{"1", "Main counter"}, {"2", "Self checkout"}, {"9", "Old lane"}}), lanes);
    EXPECT_THAT(Boxes(), IsEmpty());
}

TEST_F(LaneDialogsTest, AnEditIsNotSavedOverALanesFileThatCannotBeRead) {
    // A folder in the file's place cannot be read; writing the one edited lane would replace it.
    std::filesystem::create_directories(std::filesystem::path(kLanesFileName) / "inside");
    CLaneSetupDlg dialog;
    CModalSteps steps;
    steps.When<CLaneSetupDlg>([](CLaneSetupDlg& setup) {
        setup.LaneList().selectRow(0);
        QTest::mouseClick(&setup.EditButton(), Qt::LeftButton);
    });
    steps.When<CLaneEditDlg>([](CLaneEditDlg& edit) {
        edit.DescriptionControl().setText("Front counter");
        QTest::mouseClick(&edit.OkButton(), Qt::LeftButton);
    });
    steps.When<CLaneSetupDlg>([](CLaneSetupDlg& setup) { setup.accept(); });
    EXPECT_EQ(kIdOk, dialog.DoModal());
    EXPECT_TRUE(steps.Done());
    EXPECT_THAT(Boxes(), ElementsAre(OkBox(kLanesFileUnreadableText)));
    EXPECT_TRUE(std::filesystem::is_directory(std::filesystem::path(kLanesFileName) / "inside"));
}

TEST_F(LaneDialogsTest, LaneEditTakesFiftyCharactersAndAnIdOfOneToEight) {
    struct Case {
        std::string id;
        QString description;
        std::string message; // "" when OK closes the dialog
    };
    const QString fifty(50, 'd');
    const Case cases[] = {
        {"1", fifty, ""},
        {"1", fifty + "d", "Description is too long (50 chars max)."},
        {"1", QString(50, QChar(0x00E4)), ""}, // characters, not bytes
        {"1", QString(51, QChar(0x00E4)), kDescriptionTooLongText},
        {"12345678", "Front", ""},
        {"", "Front", "NQMS Lane IDs must be 1-8 digits."},
        {"123456789", "Front", kLaneIdLengthText},
        {"", fifty + "d", kDescriptionTooLongText}, // the description is looked at first
        {"1", "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id + " / " + c.description.toStdString());
        CLaneEditDlg edit;
        edit.SetLane(c.id, "");
        edit.DoDataExchange(false);
        edit.DescriptionControl().setText(c.description);
        edit.show();
        const size_t before = Boxes().size();
        edit.OnOK();
        if (c.message.empty()) {
            EXPECT_EQ(QDialog::Accepted, edit.result());
            EXPECT_FALSE(edit.isVisible());
            EXPECT_EQ(c.description.toStdString(), edit.Description());
            EXPECT_EQ(before, Boxes().size());
        } else {
            EXPECT_TRUE(edit.isVisible()) << "the dialog stays open";
            EXPECT_NE(QDialog::Accepted, edit.result());
            ASSERT_EQ(before + 1, Boxes().size());
            EXPECT_EQ(OkBox(c.message), Boxes().back());
        }
    }
}

TEST_F(LaneDialogsTest, LineBreaksInADescriptionNeverSplitTheLanesFileLine) {
    CLaneEditDlg edit;
    edit.SetLane("2", "");
    edit.DoDataExchange(false);
    edit.DescriptionControl().setText("Front\ncounter\r\n3");
    ASSERT_TRUE(edit.DescriptionControl().text().contains('\n')) << "the control keeps what was pasted";
    edit.OnOK();
    ASSERT_EQ(QDialog::Accepted, edit.result());
    EXPECT_EQ(std::string::npos, edit.Description().find_first_of("\r\n"));
    CStringMap lanes{{"1", "A"}, {edit.LaneId(), edit.Description()}, {"3", "C"}};
    ASSERT_TRUE(CLanesFile::WriteLanesFile(lanes));
    CStringMap read;
    ASSERT_TRUE(CLanesFile::ReadLanesFile(read));
    EXPECT_EQ(lanes, read);
}
