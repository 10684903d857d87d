#pragma once
// What rs485ctl prints: text for people, or one JSON object for scripts.

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "discovery/device_locator.h"
#include "fleet/fleet.h"
#include "ops/json.h"
#include "ops/firmware_upload.h"
#include "ops/settings.h"

// rs485ctl's exit codes; with several converters, the worst of theirs.
// They are the fleet's, which its workers end with.
enum CtlExit {
  ExitOk = FleetOk,
  ExitAbsent = FleetAbsent,
  ExitUsage = FleetUsage,
  ExitPort = FleetPort,
  ExitRead = FleetRead,
  ExitWrite = FleetWrite,
  ExitFirmware = FleetFirmware,
  ExitOutput = FleetOutput,
  ExitDrift = 9,  // audit: a converter's settings differ from what was planned
  ExitInterrupted = FleetInterrupted,  // as a shell reports a program ended by Ctrl+C
};

// Writes text to one of rs485ctl's streams (a console gets it as characters).
// A failed write to standard output is remembered: CtlOutputFailed.
bool CtlWrite(FILE* out, const std::string& text);
bool CtlOutputFailed();

// From now on every line written to standard error starts with label (a
// worker's lines among the others').
void CtlSetStderrLabel(const std::string& label);

// While held, what goes to standard output is kept back; released, it is
// written: a unit's result is shown only once the journal has its line.
void CtlHoldStdout(bool hold);

// The last result of one converter printed (with --json) or not, as one JSON
// object: what the journal records of a write or flash.
const std::string& CtlLastResult();

// A write's record as read before it: from now on a failure's object
// carries it as "raw_before", after "port".
void CtlNoteRecordBefore(const DeviceSettings& before);

// One line of JSON Lines on standard output, sent on at once.
void CtlWriteLine(const std::string& line);

// printf into a string, for CtlWrite.
template <class... Args>
std::string CtlFormat(const char* format, Args... args) {
  const int size = std::snprintf(nullptr, 0, format, args...);
  if (size <= 0) return std::string();
  std::string text(static_cast<size_t>(size) + 1, '\0');
  std::snprintf(text.data(), text.size(), format, args...);
  text.pop_back();
  return text;
}

// Each printer writes to standard output unless told otherwise.
void PrintPortList(const std::vector<std::string>& names, bool json, FILE* out = stdout);
void PrintLocated(const std::string& port, bool json, FILE* out = stdout);
// verified: after a write, whether it was read back (-1: not a write);
// before: after a write, the record as read before it ("raw_before").
void PrintSettings(const std::string& port, const DeviceSettings& settings, bool written, bool json,
                   FILE* out = stdout, int verified = -1, const DeviceSettings* before = nullptr);
// The image an update sent, whatever its file is called.
struct ImageIdentity {
  uint64_t size = 0;
  std::string sha256;  // lower-case hex
};
// failure: the first failure message the update showed, empty when none;
// reason: the reason shown with it, empty when none.
void PrintFlashReport(const std::string& port, const std::string& file, const ImageIdentity& image,
                      const UploadReport& report, const std::string& failure, const std::string& reason, bool json,
                      FILE* out = stdout);
// A failure that ended the command: for scripts one JSON object (port may be
// nullptr: not known; reason empty: none); people read the message and the
// reason on standard error instead.
void PrintError(const char* port, const char* message, const std::string& reason, bool json, FILE* out = stdout);
// That object: {"port":…,"error":…,"reason":…}.
std::string ErrorJson(const char* port, const char* message, const std::string& reason);

// A write whose record read back differs: the error object names the fields.
void PrintVerifyFailed(const std::string& port, const std::string& reason, const std::vector<const char*>& fields,
                       bool json, FILE* out = stdout);

// The converters found: a line each (port, serial number, place; "-" for
// none; for one without a serial port, why), or {"converters":[…]}.
void PrintConverters(const ConverterList& list, bool json, FILE* out = stdout);
// {"port":…,"serial":…,"location":…,"reason":…}, null for what is not known;
// the reason of one without a serial port, null for the others.
std::string ConverterJson(const ConverterPort& converter);
// Several converters and none chosen: on standard error the message, what to
// do and the list; for scripts the error object with "converters". serial:
// the serial number given, which they share (empty: none was given).
void PrintSeveral(const ConverterList& list, const std::string& serial, bool json, FILE* out = stdout);

// A line of a unit's outcome for people: the verdict in a column of its own,
// serial number, place, port, then what happened.
std::string UnitLine(bool ok, const ConverterPort& converter, const std::string& detail);
// The same with a verdict of its own (at most 7 letters).
std::string UnitVerdictLine(const std::string& verdict, const ConverterPort& converter, const std::string& detail);

// Progress of a firmware update on standard error: on a terminal one line
// redrawn in place, as wide as the terminal allows (the bar goes first, then
// the text is cut), otherwise a line per phase and per tenth of the records.
// events: also a JSON line on standard output per phase and per percent,
// {"event":"progress","port":…,"phase":…,"records_sent":…,"records_total":…}.
class FlashProgress {
 public:
  explicit FlashProgress(bool terminal, bool events = false, const std::string& port = std::string());
  void Show(UploadPhase phase, const UploadReport& sofar);
  void Interrupt();  // ends a bar line before other output

 private:
  bool terminal_;
  bool events_;
  std::string port_;
  int eventPhase_ = -1;
  uint64_t eventPercent_ = 0;
  bool barShown_ = false;
  int lastPhase_ = -1;
  uint64_t lastTenth_ = 0;
  uint32_t sendingSince_ = 0;
};

// Starts the engine; ExitOk, or its refusal told on standard error (and as
// JSON with --json) and its exit code.
int CtlFleetStart(FleetEngine& engine, bool json);

// A CSV cell as RFC 4180 has it: quoted when it holds a quote, a comma or a
// line break.
std::string CtlCsvCell(const std::string& text);
