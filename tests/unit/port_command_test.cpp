#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/dispatch.h"
#include "form/control_ids.h"
#include "form/form_lists.h"
#include "support/rig.h"

namespace {

class OpenCommandTest : public ::testing::Test, public Rig {
 protected:
  void Press() { OnCommand(app, IDC_OPEN); }
};

TEST_F(OpenCommandTest, GoodOpenConfiguresAndEnablesSearch) {
  form.SetSelection(IDC_PC_COM, 2);
  Press();
  EXPECT_EQ(form.Text(IDC_OPEN), "CLOSE");
  EXPECT_EQ(form.Text(IDC_STATUS), "COM Opened");
  EXPECT_TRUE(form.Enabled(IDC_SEARCH));
  EXPECT_EQ(port.calls,
            (std::vector<std::string>{"Open com3", "Configure 115200", "SetTimeouts", "Purge"}));
  EXPECT_EQ(port.timeouts[0], 0xFFFFFFFFu);
  EXPECT_EQ(port.timeouts[1], 0u);
  EXPECT_EQ(port.timeouts[2], 0u);
  EXPECT_EQ(port.timeouts[3], 20u);
  EXPECT_EQ(port.timeouts[4], 1000u);
  EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(OpenCommandTest, PortNameFollowsTheListIndex) {
  const std::vector<std::pair<int, std::string>> cases = {
      {0, "com1"}, {1, "com2"}, {8, "com9"}, {9, "com10"}, {10, "com11"}, {-1, "com1"}};
  for (const auto& [index, name] : cases) {
    port.calls.clear();
    if (index < 0) {
      form.BlankList(IDC_PC_COM);
    } else {
      form.SetSelection(IDC_PC_COM, index);
    }
    form.SetText(IDC_OPEN, "OPEN");
    Press();
    ASSERT_FALSE(port.calls.empty());
    EXPECT_EQ(port.calls[0], "Open " + name) << index;
  }
}

TEST_F(OpenCommandTest, FailedOpenShowsComFailAndStillTogglesTheCaption) {
  port.failOpen = true;
  Press();
  EXPECT_EQ(form.Text(IDC_STATUS), "COM FAIL");
  EXPECT_EQ(form.Text(IDC_OPEN), "CLOSE");
  EXPECT_FALSE(form.Enabled(IDC_SEARCH));
  // Configuration fails with no port, so the time-outs are never tried.
  EXPECT_EQ(port.calls, (std::vector<std::string>{"Open com1", "Configure 115200", "Purge"}));

  Press();
  EXPECT_EQ(form.Text(IDC_STATUS), "COM FAIL");
  EXPECT_EQ(form.Text(IDC_OPEN), "OPEN");
  EXPECT_FALSE(form.Enabled(IDC_SEARCH));
}

TEST_F(OpenCommandTest, ConfigurationOrTimeoutFailureKeepsSearchDisabled) {
  port.failConfigure = true;
  Press();
  EXPECT_EQ(form.Text(IDC_STATUS), "COM Opened");
  EXPECT_FALSE(form.Enabled(IDC_SEARCH));
  EXPECT_EQ(port.calls.back(), "Purge");

  Press();
  port.failConfigure = false;
  port.failTimeouts = true;
  Press();
  EXPECT_EQ(form.Text(IDC_STATUS), "COM Opened");
  EXPECT_FALSE(form.Enabled(IDC_SEARCH));
}

TEST_F(OpenCommandTest, CloseReportsAndDisablesSearchOnly) {
  Press();
  form.EnableControl(IDC_READ, true);  // as after a unit was found
  app.awaitingAck = true;
  Press();
  EXPECT_EQ(form.Text(IDC_STATUS), "COM Closed");
  EXPECT_EQ(form.Text(IDC_OPEN), "OPEN");
  EXPECT_FALSE(form.Enabled(IDC_SEARCH));
  EXPECT_TRUE(form.Enabled(IDC_READ));
  EXPECT_TRUE(app.awaitingAck);
  EXPECT_FALSE(port.open);
}

TEST_F(OpenCommandTest, OpenCloseOpenOpensAfreshAndNeverClosesTwice) {
  Press();
  Press();
  Press();
  EXPECT_EQ(form.Text(IDC_STATUS), "COM Opened");
  int opens = 0;
  int closes = 0;
  for (const std::string& call : port.calls) {
    opens += call.rfind("Open", 0) == 0;
    closes += call == "Close";
  }
  EXPECT_EQ(opens, 2);
  EXPECT_EQ(closes, 1);
}

TEST_F(OpenCommandTest, AnyOtherCaptionDoesNothing) {
  for (const char* caption : {"open", "OPEN ", "", "CLOSED"}) {
    form.SetText(IDC_OPEN, caption);
    Press();
    EXPECT_EQ(form.Text(IDC_OPEN), caption);
  }
  EXPECT_TRUE(port.calls.empty());
}

}  // namespace
