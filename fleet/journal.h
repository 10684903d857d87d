#pragma once
// The journal: one JSON line per unit that an operation changing converters
// served (write, flash, --all, watch, the station), kept per user across
// runs and programs. Each line carries the SHA-256 of the line before it, so
// that a line edited, removed or moved is found; lines are appended under an
// exclusive lock and are on the disk before the unit is reported done, so
// that several writers (workers' parents, two programs, the window) never
// mix or lose one. Nothing here prints.

#include <cstdint>
#include <string>
#include <vector>

// What the first line carries as the hash of the line before it.
extern const char* const JournalFirstPrev;

// One unit served, as its line records it.
struct JournalUnit {
  struct Step {
    std::string step;    // "read", "write", "flash"
    int exitCode = 0;
    std::string result;  // the JSON object the step printed (rs485ctl --json, a worker's result)
  };
  std::string operation;  // "write", "flash", "watch", "station"
  std::string serial;     // empty: none known
  std::string location;
  std::string port;
  std::vector<Step> steps;
  std::string image;        // the image's file as given; empty: no update
  uint64_t imageSize = 0;
  std::string imageSha256;  // as read before the run; a flash result's own wins
  std::string result;       // "ok", "failed", "interrupted"
  int exitCode = 0;
  std::string error;  // the failure in the user's words; empty: none
  std::string reason;
  uint32_t durationMs = 0;
};

// The journal to use: chosen, or the default place (the user's state folder,
// made when missing, and journal.jsonl), opened or created and locked once,
// before any converter is touched. false with why (the file and the
// system's words) in reason.
bool JournalPrepare(const std::string& chosen, std::string& path, std::string& reason);

// Appends the unit's line, with the time, computer, user and tool version,
// under the lock, read the last line's hash, append, sync. true once it is
// on the disk; false with why in reason.
bool JournalAppendUnit(const std::string& path, const JournalUnit& unit, std::string& reason);

// The journal's lines, without their line breaks. false with why in reason
// when it cannot be read.
bool JournalReadLines(const std::string& path, std::vector<std::string>& lines, std::string& reason);

// 0 when every line carries the hash of the one before it (the first,
// JournalFirstPrev) and is one JSON object; otherwise the 1-based number of
// the first line that breaks the chain, with why.
size_t JournalVerify(const std::vector<std::string>& lines, std::string& why);
