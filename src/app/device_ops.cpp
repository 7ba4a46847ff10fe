#include "app/device_ops.h"

#include <cstring>

#include "form/control_ids.h"
#include "protocol/frames.h"
#include "protocol/transfer.h"
#include "serial/send_bytes.h"

namespace {

// The unit needs this long to answer a read or to acknowledge a restart.
constexpr unsigned kReplyWaitMs = 3000;
constexpr int kReadAttempts = 2;
constexpr std::size_t kProbeReadLength = 50;
constexpr std::size_t kAckReadLength = 5;
// Found and reboot ticks clear only this much; the tail past any read stays zero anyway.
constexpr std::size_t kPartialClear = 500;

void Write(AppState& app, const std::uint8_t* data, std::size_t length) {
  std::size_t written = 0;
  app.port->Write(data, length, &written);
}

void WriteCommand(AppState& app, std::uint8_t code) {
  const CommandFrame frame = MakeCommandFrame(code);
  Write(app, frame.data(), frame.size());
}

std::size_t ReadInto(AppState& app, std::size_t maxLength) {
  std::size_t received = 0;
  if (!app.port->Read(app.ReceiveBuffer.data(), maxLength, &received)) {
    return 0;
  }
  return received;
}

void ShowOk(AppState& app, const char* text) {
  app.boxes->Show(text, "OK", BoxOwner::None, kAnsiCodePage);
}

void ClearReceiveBuffer(AppState& app, std::size_t length) {
  std::memset(app.ReceiveBuffer.data(), 0, length);
}

}  // namespace

void OnSearch(AppState& app) {
  Form& form = *app.form;
  char caption[50] = {};
  form.GetText(IDC_SEARCH, caption, sizeof caption);
  if (std::strcmp(caption, "SEARCH") == 0) {
    form.SetText(IDC_SEARCH, "STOP");
    app.searchActive = true;
    form.EnableControl(IDC_OPEN, false);
  }
  if (std::strcmp(caption, "STOP") == 0) {
    form.SetText(IDC_SEARCH, "SEARCH");
    app.searchActive = false;
    form.EnableControl(IDC_OPEN, true);
  }
}

void OnRead(AppState& app) {
  // Bytes left waiting in the input queue would shift the record.
  app.port->Purge();
  WriteCommand(app, kCodeReadRequest);
  ClearReceiveBuffer(app, app.ReceiveBuffer.size());
  bool whole = false;
  for (int attempt = 0; attempt < kReadAttempts && !whole; ++attempt) {
    app.sleeper->Sleep(kReplyWaitMs);
    whole = ReadInto(app, kConfigReplyLength) == kConfigReplyLength;
  }
  if (!whole) {
    app.boxes->Show("Read Failed", nullptr, BoxOwner::None, kAnsiCodePage);
    return;
  }
  // Taken out before the box opens: ticks inside it may reuse the buffer.
  std::memcpy(app.image.bytes.data(), app.ReceiveBuffer.data() + kConfigReplyRecordOffset,
              kConfigImageSize);
  ShowOk(app, "Read successfully!");
  DecodeImage(app.image, *app.form);
}

void OnSet(AppState& app) {
  if (!EncodeForm(*app.form, *app.boxes, app.image)) {
    return;
  }
  Write(app, kConfigWritePrefix.data(), kConfigWritePrefix.size());
  Write(app, app.image.bytes.data(), app.image.bytes.size());
  Write(app, kConfigWriteSuffix.data(), kConfigWriteSuffix.size());
  app.awaitingAck = true;
}

void OnRestart(AppState& app) {
  app.port->Purge();
  WriteCommand(app, kCodeRestart);
  app.awaitingReboot = true;
  app.sleeper->Sleep(kReplyWaitMs);
}

void OnFactoryReset(AppState& app) {
  WriteCommand(app, kCodeFactoryReset);
  app.awaitingAck = true;
}

void OnPollTimer(AppState& app) {
  // Every flag is cleared before its box opens: ticks go on inside boxes.
  if (app.searchActive) {
    SendBytes(*app.port, kSearchProbe.data(), kSearchProbe.size());
    // Left-over bytes of an earlier, longer read could fake a reply.
    ClearReceiveBuffer(app, app.ReceiveBuffer.size());
    ReadInto(app, kProbeReadLength);
    if (HasMarker(app.ReceiveBuffer, kCodeFound)) {
      ClearReceiveBuffer(app, kPartialClear);
      app.form->SetText(IDC_SEARCH, "SEARCH");
      app.searchActive = false;
      ShowOk(app, "Find DTU");
      for (int id : {IDC_READ, IDC_SET, IDC_RESTART, IDC_OPEN, IDC_FACTORY_RESET}) {
        app.form->EnableControl(id, true);
      }
    }
  }
  if (app.awaitingAck) {
    ClearReceiveBuffer(app, app.ReceiveBuffer.size());
    ReadInto(app, kAckReadLength);
    if (HasMarker(app.ReceiveBuffer, kCodeAck)) {
      app.awaitingAck = false;
      ShowOk(app, "SUCESS");
    }
    return;
  }
  if (app.awaitingReboot) {
    ClearReceiveBuffer(app, kPartialClear);
    ReadInto(app, kAckReadLength);
    if (HasMarker(app.ReceiveBuffer, kCodeAck)) {
      app.awaitingReboot = false;
      ShowOk(app, "Reboot successfully!");
    }
  }
}
