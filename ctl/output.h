#pragma once
// What rs485ctl prints: text for people, or one JSON object for scripts.

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "ops/firmware_upload.h"
#include "ops/settings.h"

// Writes text to one of rs485ctl's streams (a console gets it as characters).
// A failed write to standard output is remembered: CtlOutputFailed.
bool CtlWrite(FILE* out, const std::string& text);
bool CtlOutputFailed();

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

// Names of the parity rows on the command line.
extern const char* const CtlParityNames[ParityRows];

// Each printer writes to standard output unless told otherwise.
void PrintPortList(const std::vector<std::string>& names, bool json, FILE* out = stdout);
void PrintLocated(const std::string& port, bool json, FILE* out = stdout);
void PrintSettings(const std::string& port, const DeviceSettings& settings, bool written, bool json,
                   FILE* out = stdout);
// failure: the first failure message the update showed, empty when none;
// reason: the reason shown with it, empty when none.
void PrintFlashReport(const std::string& port, const std::string& file, const UploadReport& report,
                      const std::string& failure, const std::string& reason, bool json, FILE* out = stdout);
// A failure that ended the command: for scripts one JSON object (port may be
// nullptr: not known; reason empty: none); people read the message and the
// reason on standard error instead.
void PrintError(const char* port, const char* message, const std::string& reason, bool json, FILE* out = stdout);

// text as a JSON string: quoted, escaped, and bytes that are not UTF-8 replaced
// by U+FFFD so that the output stays valid whatever a file name holds.
std::string JsonString(const std::string& text);

// Progress of a firmware update on standard error: on a terminal one line
// redrawn in place, as wide as the terminal allows (the bar goes first, then
// the text is cut), otherwise a line per phase and per tenth of the records.
class FlashProgress {
 public:
  explicit FlashProgress(bool terminal);
  void Show(UploadPhase phase, const UploadReport& sofar);
  void Interrupt();  // ends a bar line before other output

 private:
  bool terminal_;
  bool barShown_ = false;
  int lastPhase_ = -1;
  uint64_t lastTenth_ = 0;
  uint32_t sendingSince_ = 0;
};
