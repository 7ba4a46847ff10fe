#include <benchmark/benchmark.h>

#include <cstring>

#include "form/control_ids.h"
#include "form/form_lists.h"
#include "protocol/transfer.h"
#include "support/fake_seams.h"
#include "support/memory_form.h"

namespace {

void FillForm(TestForm& form) {
  SetUpForm(form);
  form.SetSelection(IDC_DATA_BITS, 1);
  form.SetText(IDC_MASTER_IP, "bench.example.com");
  form.SetText(IDC_REG_PACKAGE, "01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10 11 12 13 14");
  form.SetText(IDC_PACKET_LENGTH, "1024");
  form.SetText(IDC_RECONNECT_TIMES, "20");
}

void BM_EncodeForm(benchmark::State& state) {
  TestForm form;
  FillForm(form);
  FakeBoxes boxes;
  ConfigImage image{};
  for (auto _ : state) {
    benchmark::DoNotOptimize(EncodeForm(form, boxes, image));
  }
}
BENCHMARK(BM_EncodeForm);

void BM_DecodeImage(benchmark::State& state) {
  TestForm form;
  FillForm(form);
  FakeBoxes boxes;
  ConfigImage image{};
  EncodeForm(form, boxes, image);
  for (auto _ : state) {
    DecodeImage(image, form);
  }
}
BENCHMARK(BM_DecodeImage);

void BM_HexTextToPackage(benchmark::State& state) {
  const char* text =
      "7B 92 0A 7B 92 0A 7B 92 0A 7B 92 0A 7B 92 0A 7B 92 0A 7B 92 0A 7B 92 0A 7B 92 0A 7B 92";
  std::uint8_t slot[30];
  for (auto _ : state) {
    benchmark::DoNotOptimize(HexTextToPackage(text, slot));
  }
}
BENCHMARK(BM_HexTextToPackage);

void BM_PackageToHexText(benchmark::State& state) {
  std::uint8_t slot[30];
  std::memset(slot, 0xA5, sizeof slot);
  slot[29] = 29;
  char text[kPackageTextSize];
  for (auto _ : state) {
    PackageToHexText(slot, text);
    benchmark::DoNotOptimize(text);
  }
}
BENCHMARK(BM_PackageToHexText);

}  // namespace
