#pragma once
// The firmware update: switch the converter into its update mode, let it come
// back, send the image as records (protocol/firmware_record.h), and switch the
// update mode off. No window code here; the front end supplies the messages,
// the waits, the busy indicator and the progress display.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "discovery/device_locator.h"
#include "ports/port_table.h"
#include "protocol/firmware_record.h"

constexpr int32_t FirmwareSettleMs = 5000;  // the converter's time to come back
constexpr int32_t FirmwareTcpLingerMs = 250;  // a TCP port's last commands on their way before it closes
// The largest image whose page numbers do not wrap.
constexpr uint64_t FirmwareMaxBytes = FirmwareMaxRecords * FirmwareRecordData;

inline constexpr const char* FirmwareFileName = "trelvo.bin";

enum UploadPhase {
  UploadEntering,     // switching the converter into its update mode
  UploadWaiting,      // waiting for it to come back
  UploadSending,      // sending records
  UploadFinishing,    // switching the update mode off and waiting
};

// The message for an image that cannot be opened, naming it.
std::string FirmwareOpenFailedText(const char* fileName);

// Russian name of a phase for a progress display.
const char* UploadPhaseText(UploadPhase phase);

// How an update ended; each failure has had its message shown.
enum UploadResult {
  UploadDone,             // every record of the image was acknowledged
  UploadPortOpenFailed,   // nothing was sent
  UploadTooLarge,         // nothing was sent
  UploadReopenFailed,     // the converter did not come back, or its port did not open
  UploadFileFailed,       // the image could not be opened; nothing was sent
  UploadTimeout,          // a record was not acknowledged; the update mode was switched off
  UploadReadFailed,       // the image could not be read to its end; nothing was sent
  UploadInterrupted,      // stopped on request; the update mode was switched off if it had been entered
};

struct UploadReport {
  UploadResult result = UploadPortOpenFailed;
  uint64_t recordsSent = 0;   // acknowledged records
  uint64_t recordsTotal = 0;  // records the image makes
  uint64_t bytesSent = 0;     // image bytes carried by the acknowledged records
  std::string port;           // the port it ended on: the reopened one when the converter came back under another name
};

struct UploadHooks {
  // Shows a message, with the reason under it where there is one (a port
  // that did not open, a file that cannot be read); returns when it was seen.
  std::function<void(const char* text, const std::string& reason)> message;
  std::function<void(int32_t ms)> wait;           // a pause; plain sleep when empty
  std::function<void(bool on)> busy;              // the busy (hourglass) indicator
  std::function<void(UploadPhase phase, const UploadReport& sofar)> progress;
  // Asked before each record and during the last pause: true ends the update
  // early, with the converter told to leave its update mode. Never when empty.
  std::function<bool()> stopRequested;
  int32_t reopenDelayMs = FirmwareSettleMs;  // between leaving the port and opening it again
  int32_t finishDelayMs = FirmwareSettleMs;  // after switching the update mode off
};

// Reads a whole image file, once: what is sent later is what the file held
// now, whatever happens to it meanwhile. UploadDone when it was read; else
// UploadTooLarge, UploadFileFailed or UploadReadFailed with the message and
// the reason (where it was looked for, what to do) for the user.
UploadResult FirmwareImageLoad(const char* fileName, std::vector<uint8_t>& image, std::string& message,
                               std::string& reason);

// Runs the whole update of image on portId, opening portName first when portId
// is 0. Every path past that first open leaves the port closed and portId 0.
// Shows the same messages in the same order as the window always has. When
// portName is a converter's USB port, the reopen after the mode switch goes
// to that converter wherever it came back, known by its serial number or else
// its place on the bus (its new name when the old one was handed to another
// device), and fails when it is not there.
UploadReport FirmwareUploadImage(const char* portName, PortId& portId, const std::vector<uint8_t>& image,
                                 const UploadHooks& hooks);

// The window's update: opens portName when portId is 0, reads fileName whole
// (a file that cannot be read is told, with the port closed and portId 0,
// before anything is sent to the converter), then FirmwareUploadImage.
UploadReport FirmwareUpload(const char* portName, PortId& portId, const char* fileName, const UploadHooks& hooks);

// Tells a converter to leave its update mode when the update that put it
// there can no longer do it (its process has gone): finds the converter as
// the update's reopen does (by its serial number, else its place, else its
// old port name; behind a network port, by that port's name), looking again
// for at most waitMs while it is not there;
// opens its port, sends the command and closes it. No acknowledgement is
// waited for: the converter sends none. The port layer must be initialised.
// False, with the reason for the user, when the converter was not found or
// its port did not open.
bool FirmwareLeaveUpdateMode(const ConverterPort& converter, int32_t waitMs, std::string& reason);
