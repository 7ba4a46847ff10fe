#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "form/control_ids.h"
#include "form/form_lists.h"
#include "protocol/config_image.h"
#include "protocol/transfer.h"
#include "support/fake_seams.h"
#include "support/memory_form.h"

namespace {

std::string Text(const ConfigImage& image, std::size_t offset, std::size_t size) {
  std::string s(reinterpret_cast<const char*>(image.bytes.data() + offset), size);
  return s.substr(0, s.find('\0'));
}

bool AllZero(const ConfigImage& image, std::size_t from, std::size_t to) {
  for (std::size_t i = from; i <= to; ++i) {
    if (image.bytes[i] != 0) {
      return false;
    }
  }
  return true;
}

class TransferTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetUpForm(form);
    form.SetSelection(IDC_DATA_BITS, 1);  // "8": passes the parity check
    image.bytes.fill(0xEE);
  }
  bool Encode() { return EncodeForm(form, boxes, image); }

  TestForm form;
  FakeBoxes boxes;
  ConfigImage image{};
};

TEST_F(TransferTest, EveryFieldLandsAtItsOffsetAndTheGapsStayZero) {
  form.SetSelection(IDC_PROTOCOL, 1);
  form.SetText(IDC_MASTER_IP, "a.example.com");
  form.SetText(IDC_MASTER_PORT, "6000");
  form.SetText(IDC_HEARTBEAT_TIME, "60");
  form.SetText(IDC_RECONNECT_INTERVAL, "61");
  form.SetText(IDC_NO_RESPONSE_TIME, "62");
  form.SetText(IDC_REG_PACKAGE, "01 02");
  form.SetText(IDC_HEARTBEAT_PACKAGE, "FE");
  form.SetSelection(IDC_BAUD, 3);
  form.SetSelection(IDC_STOP_BITS, 3);
  form.SetSelection(IDC_PARITY, 2);
  form.SetText(IDC_CENTER_PHONE1, "10000000001");
  form.SetText(IDC_STANDBY_IP, "b.example.com");
  form.SetText(IDC_STANDBY_PORT, "9997");
  form.SetText(IDC_PACKET_LENGTH, "1024");
  form.SetSelection(IDC_INPUT3, 1);
  form.SetSelection(IDC_INPUT4, 2);
  form.SetText(IDC_MIN_INTERVAL, "5");
  form.SetText(IDC_RECONNECT_TIMES, "20");
  form.SetSelection(IDC_DEBUG_INFO, 2);
  form.SetSelection(IDC_OUTPUT1, 1);
  form.SetSelection(IDC_OUTPUT2, 0);
  form.SetSelection(IDC_DATA_MODE, 1);
  form.SetSelection(IDC_WORK_MODE, 2);
  form.SetText(IDC_APN, "cmnet");
  form.SetText(IDC_GPRS_USER, "user");
  form.SetText(IDC_GPRS_PASSWORD, "pass");
  form.SetText(IDC_CENTER_PHONE2, "10000000002");
  form.SetText(IDC_SMS_Alarm1, "in3");
  form.SetText(IDC_SMS_Alarm2, "in4");
  ASSERT_TRUE(Encode());

  EXPECT_EQ(Text(image, 0, 30), "UDP");
  EXPECT_EQ(Text(image, 30, 30), "a.example.com");
  EXPECT_EQ(Text(image, 60, 30), "6000");
  EXPECT_EQ(Text(image, 90, 30), "60");
  EXPECT_EQ(Text(image, 120, 30), "61");
  EXPECT_EQ(Text(image, 150, 30), "62");
  EXPECT_EQ(image.bytes[180], 0x01);
  EXPECT_EQ(image.bytes[181], 0x02);
  EXPECT_EQ(image.bytes[209], 2);
  EXPECT_EQ(image.bytes[210], 0xFE);
  EXPECT_EQ(image.bytes[239], 1);
  EXPECT_EQ(Text(image, 240, 10), "9600");
  EXPECT_EQ(image.bytes[250], '8');
  EXPECT_EQ(image.bytes[251], 3);
  EXPECT_EQ(image.bytes[252], 2);
  EXPECT_EQ(Text(image, 270, 30), "10000000001");
  EXPECT_EQ(Text(image, 300, 30), "b.example.com");
  EXPECT_EQ(Text(image, 330, 30), "9997");
  EXPECT_EQ(Text(image, 360, 10), "1024");
  EXPECT_EQ(image.bytes[370], 1);
  EXPECT_EQ(image.bytes[371], 0);
  EXPECT_EQ(image.bytes[373], '5');
  EXPECT_EQ(image.bytes[374], 20);
  EXPECT_EQ(image.bytes[375], 2);
  EXPECT_EQ(image.bytes[376], 1);
  EXPECT_EQ(image.bytes[377], 0);
  EXPECT_EQ(image.bytes[378], 1);
  EXPECT_EQ(image.bytes[380], 2);
  EXPECT_EQ(Text(image, 390, 30), "cmnet");
  EXPECT_EQ(Text(image, 420, 30), "user");
  EXPECT_EQ(Text(image, 450, 30), "pass");
  EXPECT_EQ(Text(image, 480, 30), "10000000002");
  EXPECT_EQ(Text(image, 510, 30), "in3");
  EXPECT_EQ(Text(image, 540, 30), "in4");
  EXPECT_TRUE(AllZero(image, 253, 269));
  EXPECT_EQ(image.bytes[372], 0);
  EXPECT_EQ(image.bytes[379], 0);
  EXPECT_TRUE(AllZero(image, 381, 389));
  EXPECT_TRUE(AllZero(image, 570, 599));
  EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(TransferTest, TextsAreCutToTheirReadLengthsAndStayTerminated) {
  form.SetText(IDC_MASTER_IP, std::string(40, 'a').c_str());
  form.SetText(IDC_MASTER_PORT, "1234567");
  form.SetText(IDC_CENTER_PHONE2, std::string(20, '9').c_str());
  form.SetText(IDC_SMS_Alarm1, std::string(28, 's').c_str());
  form.SetText(IDC_SMS_Alarm2, std::string(35, 't').c_str());
  ASSERT_TRUE(Encode());
  EXPECT_EQ(Text(image, 30, 30), std::string(29, 'a'));
  EXPECT_EQ(image.bytes[59], 0);
  EXPECT_EQ(Text(image, 60, 30), "12345");
  EXPECT_EQ(Text(image, 480, 30), std::string(12, '9'));
  EXPECT_EQ(Text(image, 510, 30), std::string(28, 's'));
  EXPECT_EQ(image.bytes[539], 0);
  EXPECT_EQ(Text(image, 540, 30), std::string(28, 't'));
  EXPECT_EQ(image.bytes[569], 0);
}

TEST_F(TransferTest, NoSelectionGivesTheFallbackCodes) {
  for (int id : kClearedLists) {
    form.BlankList(id);
  }
  ASSERT_TRUE(Encode());
  EXPECT_TRUE(AllZero(image, 0, 29));
  EXPECT_TRUE(AllZero(image, 240, 249));
  EXPECT_EQ(image.bytes[250], '8');
  EXPECT_EQ(image.bytes[251], 1);
  EXPECT_EQ(image.bytes[252], 0);
  EXPECT_EQ(image.bytes[370], 2);
  EXPECT_EQ(image.bytes[371], 2);
  EXPECT_EQ(image.bytes[375], 0);
  EXPECT_EQ(image.bytes[376], 2);
  EXPECT_EQ(image.bytes[377], 2);
  EXPECT_EQ(image.bytes[378], 0);
  EXPECT_EQ(image.bytes[380], 0);
}

TEST_F(TransferTest, SevenDataBitsNeedAParity) {
  form.SetSelection(IDC_DATA_BITS, 0);
  form.SetSelection(IDC_PARITY, 0);
  EXPECT_FALSE(Encode());
  ASSERT_EQ(boxes.shown.size(), 1u);
  const FakeBoxes::Box& box = boxes.shown[0];
  EXPECT_EQ(box.text,
            "\xCA\xFD\xBE\xDD\xCE\xBB\xCE\xAA\x37\xCE\xBB\x2C\xB1\xD8\xD0\xEB\xBF\xAA"
            "\xC6\xF4\xC6\xE6\xC5\xBC\xD0\xA3\xD1\xE9\xCE\xBB\x21");
  EXPECT_EQ(box.caption, "OK");
  EXPECT_EQ(box.owner, BoxOwner::None);
  EXPECT_EQ(box.codePage, 936u);

  boxes.shown.clear();
  form.SetSelection(IDC_PARITY, 1);
  EXPECT_TRUE(Encode());
  form.SetSelection(IDC_DATA_BITS, 1);
  form.SetSelection(IDC_PARITY, 0);
  EXPECT_TRUE(Encode());
  EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(TransferTest, PacketLengthHasAtMostFourDigits) {
  form.SetText(IDC_PACKET_LENGTH, "10240");
  EXPECT_FALSE(Encode());
  ASSERT_EQ(boxes.shown.size(), 1u);
  EXPECT_EQ(boxes.shown[0].text,
            "\xD7\xEE\xB4\xF3\xB0\xFC\xB3\xA4\xCE\xBB\xCA\xFD\xB4\xED\xCE\xF3");
  EXPECT_FALSE(boxes.shown[0].hasCaption);
  EXPECT_EQ(boxes.shown[0].owner, BoxOwner::Form);
  EXPECT_EQ(boxes.shown[0].codePage, 936u);

  form.SetText(IDC_PACKET_LENGTH, std::string(500, '1').c_str());
  EXPECT_FALSE(Encode());
  form.SetText(IDC_PACKET_LENGTH, "");
  ASSERT_TRUE(Encode());
  EXPECT_TRUE(AllZero(image, 360, 369));
}

TEST_F(TransferTest, ARefusedRecordHoldsOnlyWhatCameBeforeTheCheck) {
  form.SetText(IDC_MASTER_IP, "kept");
  form.SetText(IDC_CENTER_PHONE1, "12345");
  form.SetText(IDC_APN, "cmnet");
  form.SetSelection(IDC_INPUT3, 0);
  form.SetText(IDC_PACKET_LENGTH, "99999");
  form.SetSelection(IDC_DATA_BITS, 0);
  form.SetSelection(IDC_PARITY, 0);
  EXPECT_FALSE(Encode());
  ASSERT_EQ(boxes.shown.size(), 1u);  // the data-bits check comes first, alone
  EXPECT_EQ(boxes.shown[0].owner, BoxOwner::None);
  EXPECT_EQ(Text(image, 30, 30), "kept");
  EXPECT_EQ(image.bytes[250], '7');
  EXPECT_TRUE(AllZero(image, 253, 599));

  boxes.shown.clear();
  form.SetSelection(IDC_PARITY, 2);
  EXPECT_FALSE(Encode());
  ASSERT_EQ(boxes.shown.size(), 1u);
  EXPECT_EQ(boxes.shown[0].owner, BoxOwner::Form);
  EXPECT_EQ(Text(image, 270, 30), "12345");
  EXPECT_TRUE(AllZero(image, 360, 599));
}

TEST_F(TransferTest, PackagesFillTheirSlotsUpToTwentyNineBytes) {
  std::string full;
  for (int i = 1; i <= 29; ++i) {
    char pair[4];
    std::snprintf(pair, sizeof pair, "%02X ", i);
    full += pair;
  }
  form.SetText(IDC_REG_PACKAGE, full.c_str());
  form.SetText(IDC_HEARTBEAT_PACKAGE, "");
  ASSERT_TRUE(Encode());
  for (int i = 0; i < 29; ++i) {
    EXPECT_EQ(image.bytes[180 + i], i + 1) << i;
  }
  EXPECT_EQ(image.bytes[209], 29);
  EXPECT_TRUE(AllZero(image, 210, 239));
}

TEST_F(TransferTest, MinimumIntervalFallsBackToTwo) {
  const std::vector<std::pair<std::string, std::uint8_t>> cases = {
      {"9", '9'}, {"2", '2'}, {"57", '5'},   {"", '2'},  {"0", '2'},
      {"1", '2'}, {"x", '2'}, {"\xB5", '2'}, {" 5", '2'}};
  for (const auto& [typed, stored] : cases) {
    form.SetText(IDC_MIN_INTERVAL, typed.c_str());
    ASSERT_TRUE(Encode());
    EXPECT_EQ(image.bytes[373], stored) << typed;
  }
}

TEST_F(TransferTest, ReconnectTimesReadsThreeCharactersLikeAtoiAndKeepsSevenBits) {
  const std::vector<std::pair<std::string, std::uint8_t>> cases = {
      {"20", 20}, {"127", 127}, {"200", 72}, {"-1", 127},  {"1000", 100}, {"", 0}, {"abc", 0},
      {" 7", 7},  {"+5", 5},    {"12x", 12}, {"\t\t9", 9}, {"   9", 0},   {"-", 0}};
  for (const auto& [typed, stored] : cases) {
    form.SetText(IDC_RECONNECT_TIMES, typed.c_str());
    ASSERT_TRUE(Encode());
    EXPECT_EQ(image.bytes[374], stored) << typed;
  }
}

TEST(HexText, DigitValues) {
  EXPECT_EQ(HexDigitValue('0'), 0);
  EXPECT_EQ(HexDigitValue('9'), 9);
  EXPECT_EQ(HexDigitValue('a'), 10);
  EXPECT_EQ(HexDigitValue('F'), 15);
  for (char c : {'g', 'G', ' ', '/', ':', '@', '`', '\0', '\xFF'}) {
    EXPECT_EQ(HexDigitValue(c), -1) << static_cast<int>(c);
  }
}

TEST(HexText, PackagesFromText) {
  struct Case {
    std::string text;
    std::vector<std::uint8_t> bytes;
  };
  const std::vector<Case> cases = {
      {"7B 92  0A", {0x7B, 0x92, 0x0A}},
      {"7B9", {0x7B}},
      {"7G 92", {}},
      {"7B XY 92", {0x7B}},
      {"7B92", {0x7B, 0x92}},
      {"   ab CD ", {0xAB, 0xCD}},
      {"", {}},
      {"1", {}},
  };
  for (const Case& c : cases) {
    std::uint8_t slot[30];
    std::memset(slot, 0xEE, sizeof slot);
    const std::size_t count = HexTextToPackage(c.text.c_str(), slot);
    EXPECT_EQ(count, c.bytes.size()) << c.text;
    EXPECT_EQ(slot[29], c.bytes.size()) << c.text;
    EXPECT_EQ(std::vector<std::uint8_t>(slot, slot + count), c.bytes) << c.text;
  }
}

TEST(HexText, FortyPairsKeepTheFirstTwentyNine) {
  std::string text;
  for (int i = 0; i < 40; ++i) {
    text += "A" + std::to_string(i % 10) + " ";
  }
  std::uint8_t slot[30] = {};
  EXPECT_EQ(HexTextToPackage(text.c_str(), slot), 29u);
  EXPECT_EQ(slot[29], 29);
  EXPECT_EQ(slot[28], 0xA8);
}

TEST(HexText, PackagesToText) {
  std::uint8_t slot[30] = {0xA5, 0x05, 0x00};
  slot[29] = 3;
  char text[kPackageTextSize];
  PackageToHexText(slot, text);
  EXPECT_STREQ(text, "A5 05 00 ");
  slot[29] = 0;
  PackageToHexText(slot, text);
  EXPECT_STREQ(text, "");
  for (std::uint8_t count : {0x1E, 0x7F, 0x80, 0xFF}) {
    std::memset(slot, 0x11, 29);
    slot[29] = count;
    PackageToHexText(slot, text);
    EXPECT_EQ(std::strlen(text), 87u) << int(count);
    EXPECT_EQ(slot[29], 29) << int(count);
  }
}

TEST_F(TransferTest, DecodeSelectsByCodeAndBlanksUnknownCodes) {
  image.bytes.fill(0);
  std::memcpy(&image.bytes[0], "TCP", 3);
  std::memcpy(&image.bytes[240], "115200", 6);
  image.bytes[250] = '7';
  image.bytes[251] = 2;
  image.bytes[252] = 1;
  image.bytes[370] = 0;  // low alarm
  image.bytes[371] = 3;
  image.bytes[375] = 1;
  image.bytes[376] = 1;
  image.bytes[377] = 2;  // "not set" has no entry
  image.bytes[378] = 1;
  image.bytes[380] = 5;
  form.SetSelection(IDC_PROTOCOL, 1);
  DecodeImage(image, form);
  EXPECT_EQ(form.Text(IDC_PROTOCOL), "TCP");
  EXPECT_EQ(form.Text(IDC_BAUD), "115200");
  EXPECT_EQ(form.Text(IDC_DATA_BITS), "7");
  EXPECT_EQ(form.Text(IDC_STOP_BITS), "1.5");
  EXPECT_EQ(form.Text(IDC_PARITY), "Odd");
  EXPECT_EQ(form.Text(IDC_INPUT3), "Low Alarm");
  EXPECT_EQ(form.GetSelection(IDC_INPUT4), -1);
  EXPECT_EQ(form.Text(IDC_DEBUG_INFO), "Yes");
  EXPECT_EQ(form.Text(IDC_OUTPUT1), "High Level");
  EXPECT_EQ(form.GetSelection(IDC_OUTPUT2), -1);
  EXPECT_EQ(form.Text(IDC_DATA_MODE), "Protocol");
  EXPECT_EQ(form.GetSelection(IDC_WORK_MODE), -1);
  EXPECT_EQ(form.Text(IDC_WORK_MODE), "");
}

TEST_F(TransferTest, DecodeLeavesAnUnknownProtocolAsItWas) {
  for (const char* protocol : {"tcp", "TCPX", "", "UD"}) {
    image.bytes.fill(0);
    std::memcpy(&image.bytes[0], protocol, std::strlen(protocol));
    form.SetSelection(IDC_PROTOCOL, 1);
    DecodeImage(image, form);
    EXPECT_EQ(form.GetSelection(IDC_PROTOCOL), 1) << protocol;
  }
}

TEST_F(TransferTest, HostileRecordsNeverReadPastAField) {
  image.bytes.fill(0xFF);
  DecodeImage(image, form);
  EXPECT_EQ(form.Text(IDC_MASTER_IP), std::string(30, '\xFF'));
  EXPECT_EQ(form.Text(IDC_PACKET_LENGTH), std::string(10, '\xFF'));
  EXPECT_EQ(form.Text(IDC_MIN_INTERVAL), "\xFF");
  EXPECT_EQ(form.Text(IDC_RECONNECT_TIMES), "-1");
  EXPECT_EQ(form.Text(IDC_REG_PACKAGE).size(), 87u);
  EXPECT_EQ(image.bytes[209], 29);
  EXPECT_EQ(image.bytes[239], 29);
  EXPECT_EQ(form.GetSelection(IDC_BAUD), -1);
  EXPECT_EQ(form.GetSelection(IDC_DATA_BITS), -1);

  image.bytes.fill('A');  // texts with no terminator anywhere
  DecodeImage(image, form);
  EXPECT_EQ(form.Text(IDC_SMS_Alarm2), std::string(30, 'A'));
  EXPECT_EQ(form.Text(IDC_BAUD), "");
  EXPECT_EQ(form.Text(IDC_RECONNECT_TIMES), "65");

  image.bytes.fill(0);
  image.bytes[374] = 0x80;
  DecodeImage(image, form);
  EXPECT_EQ(form.Text(IDC_RECONNECT_TIMES), "-128");
  EXPECT_EQ(form.Text(IDC_MIN_INTERVAL), "");
}

TEST_F(TransferTest, RoundTripGivesBackWhatFits) {
  form.SetSelection(IDC_PROTOCOL, 1);
  form.SetText(IDC_MASTER_IP, "rt.example.com");
  form.SetText(IDC_MASTER_PORT, "5000");
  form.SetText(IDC_REG_PACKAGE, "7b 92 0a");
  form.SetText(IDC_HEARTBEAT_PACKAGE, "");
  form.SetSelection(IDC_BAUD, 0);
  form.SetSelection(IDC_DATA_BITS, 0);
  form.SetSelection(IDC_STOP_BITS, 0);
  form.SetSelection(IDC_PARITY, 2);
  form.SetSelection(IDC_INPUT3, 2);
  form.SetSelection(IDC_INPUT4, 1);
  form.SetSelection(IDC_OUTPUT1, 1);
  form.SetSelection(IDC_DEBUG_INFO, 2);
  form.SetSelection(IDC_DATA_MODE, 1);
  form.SetSelection(IDC_WORK_MODE, 1);
  form.SetText(IDC_MIN_INTERVAL, "7");
  form.SetText(IDC_RECONNECT_TIMES, "99");
  form.SetText(IDC_SMS_Alarm1, "door open");
  ASSERT_TRUE(Encode());
  TestForm shown;
  SetUpForm(shown);
  ConfigImage copy = image;
  DecodeImage(copy, shown);
  for (int id : kClearedLists) {
    EXPECT_EQ(shown.GetSelection(id), form.GetSelection(id)) << id;
  }
  for (int id : {IDC_MASTER_IP, IDC_MASTER_PORT, IDC_MIN_INTERVAL, IDC_RECONNECT_TIMES,
                 IDC_SMS_Alarm1, IDC_HEARTBEAT_PACKAGE}) {
    EXPECT_EQ(shown.Text(id), form.Text(id)) << id;
  }
  EXPECT_EQ(shown.Text(IDC_REG_PACKAGE), "7B 92 0A ");
}

TEST_F(TransferTest, RoundTripOfBlankListsGivesTheirFallbackEntries) {
  for (int id : kClearedLists) {
    form.BlankList(id);
  }
  ASSERT_TRUE(Encode());
  TestForm shown;
  SetUpForm(shown);
  shown.SetSelection(IDC_PROTOCOL, 1);
  DecodeImage(image, shown);
  EXPECT_EQ(shown.Text(IDC_DATA_BITS), "8");
  EXPECT_EQ(shown.Text(IDC_STOP_BITS), "1");
  EXPECT_EQ(shown.Text(IDC_PARITY), "None");
  EXPECT_EQ(shown.Text(IDC_INPUT3), "No Alarm");
  EXPECT_EQ(shown.Text(IDC_DEBUG_INFO), "No");
  EXPECT_EQ(shown.Text(IDC_DATA_MODE), "Transparent");
  EXPECT_EQ(shown.Text(IDC_WORK_MODE), "Always-on");
  EXPECT_EQ(shown.GetSelection(IDC_OUTPUT1), -1);
  EXPECT_EQ(shown.GetSelection(IDC_BAUD), -1);
  EXPECT_EQ(shown.GetSelection(IDC_PROTOCOL), 1);
}

}  // namespace
