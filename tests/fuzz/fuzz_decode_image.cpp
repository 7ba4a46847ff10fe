// Any 600 bytes from a unit must show in the form without harm, and leave
// package counts the form can hold.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "form/control_ids.h"
#include "form/form_lists.h"
#include "protocol/transfer.h"
#include "support/memory_form.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < kConfigImageSize) {
    return -1;
  }
  ConfigImage image;
  std::memcpy(image.bytes.data(), data, kConfigImageSize);
  TestForm form;
  SetUpForm(form);
  DecodeImage(image, form);
  if (image.bytes[209] > 29 || image.bytes[239] > 29 ||
      form.Text(IDC_REG_PACKAGE).size() != 3u * image.bytes[209] ||
      form.Text(IDC_HEARTBEAT_PACKAGE).size() != 3u * image.bytes[239]) {
    std::abort();
  }
  // Only the two count bytes may change in the record.
  for (std::size_t i = 0; i < kConfigImageSize; ++i) {
    if (i != 209 && i != 239 && image.bytes[i] != data[i]) {
      std::abort();
    }
  }
  if (form.Text(IDC_MIN_INTERVAL).size() > 1u || form.Text(IDC_PACKET_LENGTH).size() > 10u) {
    std::abort();
  }
  for (int id : kClearedEdits) {
    const bool package = id == IDC_REG_PACKAGE || id == IDC_HEARTBEAT_PACKAGE;
    if (form.Text(id).size() > (package ? 87u : 30u)) {
      std::abort();
    }
  }
  return 0;
}
