#include "ops/firmware_upload.h"

#include <cstdio>
#include <cstring>

#include "ops/messages.h"
#include "ops/port_open.h"
#include "ops/settings.h"
#include "discovery/com_port_list.h"
#include "discovery/device_locator.h"
#include "platform/files.h"
#include "platform/time.h"
#include "ports/port_io.h"
#include "protocol/device_channel.h"

namespace {

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
// another device: the records must follow the converter. false when it is not
// there.
bool ReopenName(const std::string& portName, bool converterPort, std::string& name) {
  name = portName;
  if (!converterPort || DevicePortIsConverter(portName.c_str()) != 0) return true;
  char found[ComPortNameSize];
  if (LocateDevicePort(found, sizeof found) == 0) return false;
  name = found;
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

// Sends the file's records until its end or the first missing acknowledgement.
void SendRecords(PortId portId, std::FILE* file, const Upload& upload, UploadReport& report) {
  FirmwareRecord record;
  std::memset(&record, 0, sizeof record);  // a short first piece is padded with zeros
  for (FirmwareRecordPlace place;; place.Next()) {
    // A short later piece keeps the previous record's bytes after it.
    const size_t got = std::fread(record.Data, 1, sizeof record.Data, file);
    if (got == 0) {
      // A read error ends the upload like the end of the file.
      report.result = std::ferror(file) == 0 ? UploadDone : UploadReadFailed;
      return;
    }
    FirmwareRecordSeal(record, place);
    if (FirmwareRecordSend(portId, ConverterBusAddress, record) != ResultOk) {
      report.result = UploadTimeout;
      upload.Message(MsgTimeout);
      return;
    }
    ++report.recordsSent;
    report.bytesSent += got;
    upload.Progress(UploadSending);
  }
}

}  // namespace

std::string FirmwareOpenFailedText(const char* fileName) { return std::string(MsgFileOpenFailed) + fileName; }

const char* UploadPhaseText(UploadPhase phase) {
  switch (phase) {
    case UploadEntering: return "Переход в режим обновления";
    case UploadWaiting: return "Ожидание устройства";
    case UploadSending: return "Передача прошивки";
    case UploadFinishing: return "Завершение обновления";
  }
  return "";
}

UploadReport FirmwareUpload(const char* portName, PortId& portId, const char* fileName, const UploadHooks& hooks) {
  UploadReport report;
  const Upload upload(hooks, report);

  // An image whose page numbers would wrap is refused before anything is sent.
  uint64_t fileSize = 0;
  if (FileRegularSize(fileName, &fileSize)) {
    report.recordsTotal = RecordsOf(fileSize);
    if (report.recordsTotal > FirmwareMaxRecords) {
      report.result = UploadTooLarge;
      upload.Message(MsgFirmwareTooLarge);
      return report;
    }
  }

  // Asked while the converter is still where the user found it.
  const bool converterPort = DevicePortIsConverter(portName) != 0;
  if (portId == 0 && !OpenPortForExchange(portName, portId)) {
    upload.Message(MsgPortOpenFailed, PortFailureReason(PortLastFailure()));
    return report;
  }
  upload.Progress(UploadEntering);
  SetUpdateMode(portId, ConverterBusAddress, true);
  upload.Busy(true);
  CloseAfterSending(portId);
  upload.Progress(UploadWaiting);
  upload.Wait(hooks.reopenDelayMs);

  std::string reopenName;
  const bool back = ReopenName(portName, converterPort, reopenName);
  if (!back || !OpenPortForExchange(reopenName.c_str(), portId)) {
    portId = 0;
    report.result = UploadReopenFailed;
    upload.Message(MsgPortReopenFailed, back ? PortFailureReason(PortLastFailure()) : MsgConverterGone);
    upload.Busy(false);
    return report;
  }
  SetUpdateMode(portId, ConverterBusAddress, true);

  std::FILE* file = std::fopen(fileName, "rb");
  if (file == nullptr) {
    report.result = UploadFileFailed;
    upload.Message(FirmwareOpenFailedText(fileName).c_str());
    CloseAfterSending(portId);
    portId = 0;
    upload.Busy(false);
    return report;
  }
  upload.Progress(UploadSending);
  SendRecords(portId, file, upload, report);

  std::fclose(file);
  upload.Progress(UploadFinishing);
  SetUpdateMode(portId, ConverterBusAddress, false);
  CloseAfterSending(portId);
  upload.Wait(hooks.finishDelayMs);
  upload.Message(MsgFinished);
  portId = 0;
  upload.Busy(false);
  return report;
}
