#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "app/device_ops.h"
#include "app/dispatch.h"
#include "form/control_ids.h"
#include "form/form_lists.h"
#include "support/rig.h"

namespace {

using Bytes = FakePort::Bytes;

const Bytes kFound = {0x7B, 0x90, 0x00, 0x00, 0x7C};
const Bytes kAck = {0x7B, 0x92, 0x00, 0x00, 0x7C};
const Bytes kProbe = {'D', 'E', 'D', 'E', 'D', 'E'};

// A record whose texts decode to recognisable values.
Bytes SampleRecord() {
  Bytes record(600, 0);
  std::memcpy(&record[0], "UDP", 3);
  std::memcpy(&record[30], "unit.example.com", 16);
  std::memcpy(&record[60], "7001", 4);
  record[180] = 0x7B;
  record[181] = 0x0A;
  record[209] = 2;
  std::memcpy(&record[240], "9600", 4);
  record[250] = '8';
  record[373] = '5';
  record[374] = 33;
  std::memcpy(&record[390], "internet", 8);
  return record;
}

// The unit's reply to a read request: three header bytes, the record, six more.
Bytes ConfigReply(const Bytes& record, std::size_t length = 609) {
  Bytes reply = {0x7B, 0x94, 0x00};
  reply.insert(reply.end(), record.begin(), record.end());
  reply.insert(reply.end(), {0, 0, 0, 0, 0, 0x7C});
  reply.resize(length);
  return reply;
}

class DeviceOpsTest : public ::testing::Test, public Rig {
 protected:
  void SetUp() override {
    OnCommand(app, IDC_OPEN);
    ASSERT_EQ(form.Text(IDC_STATUS), "COM Opened");
    port.calls.clear();
    port.writes.clear();
    port.readSizes.clear();
  }
  void Tick() { OnPollTimer(app); }
  std::vector<std::string> BoxTexts() const {
    std::vector<std::string> texts;
    for (const auto& box : boxes.shown) {
      texts.push_back(box.text);
    }
    return texts;
  }
  void FindUnit() {
    port.unit = [this](const Bytes& written) {
      if (written == kProbe) {
        port.Queue(kFound);
      }
    };
    OnCommand(app, IDC_SEARCH);
    Tick();
    port.unit = nullptr;
    boxes.shown.clear();
    port.writes.clear();
  }
};

TEST_F(DeviceOpsTest, SearchPressedTwiceStartsThenStopsTheProbe) {
  OnCommand(app, IDC_SEARCH);
  EXPECT_EQ(form.Text(IDC_SEARCH), "STOP");
  EXPECT_TRUE(app.searchActive);
  EXPECT_FALSE(form.Enabled(IDC_OPEN));
  Tick();
  Tick();
  EXPECT_EQ(port.writes, (std::vector<Bytes>{kProbe, kProbe}));
  EXPECT_EQ(port.readSizes, (std::vector<std::size_t>{50, 50}));

  OnCommand(app, IDC_SEARCH);
  EXPECT_EQ(form.Text(IDC_SEARCH), "SEARCH");
  EXPECT_FALSE(app.searchActive);
  EXPECT_TRUE(form.Enabled(IDC_OPEN));
  Tick();
  EXPECT_EQ(port.writes.size(), 2u);
  EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(DeviceOpsTest, FoundReplyStopsTheSearchThenEnablesTheDeviceButtons) {
  OnCommand(app, IDC_SEARCH);
  Tick();  // nothing yet
  port.Queue(kFound);
  boxes.whileOpen = [this](const FakeBoxes::Box&) {
    // The flag is down and the buttons are still off while "Find DTU" is open.
    EXPECT_FALSE(app.searchActive);
    EXPECT_EQ(form.Text(IDC_SEARCH), "SEARCH");
    EXPECT_FALSE(form.Enabled(IDC_READ));
    const std::size_t probes = port.writes.size();
    Tick();
    EXPECT_EQ(port.writes.size(), probes);
  };
  Tick();
  ASSERT_EQ(BoxTexts(), (std::vector<std::string>{"Find DTU"}));
  EXPECT_EQ(boxes.shown[0].caption, "OK");
  EXPECT_EQ(boxes.shown[0].owner, BoxOwner::None);
  // The tick that finds the reply has sent one more probe first.
  EXPECT_EQ(port.writes.size(), 2u);
  const std::vector<std::string> tail(form.log.end() - 5, form.log.end());
  EXPECT_EQ(tail, (std::vector<std::string>{"Enable 1017", "Enable 1018", "Enable 1048",
                                            "Enable 1009", "Enable 1069"}));
}

TEST_F(DeviceOpsTest, FoundMarkerIsTheTwoBytesAnywhereBeforeAZero) {
  const std::vector<std::pair<Bytes, bool>> cases = {
      {{0x7B, 0x90}, true},
      {{'x', 'y', 0x7B, 0x90, 0x00}, true},
      {{0x7B, 0x91, 0x00, 0x00, 0x7C}, false},
      {{0x00, 0x7B, 0x90}, false},
      {{0x7B}, false},
  };
  for (const auto& [reply, found] : cases) {
    form.SetText(IDC_SEARCH, "SEARCH");
    app.searchActive = false;
    OnCommand(app, IDC_SEARCH);
    boxes.shown.clear();
    port.input.clear();
    port.Queue(reply);
    Tick();
    EXPECT_EQ(boxes.shown.size(), found ? 1u : 0u);
    EXPECT_EQ(app.searchActive, !found);
  }
}

TEST_F(DeviceOpsTest, MarkerSplitAcrossTwoReadsIsNotFound) {
  OnCommand(app, IDC_SEARCH);
  port.Queue(Bytes{0x7B});
  Tick();
  port.Queue(Bytes{0x90});
  Tick();
  EXPECT_TRUE(boxes.shown.empty());
  EXPECT_TRUE(app.searchActive);
}

TEST_F(DeviceOpsTest, LeftOversOfAnEarlierLongerReadCannotFakeAFoundUnit) {
  // A read that once left a found marker deep in the buffer...
  std::memset(app.ReceiveBuffer.data(), 'A', 20);
  app.ReceiveBuffer[20] = 0x7B;
  app.ReceiveBuffer[21] = 0x90;
  OnCommand(app, IDC_SEARCH);
  // ...and a search tick that reads three stray bytes with no zero among them.
  port.Queue(std::string("xyz"));
  Tick();
  EXPECT_TRUE(boxes.shown.empty());
  EXPECT_TRUE(app.searchActive);
}

TEST_F(DeviceOpsTest, ReadTakesTheRecordAndShowsItAfterTheBox) {
  FindUnit();
  const Bytes record = SampleRecord();
  port.unit = [&](const Bytes& written) {
    if (written == Bytes{0x7B, 0x94, 0x00, 0x00, 0x7C}) {
      port.Queue(ConfigReply(record));
    }
  };
  boxes.whileOpen = [this](const FakeBoxes::Box&) {
    EXPECT_EQ(form.Text(IDC_MASTER_IP), "");  // decoded only once the box is closed
  };
  OnCommand(app, IDC_READ);
  EXPECT_EQ(BoxTexts(), (std::vector<std::string>{"Read successfully!"}));
  EXPECT_EQ(boxes.shown[0].caption, "OK");
  EXPECT_EQ(sleeper.sleeps, (std::vector<unsigned>{3000}));
  EXPECT_EQ(port.readSizes.back(), 609u);
  EXPECT_EQ(Bytes(app.image.bytes.begin(), app.image.bytes.end()), record);
  EXPECT_EQ(form.Text(IDC_MASTER_IP), "unit.example.com");
  EXPECT_EQ(form.GetSelection(IDC_PROTOCOL), 1);
  EXPECT_EQ(form.Text(IDC_REG_PACKAGE), "7B 0A ");
  EXPECT_EQ(form.GetSelection(IDC_BAUD), 3);
  EXPECT_EQ(form.Text(IDC_MIN_INTERVAL), "5");
  EXPECT_EQ(form.Text(IDC_RECONNECT_TIMES), "33");
}

TEST_F(DeviceOpsTest, ReplyArrivingDuringTheSecondWaitStillCounts) {
  sleeper.onSleep = [&](unsigned) {
    if (sleeper.sleeps.size() == 2) {
      port.Queue(ConfigReply(SampleRecord()));
    }
  };
  OnCommand(app, IDC_READ);
  EXPECT_EQ(sleeper.sleeps, (std::vector<unsigned>{3000, 3000}));
  EXPECT_EQ(BoxTexts(), (std::vector<std::string>{"Read successfully!"}));
}

TEST_F(DeviceOpsTest, ShortReplyFailsBothAttemptsAndLeavesFormAndRecord) {
  form.SetText(IDC_MASTER_IP, "kept.example.com");
  app.image.bytes.fill(0x55);
  port.unit = [&](const Bytes&) { port.Queue(ConfigReply(SampleRecord(), 608)); };
  OnCommand(app, IDC_READ);
  EXPECT_EQ(sleeper.sleeps, (std::vector<unsigned>{3000, 3000}));
  ASSERT_EQ(BoxTexts(), (std::vector<std::string>{"Read Failed"}));
  EXPECT_FALSE(boxes.shown[0].hasCaption);
  EXPECT_EQ(boxes.shown[0].owner, BoxOwner::None);
  EXPECT_EQ(form.Text(IDC_MASTER_IP), "kept.example.com");
  EXPECT_EQ(app.image.bytes[0], 0x55);
}

TEST_F(DeviceOpsTest, ReadWithThePortClosedFails) {
  OnCommand(app, IDC_OPEN);  // close
  OnCommand(app, IDC_READ);
  EXPECT_EQ(sleeper.sleeps.size(), 2u);
  EXPECT_EQ(BoxTexts(), (std::vector<std::string>{"Read Failed"}));
}

TEST_F(DeviceOpsTest, StrayBytesWaitingBeforeReadDoNotShiftTheRecord) {
  const Bytes record = SampleRecord();
  port.Queue(std::string("\x01\x02\x03\x04\x05", 5));
  port.unit = [&](const Bytes& written) {
    if (written.size() == 5 && written[1] == 0x94) {
      port.Queue(ConfigReply(record));
    }
  };
  OnCommand(app, IDC_READ);
  // The stale bytes go before the request is sent.
  ASSERT_GE(port.calls.size(), 1u);
  EXPECT_EQ(port.calls[0], "Purge");
  EXPECT_EQ(BoxTexts(), (std::vector<std::string>{"Read successfully!"}));
  EXPECT_EQ(Bytes(app.image.bytes.begin(), app.image.bytes.end()), record);
  EXPECT_TRUE(port.input.empty());
}

TEST_F(DeviceOpsTest, ReadWhileAnAckIsAwaitedKeepsTheRecordItReceived) {
  app.awaitingAck = true;
  const Bytes record = SampleRecord();
  port.unit = [&](const Bytes&) { port.Queue(ConfigReply(record)); };
  boxes.whileOpen = [this](const FakeBoxes::Box&) {
    Tick();  // clears and reuses the receive buffer
    Tick();
  };
  OnCommand(app, IDC_READ);
  EXPECT_EQ(form.Text(IDC_MASTER_IP), "unit.example.com");
  EXPECT_TRUE(app.awaitingAck);
}

TEST_F(DeviceOpsTest, SetSendsTheRecordInThreeWritesAndAwaitsTheAck) {
  FindUnit();
  form.SetSelection(IDC_DATA_BITS, 1);
  form.SetText(IDC_MASTER_IP, "set.example.com");
  OnCommand(app, IDC_SET);
  ASSERT_EQ(port.writes.size(), 3u);
  EXPECT_EQ(port.writes[0], (Bytes{0x7B, 0x91, 0x00}));
  EXPECT_EQ(port.writes[1].size(), 600u);
  EXPECT_EQ(port.writes[2], (Bytes{0x7C}));
  EXPECT_EQ(Bytes(app.image.bytes.begin(), app.image.bytes.end()), port.writes[1]);
  EXPECT_EQ(std::string(port.writes[1].begin() + 30, port.writes[1].begin() + 45),
            "set.example.com");
  EXPECT_TRUE(app.awaitingAck);
  EXPECT_TRUE(port.calls.empty() || port.calls.back() != "Purge");

  Tick();
  EXPECT_EQ(port.readSizes.back(), 5u);
  EXPECT_TRUE(boxes.shown.empty());
  port.Queue(kAck);
  boxes.whileOpen = [this](const FakeBoxes::Box&) { EXPECT_FALSE(app.awaitingAck); };
  Tick();
  EXPECT_EQ(BoxTexts(), (std::vector<std::string>{"SUCESS"}));
  EXPECT_EQ(boxes.shown[0].caption, "OK");
}

TEST_F(DeviceOpsTest, RefusedSetSendsNothingAndLeavesTheFlag) {
  form.SetSelection(IDC_DATA_BITS, 0);
  form.SetSelection(IDC_PARITY, 0);
  app.awaitingAck = false;
  OnCommand(app, IDC_SET);
  EXPECT_TRUE(port.writes.empty());
  EXPECT_FALSE(app.awaitingAck);
  ASSERT_EQ(boxes.shown.size(), 1u);
  EXPECT_EQ(boxes.shown[0].codePage, 936u);
}

TEST_F(DeviceOpsTest, AckBehindFourOtherBytesIsSplitAndNotRecognised) {
  app.awaitingAck = true;
  port.Queue(Bytes{0x41, 0x42, 0x43, 0x44, 0x7B, 0x92, 0x00, 0x00, 0x7C});
  Tick();
  Tick();
  EXPECT_TRUE(app.awaitingAck);
  EXPECT_TRUE(boxes.shown.empty());
  port.Queue(Bytes{0x41, 0x7B, 0x92});
  Tick();
  EXPECT_FALSE(app.awaitingAck);
}

TEST_F(DeviceOpsTest, OneAckServesTheSetBeforeTheRestart) {
  OnCommand(app, IDC_RESTART);
  OnCommand(app, IDC_FACTORY_RESET);
  ASSERT_TRUE(app.awaitingAck);
  ASSERT_TRUE(app.awaitingReboot);
  Tick();
  EXPECT_TRUE(boxes.shown.empty());
  port.Queue(kAck);
  Tick();
  EXPECT_EQ(BoxTexts(), (std::vector<std::string>{"SUCESS"}));
  EXPECT_TRUE(app.awaitingReboot);
  port.Queue(kAck);
  boxes.whileOpen = [this](const FakeBoxes::Box&) { EXPECT_FALSE(app.awaitingReboot); };
  Tick();
  EXPECT_EQ(BoxTexts(), (std::vector<std::string>{"SUCESS", "Reboot successfully!"}));
  EXPECT_EQ(boxes.shown[1].caption, "OK");
}

TEST_F(DeviceOpsTest, RestartPurgesWritesThenSleepsWithTheFlagUp) {
  sleeper.onSleep = [this](unsigned) { EXPECT_TRUE(app.awaitingReboot); };
  OnCommand(app, IDC_RESTART);
  EXPECT_EQ(port.calls.front(), "Purge");
  EXPECT_EQ(port.writes, (std::vector<Bytes>{{0x7B, 0x95, 0x00, 0x00, 0x7C}}));
  EXPECT_EQ(sleeper.sleeps, (std::vector<unsigned>{3000}));
}

TEST_F(DeviceOpsTest, FactoryResetWritesWithoutPurgeAndOneAckClearsRepeats) {
  OnCommand(app, IDC_FACTORY_RESET);
  OnCommand(app, IDC_FACTORY_RESET);
  EXPECT_EQ(port.writes,
            (std::vector<Bytes>{{0x7B, 0x99, 0x00, 0x00, 0x7C}, {0x7B, 0x99, 0x00, 0x00, 0x7C}}));
  EXPECT_TRUE(port.calls.empty() || port.calls.front() != "Purge");
  port.Queue(kAck);
  Tick();
  EXPECT_FALSE(app.awaitingAck);
  Tick();
  EXPECT_EQ(BoxTexts(), (std::vector<std::string>{"SUCESS"}));
}

TEST_F(DeviceOpsTest, AcksAreStillTakenAfterTheNextOpen) {
  OnCommand(app, IDC_FACTORY_RESET);
  OnCommand(app, IDC_OPEN);  // close
  port.Queue(kAck);          // arrives while no port is held
  Tick();
  EXPECT_TRUE(app.awaitingAck);
  OnCommand(app, IDC_OPEN);  // the open purges what was waiting
  port.Queue(kAck);
  Tick();
  EXPECT_FALSE(app.awaitingAck);
}

TEST_F(DeviceOpsTest, IdleTickTouchesNothing) {
  Tick();
  EXPECT_TRUE(port.calls.empty());
  EXPECT_TRUE(port.readSizes.empty());
  EXPECT_TRUE(port.writes.empty());
}

}  // namespace
