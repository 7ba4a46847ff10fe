// The lists stored as one byte, both ways, written out from the unit's
// point of view rather than taken from the encoder's own tables.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "form/control_ids.h"
#include "form/form_lists.h"
#include "protocol/transfer.h"
#include "support/fake_seams.h"
#include "support/memory_form.h"

namespace {

struct CodedList {
  const char* name;
  int id;
  std::size_t offset;
  std::vector<std::uint8_t> byIndex;  // code written for index 0, 1, ...
  std::uint8_t withoutSelection;
  std::map<std::uint8_t, int> indexByCode;
};

const std::vector<CodedList>& CodedLists() {
  static const std::vector<CodedList> lists = {
      {"data bits", IDC_DATA_BITS, 250, {'7', '8'}, '8', {{'7', 0}, {'8', 1}}},
      {"stop bits", IDC_STOP_BITS, 251, {0, 1, 2, 3}, 1, {{0, 0}, {1, 1}, {2, 2}, {3, 3}}},
      {"parity", IDC_PARITY, 252, {0, 1, 2}, 0, {{0, 0}, {1, 1}, {2, 2}}},
      {"input 3", IDC_INPUT3, 370, {2, 1, 0}, 2, {{0, 2}, {1, 1}, {2, 0}}},
      {"input 4", IDC_INPUT4, 371, {2, 1, 0}, 2, {{0, 2}, {1, 1}, {2, 0}}},
      {"debug", IDC_DEBUG_INFO, 375, {0, 1, 2}, 0, {{0, 0}, {1, 1}, {2, 2}}},
      {"output 1", IDC_OUTPUT1, 376, {0, 1}, 2, {{0, 0}, {1, 1}}},
      {"output 2", IDC_OUTPUT2, 377, {0, 1}, 2, {{0, 0}, {1, 1}}},
      {"data mode", IDC_DATA_MODE, 378, {0, 1}, 0, {{0, 0}, {1, 1}}},
      {"work mode", IDC_WORK_MODE, 380, {0, 1, 2}, 0, {{0, 0}, {1, 1}, {2, 2}}},
  };
  return lists;
}

class CodeTableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetUpForm(form);
    // Eight data bits and odd parity: either may take any value while the
    // other stays, and the data-bits check still passes.
    form.SetSelection(IDC_DATA_BITS, 1);
    form.SetSelection(IDC_PARITY, 1);
  }

  TestForm form;
  FakeBoxes boxes;
  ConfigImage image{};
};

TEST_F(CodeTableTest, EveryIndexAndNoSelectionEncodeToTheirCode) {
  for (const CodedList& list : CodedLists()) {
    const int before = form.GetSelection(list.id);
    for (std::size_t index = 0; index < list.byIndex.size(); ++index) {
      form.SetSelection(list.id, static_cast<int>(index));
      ASSERT_TRUE(EncodeForm(form, boxes, image)) << list.name << " " << index;
      EXPECT_EQ(image.bytes[list.offset], list.byIndex[index]) << list.name << " " << index;
    }
    form.BlankList(list.id);
    ASSERT_TRUE(EncodeForm(form, boxes, image)) << list.name;
    EXPECT_EQ(image.bytes[list.offset], list.withoutSelection) << list.name;
    form.SetSelection(list.id, before);
  }
}

TEST_F(CodeTableTest, EveryByteValueDecodesToItsEntryOrBlanksTheList) {
  for (const CodedList& list : CodedLists()) {
    for (int value = 0; value < 256; ++value) {
      image.bytes.fill(0);
      image.bytes[list.offset] = static_cast<std::uint8_t>(value);
      const auto known = list.indexByCode.find(static_cast<std::uint8_t>(value));
      const int expected = known == list.indexByCode.end() ? -1 : known->second;
      // Start from another entry, so that leaving the list alone shows.
      form.SetSelection(list.id, expected == 0 ? 1 : 0);
      DecodeImage(image, form);
      EXPECT_EQ(form.GetSelection(list.id), expected) << list.name << " " << value;
      if (expected < 0) {
        EXPECT_EQ(form.Text(list.id), "") << list.name << " " << value;
      }
    }
  }
}

TEST_F(CodeTableTest, BaudIsItsEntryTextBothWays) {
  const char* const entries[] = {"1200",  "2400",  "4800",  "9600",
                                 "19200", "38400", "57600", "115200"};
  for (int index = 0; index < 8; ++index) {
    form.SetSelection(IDC_BAUD, index);
    ASSERT_TRUE(EncodeForm(form, boxes, image));
    const std::string stored(reinterpret_cast<const char*>(&image.bytes[240]), 10);
    EXPECT_EQ(stored,
              std::string(entries[index]) + std::string(10 - std::strlen(entries[index]), '\0'));
    form.BlankList(IDC_BAUD);
    DecodeImage(image, form);
    EXPECT_EQ(form.GetSelection(IDC_BAUD), index);
  }
  for (const char* unknown : {"", "115201", "1200 ", "0009600", "\xFF"}) {
    image.bytes.fill(0);
    std::memcpy(&image.bytes[240], unknown, std::strlen(unknown));
    form.SetSelection(IDC_BAUD, 3);
    DecodeImage(image, form);
    EXPECT_EQ(form.GetSelection(IDC_BAUD), -1) << unknown;
  }
  image.bytes.fill(0);
  std::memcpy(&image.bytes[240], "96000000009600", 14);  // no terminator in the field
  DecodeImage(image, form);
  EXPECT_EQ(form.GetSelection(IDC_BAUD), -1);
}

TEST_F(CodeTableTest, ProtocolIsItsEntryTextBothWays) {
  form.SetSelection(IDC_PROTOCOL, 0);
  ASSERT_TRUE(EncodeForm(form, boxes, image));
  EXPECT_EQ(std::memcmp(&image.bytes[0], "TCP\0", 4), 0);
  form.SetSelection(IDC_PROTOCOL, 1);
  DecodeImage(image, form);
  EXPECT_EQ(form.GetSelection(IDC_PROTOCOL), 0);

  ASSERT_TRUE(EncodeForm(form, boxes, image));
  image.bytes[0] = 'U';
  image.bytes[1] = 'D';
  DecodeImage(image, form);
  EXPECT_EQ(form.GetSelection(IDC_PROTOCOL), 1);
}

}  // namespace
