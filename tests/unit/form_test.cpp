#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "app/dispatch.h"
#include "form/control_ids.h"
#include "form/form_lists.h"
#include "support/fake_seams.h"
#include "support/memory_form.h"

namespace {

std::vector<std::string> Entries(const TestForm& form, int id) { return form.Entries(id); }

TEST(FormSetUp, FillsEveryListInOrderWithItsInitialSelection) {
  TestForm form;
  SetUpForm(form);
  EXPECT_EQ(Entries(form, IDC_PC_COM),
            (std::vector<std::string>{"COM1", "COM2", "COM3", "COM4", "COM5", "COM6", "COM7",
                                      "COM8", "COM9", "COM10", "COM11"}));
  // Position order, not sorted order: "115200" stays last.
  EXPECT_EQ(Entries(form, IDC_BAUD),
            (std::vector<std::string>{"1200", "2400", "4800", "9600", "19200", "38400", "57600",
                                      "115200"}));
  EXPECT_EQ(Entries(form, IDC_STOP_BITS), (std::vector<std::string>{"0.5", "1", "1.5", "2"}));
  EXPECT_EQ(Entries(form, IDC_INPUT3),
            (std::vector<std::string>{"No Alarm", "High Alarm", "Low Alarm"}));
  EXPECT_EQ(Entries(form, IDC_INPUT4), Entries(form, IDC_INPUT3));
  EXPECT_EQ(Entries(form, IDC_WORK_MODE),
            (std::vector<std::string>{"Always-on", "Avaken", "GPRS Dial-up"}));
  EXPECT_EQ(Entries(form, IDC_DATA_MODE), (std::vector<std::string>{"Transparent", "Protocol"}));
  EXPECT_EQ(Entries(form, IDC_OUTPUT2), (std::vector<std::string>{"Low Level", "High Level"}));

  EXPECT_EQ(form.Text(IDC_BAUD), "115200");
  EXPECT_EQ(form.Text(IDC_STOP_BITS), "1");
  EXPECT_EQ(form.Text(IDC_DATA_BITS), "7");
  for (int id : {IDC_PC_COM, IDC_PARITY, IDC_PROTOCOL, IDC_INPUT3, IDC_INPUT4, IDC_DEBUG_INFO,
                 IDC_DATA_MODE, IDC_OUTPUT1, IDC_OUTPUT2, IDC_WORK_MODE, IDC_DATA_BITS}) {
    EXPECT_EQ(form.GetSelection(id), 0) << id;
  }
  EXPECT_EQ(form.GetSelection(IDC_BAUD), 7);
  EXPECT_EQ(form.GetSelection(IDC_STOP_BITS), 1);
}

TEST(FormSetUp, SetsLimitsAndIconBeforeTheLists) {
  TestForm form;
  SetUpForm(form);
  ASSERT_GE(form.log.size(), 4u);
  EXPECT_EQ(form.log[0], "SetTextLimit 1032 87");
  EXPECT_EQ(form.log[1], "SetTextLimit 1036 87");
  EXPECT_EQ(form.log[2], "SetTextLimit 1005 11");
  EXPECT_EQ(form.log[3], "SetSmallIcon 1");
  EXPECT_EQ(form.LimitOf(IDC_CENTER_PHONE2), 0);
}

TEST(FormSetUp, TypingIsCutByTheLimitButProgramTextIsNot) {
  TestForm form;
  SetUpForm(form);
  form.Type(IDC_CENTER_PHONE1, "123456789012");
  EXPECT_EQ(form.Text(IDC_CENTER_PHONE1), "12345678901");
  form.Type(IDC_CENTER_PHONE2, "123456789012345");
  EXPECT_EQ(form.Text(IDC_CENTER_PHONE2), "123456789012345");
  form.Type(IDC_REG_PACKAGE, std::string(88, 'A'));
  EXPECT_EQ(form.Text(IDC_REG_PACKAGE).size(), 87u);
  form.SetText(IDC_CENTER_PHONE1, std::string(40, '9').c_str());
  EXPECT_EQ(form.Text(IDC_CENTER_PHONE1).size(), 40u);
}

TEST(FormAccess, GetTextHonoursTheCallersMaximum) {
  TestForm form;
  form.SetText(IDC_MASTER_IP, "abcdef");
  char buffer[8];
  std::memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(form.GetText(IDC_MASTER_IP, buffer, 4), 3u);
  EXPECT_STREQ(buffer, "abc");
  EXPECT_EQ(buffer[4], 'x');
  EXPECT_EQ(form.GetText(IDC_MASTER_IP, buffer, 0), 0u);
}

class ClearTest : public ::testing::Test {
 protected:
  void SetUp() override {
    app.form = &form;
    app.boxes = &boxes;
    app.sleeper = &sleeper;
    SetUpForm(form);
    for (int id : kClearedEdits) {
      form.SetText(id, "value");
    }
    form.SetText(IDC_STATUS, "COM Opened");
    form.SetSelection(IDC_PC_COM, 4);
    form.log.clear();
  }
  TestForm form;
  FakeBoxes boxes;
  FakeSleeper sleeper;
  AppState app{};
};

TEST_F(ClearTest, EmptiesTheFieldsAndBlanksTheListsInOrder) {
  OnCommand(app, IDC_CLEAR);
  for (int id : kClearedEdits) {
    EXPECT_EQ(form.Text(id), "") << id;
  }
  for (int id : kClearedLists) {
    EXPECT_EQ(form.GetSelection(id), -1) << id;
    EXPECT_EQ(form.Text(id), "") << id;
  }
  ASSERT_EQ(form.log.size(), 31u);
  EXPECT_EQ(form.log.front(), "SetText 1034 ");
  EXPECT_EQ(form.log[19], "BlankList 1021");
  // Debug information comes before input 4.
  EXPECT_EQ(form.log[25], "BlankList 1054");
  EXPECT_EQ(form.log[26], "BlankList 1056");
  EXPECT_EQ(form.log.back(), "BlankList 1063");
}

TEST_F(ClearTest, LeavesPortChoiceStatusAndButtonsAlone) {
  OnCommand(app, IDC_CLEAR);
  EXPECT_EQ(form.GetSelection(IDC_PC_COM), 4);
  EXPECT_EQ(form.Text(IDC_STATUS), "COM Opened");
  EXPECT_EQ(form.Text(IDC_OPEN), "OPEN");
  EXPECT_FALSE(form.Enabled(IDC_READ));
  EXPECT_TRUE(form.Enabled(IDC_OPEN));
}

TEST_F(ClearTest, UnknownCommandsAndEnterOrEscDoNothing) {
  for (int id : {1, 2, 0, 999, IDC_STATUS, IDC_PC_COM, IDC_MASTER_IP}) {
    OnCommand(app, id);
  }
  EXPECT_TRUE(form.log.empty());
  EXPECT_TRUE(boxes.shown.empty());
  EXPECT_FALSE(form.Ended());
}

}  // namespace
