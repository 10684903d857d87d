#include "ops/firmware_upload.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "ops/messages.h"
#include "ops/port_open.h"
#include "ops/settings.h"
#include "discovery/device_locator.h"
#include "platform/files.h"
#include "platform/time.h"
#include "ports/port_io.h"
#include "ports/port_table.h"
#include "protocol/device_channel.h"

namespace {

constexpr int32_t kStopLookMs = 50;  // a pause that a stop request may cut looks this often
// A record cut short (its sender ended in the middle of it) is given up by
// the converter after a silence; a command sent sooner would be taken as the
// rest of that record. The time a record may take for its acknowledgement.
constexpr int32_t kCutRecordGapMs = 500;

class Upload {
 public:
  Upload(const UploadHooks& hooks, UploadReport& report) : hooks_(hooks), report_(report) {}

  void Message(const char* text, const std::string& reason = std::string()) const {
    if (hooks_.message) hooks_.message(text, reason);
  }
  void Wait(int32_t ms) const {
    if (hooks_.wait)
      hooks_.wait(ms);
    else
      PlatformSleepMs(ms);
  }
  // A pause that ends early on a stop request; true when it did.
  bool WaitUnlessStopped(int32_t ms) const {
    for (int32_t left = ms; left > 0; left -= kStopLookMs) {
      if (Stopped()) return true;
      Wait(std::min(left, kStopLookMs));
    }
    return Stopped();
  }
  bool Stopped() const { return hooks_.stopRequested && hooks_.stopRequested(); }
  void Busy(bool on) const {
    if (hooks_.busy) hooks_.busy(on);
  }
  void Progress(UploadPhase phase) const {
    if (hooks_.progress) hooks_.progress(phase, report_);
  }

 private:
  const UploadHooks& hooks_;
  UploadReport& report_;
};

// The name to reopen after the converter's mode switch. A converter that
// re-enumerates may come back under another name while its old one goes to
// another device, even to another converter: the records must follow this
// converter, known by its serial number or else its place on the bus. false
// when it is not there.
bool ReopenName(const std::string& portName, const ConverterPort* converter, std::string& name) {
  name = portName;
  if (converter == nullptr) return true;
  ConverterPort now{};
  if (!LocateConverterAgain(*converter, now)) {
    // Known by neither: only its old name, if that is still a converter's.
    ConverterPort there{};
    return converter->serial[0] == '\0' && converter->location[0] == '\0' &&
           LocateConverterOnPort(portName.c_str(), there);
  }
  name = now.port;
  return true;
}

// Closes a port the update has just sent commands on. ser2net now and then
// drops the bytes that come right before a connection closes, and the
// converter would miss the command that switches its update mode: a TCP port
// is given a moment first.
void CloseAfterSending(PortId portId) {
  if (PortIsNetwork(portId)) PlatformSleepMs(FirmwareTcpLingerMs);
  PortClose(portId);
}

void SetUpdateMode(PortId portId, uint8_t address, bool enter) {
  SendShortCommand(portId, address, enter ? UpdateEnterCommand : UpdateLeaveCommand);
}

uint64_t RecordsOf(uint64_t bytes) { return (bytes + FirmwareRecordData - 1) / FirmwareRecordData; }

// Sends the image's records until its end, the first missing acknowledgement,
// or a stop request.
void SendRecords(PortId portId, const std::vector<uint8_t>& image, const Upload& upload, UploadReport& report) {
  FirmwareRecord record;
  std::memset(&record, 0, sizeof record);  // a short first piece is padded with zeros
  size_t at = 0;
  for (FirmwareRecordPlace place; at < image.size(); place.Next()) {
    if (upload.Stopped()) {
      report.result = UploadInterrupted;
      return;
    }
    // A short later piece keeps the previous record's bytes after it.
    const size_t piece = std::min(image.size() - at, sizeof record.Data);
    std::memcpy(record.Data, image.data() + at, piece);
    FirmwareRecordSeal(record, place);
    if (FirmwareRecordSend(portId, ConverterBusAddress, record) != ResultOk) {
      report.result = UploadTimeout;
      upload.Message(MsgTimeout, PortFailureReason(PortLastFailure()));
      return;
    }
    at += piece;
    ++report.recordsSent;
    report.bytesSent += piece;
    upload.Progress(UploadSending);
  }
  report.result = UploadDone;
}

}  // namespace

std::string FirmwareOpenFailedText(const char* fileName) { return std::string(MsgFileOpenFailed) + fileName; }

const char* UploadPhaseText(UploadPhase phase) {
  switch (phase) {
    case UploadEntering: return MsgPhaseEntering;
    case UploadWaiting: return MsgPhaseWaiting;
    case UploadSending: return MsgPhaseSending;
    case UploadFinishing: return MsgPhaseFinishing;
  }
  return "";
}

UploadResult FirmwareImageLoad(const char* fileName, std::vector<uint8_t>& image, std::string& message,
                               std::string& reason) {
  const int error = FileReadAll(fileName, FirmwareMaxBytes, image);
  if (error == 0) return UploadDone;
  // Page numbers that would wrap would overwrite the converter's low pages.
  if (error == EFBIG) {
    message = MsgFirmwareTooLarge;
    reason.clear();
    return UploadTooLarge;
  }
  message = FirmwareOpenFailedText(fileName);
  reason = MsgImageFileReason(FileBaseName(fileName), FileFolderOf(fileName), error, FileErrorText(error));
  const bool opened = error != ENOENT && error != EACCES && error != EISDIR && error != EINVAL;
  return opened ? UploadReadFailed : UploadFileFailed;
}

UploadReport FirmwareUploadImage(const char* portName, PortId& portId, const std::vector<uint8_t>& image,
                                 const UploadHooks& hooks) {
  UploadReport report;
  report.port = portName;
  const Upload upload(hooks, report);
  report.recordsTotal = RecordsOf(image.size());
  if (report.recordsTotal > FirmwareMaxRecords) {
    report.result = UploadTooLarge;
    upload.Message(MsgFirmwareTooLarge);
    return report;
  }
  // Asked while the converter is still where the user found it.
  ConverterPort converter{};
  const bool converterPort = LocateConverterOnPort(portName, converter);
  if (!upload.Stopped() && portId == 0 && !OpenPortForExchange(portName, portId)) {
    upload.Message(MsgPortOpenFailed, PortFailureReason(PortLastFailure()));
    return report;
  }
  if (upload.Stopped()) {
    PortClose(portId);
    portId = 0;
    report.result = UploadInterrupted;
    upload.Message(MsgUpdateInterrupted, MsgNothingSent);
    return report;
  }
  upload.Progress(UploadEntering);
  SetUpdateMode(portId, ConverterBusAddress, true);
  upload.Busy(true);
  CloseAfterSending(portId);
  upload.Progress(UploadWaiting);
  // Not cut short by a stop request: the converter has to be back before it
  // can be told to leave its update mode.
  upload.Wait(hooks.reopenDelayMs);

  std::string reopenName;
  const bool back = ReopenName(portName, converterPort ? &converter : nullptr, reopenName);
  if (back) report.port = reopenName;
  if (!back || !OpenPortForExchange(reopenName.c_str(), portId)) {
    portId = 0;
    report.result = UploadReopenFailed;
    upload.Message(MsgPortReopenFailed, back ? PortFailureReason(PortLastFailure()) : MsgConverterGone);
    upload.Busy(false);
    return report;
  }
  if (upload.Stopped()) {
    report.result = UploadInterrupted;
  } else {
    SetUpdateMode(portId, ConverterBusAddress, true);
    upload.Progress(UploadSending);
    SendRecords(portId, image, upload, report);
  }

  upload.Progress(UploadFinishing);
  SetUpdateMode(portId, ConverterBusAddress, false);
  CloseAfterSending(portId);
  portId = 0;
  if (report.result != UploadInterrupted && upload.WaitUnlessStopped(hooks.finishDelayMs) &&
      report.result == UploadDone)
    report.result = UploadInterrupted;
  if (report.result == UploadInterrupted)
    upload.Message(MsgUpdateInterrupted,
                   MsgRecordsSent(report.recordsSent, report.recordsTotal) + ". " + MsgUpdateModeLeft);
  else
    upload.Message(MsgFinished);
  upload.Busy(false);
  return report;
}

bool FirmwareLeaveUpdateMode(const ConverterPort& converter, int32_t waitMs, std::string& reason) {
  // Known by neither serial number nor place behind a network port, the
  // converter is wherever its port's name leads, as the update's reopen takes it.
  const bool byName =
      converter.serial[0] == '\0' && converter.location[0] == '\0' && PortNameIsNetwork(converter.port);
  std::string name;
  const uint32_t since = PlatformTickMs();
  while (!ReopenName(converter.port, byName ? nullptr : &converter, name)) {
    if (static_cast<int32_t>(PlatformTickMs() - since) >= waitMs) {
      reason = MsgConverterGone;
      return false;
    }
    PlatformSleepMs(kStopLookMs);
  }
  PortId portId = 0;
  if (!OpenPortForExchange(name.c_str(), portId)) {
    reason = PortFailureReason(PortLastFailure());
    return false;
  }
  PlatformSleepMs(kCutRecordGapMs);
  SetUpdateMode(portId, ConverterBusAddress, false);
  CloseAfterSending(portId);
  return true;
}

UploadReport FirmwareUpload(const char* portName, PortId& portId, const char* fileName, const UploadHooks& hooks) {
  UploadReport report;
  const Upload upload(hooks, report);
  // The window's order: the port first, as it always was; then the image,
  // read whole before the converter hears the first command.
  if (portId == 0 && !OpenPortForExchange(portName, portId)) {
    upload.Message(MsgPortOpenFailed, PortFailureReason(PortLastFailure()));
    return report;
  }
  std::vector<uint8_t> image;
  std::string message;
  std::string reason;
  report.result = FirmwareImageLoad(fileName, image, message, reason);
  if (report.result == UploadDone) return FirmwareUploadImage(portName, portId, image, hooks);
  PortClose(portId);
  portId = 0;
  upload.Message(message.c_str(), reason);
  return report;
}
