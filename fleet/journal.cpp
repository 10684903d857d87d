#include "fleet/journal.h"

#include <chrono>
#include <cstdio>

#include "ops/json.h"
#include "ops/messages.h"
#include "ops/settings.h"
#include "ops/sha256.h"
#include "platform/environment.h"
#include "platform/files.h"
#include "platform/folders.h"
#include "platform/locked_file.h"

const char* const JournalFirstPrev = "0000000000000000000000000000000000000000000000000000000000000000";

namespace {

constexpr int32_t kLockWaitMs = 10000;        // another writer holds the lock for one line
constexpr uint64_t kReadMax = 1ull << 30;     // the largest journal read whole
constexpr size_t kTailChunk = 4096;

std::string Problem(const std::string& path, int error) { return path + ": " + FileErrorText(error); }

// UTC in ISO 8601 with milliseconds, "2026-12-08T01:23:45.678Z".
std::string UtcNow() {
  using namespace std::chrono;
  const int64_t ms = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
  int64_t days = ms / 86400000;
  const int64_t inDay = ms % 86400000;
  // The civil date of a day count (days from 1970-01-01), as proleptic Gregorian.
  days += 719468;
  const int64_t era = days / 146097;
  const int64_t doe = days - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int64_t day = doy - (153 * mp + 2) / 5 + 1;
  const int64_t month = mp < 10 ? mp + 3 : mp - 9;
  const int64_t year = yoe + era * 400 + (month <= 2);
  char text[80];
  std::snprintf(text, sizeof text, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lld.%03lldZ", static_cast<long long>(year),
                static_cast<long long>(month), static_cast<long long>(day), static_cast<long long>(inDay / 3600000),
                static_cast<long long>(inDay / 60000 % 60), static_cast<long long>(inDay / 1000 % 60),
                static_cast<long long>(inDay % 1000));
  return text;
}

// The settings as read --json names them, with the record's bytes; null
// when raw is no record.
std::string SettingsJson(const std::string& raw) {
  DeviceSettings settings{};
  if (!SettingsParseRaw(raw, settings)) return "null";
  const SettingsView view = SettingsToView(settings);
  return "{\"baud\":" + view.baudRate + ",\"parity\":\"" + ParityNames[view.parityRow] +
         "\",\"data_bits\":" + std::to_string(DataBitsValues[view.dataBitsRow]) +
         ",\"stop_bits\":" + (view.twoStopBits ? "2" : "1") +
         ",\"echo_suppression\":" + (view.echoSuppression ? "true" : "false") + ",\"raw\":\"" + raw + "\"}";
}

std::string TextOf(const Json& value) { return value.kind == Json::String ? value.text : std::string(); }

// The unit's members, from its steps' results: the settings before and
// after (a write's record as read before it and as read back; a read's
// record is both), whether the write was checked, the image.
std::string UnitMembers(const JournalUnit& unit) {
  std::string steps;
  std::string before = "null";
  std::string after = "null";
  std::string verified = "null";
  std::string sha256 = unit.imageSha256;
  std::string size = unit.image.empty() ? std::string() : std::to_string(unit.imageSize);
  for (const JournalUnit::Step& step : unit.steps) {
    Json result;
    if (!JsonParse(step.result, result)) result = Json{};
    steps += std::string(steps.empty() ? "" : ",") + "{\"step\":" + JsonString(step.step) +
             ",\"exit_code\":" + std::to_string(step.exitCode) + ",\"error\":" + JsonOrNull(TextOf(result["error"])) +
             ",\"reason\":" + JsonOrNull(TextOf(result["reason"])) + "}";
    if (step.step == "write") {
      before = SettingsJson(TextOf(result["raw_before"]));
      after = step.exitCode == 0 ? SettingsJson(TextOf(result["raw"])) : "null";
      if (result["verified"].kind == Json::Bool) verified = result["verified"].boolean ? "true" : "false";
    } else if (step.step == "read" && step.exitCode == 0) {
      before = after = SettingsJson(TextOf(result["raw"]));
    } else if (step.step == "flash") {
      // What the update itself read and sent.
      if (Sha256IsHex(TextOf(result["sha256"]))) sha256 = TextOf(result["sha256"]);
      if (result["file_size"].kind == Json::Number) size = result["file_size"].text;
    }
  }
  const std::string image = unit.image.empty() ? "null"
                                               : "{\"file\":" + JsonString(unit.image) + ",\"size\":" + size +
                                                     ",\"sha256\":" + JsonOrNull(sha256) + "}";
  return "\"operation\":" + JsonString(unit.operation) + ",\"serial\":" + JsonOrNull(unit.serial) +
         ",\"location\":" + JsonOrNull(unit.location) + ",\"port\":" + JsonOrNull(unit.port) + ",\"steps\":[" +
         steps + "],\"image\":" + image + ",\"before\":" + before + ",\"after\":" + after +
         ",\"verified\":" + verified + ",\"result\":" + JsonString(unit.result) +
         ",\"exit_code\":" + std::to_string(unit.exitCode) + ",\"error\":" + JsonOrNull(unit.error) +
         ",\"reason\":" + JsonOrNull(unit.reason) + ",\"duration_ms\":" + std::to_string(unit.durationMs);
}

// The last line's bytes, without its line break; ended: whether the file
// ends with one (a line cut by a crash does not).
int LastLine(const LockedFile& file, std::string& line, bool& ended) {
  line.clear();
  ended = true;
  uint64_t size = 0;
  if (const int error = LockedFileSize(file, size); error != 0) return error;
  if (size == 0) return 0;
  std::string tail;
  uint64_t start = size;
  for (;;) {
    const uint64_t from = start > kTailChunk ? start - kTailChunk : 0;
    std::string chunk(static_cast<size_t>(start - from), '\0');
    size_t got = 0;
    if (const int error = LockedFileReadAt(file, from, chunk.data(), chunk.size(), got); error != 0) return error;
    tail.insert(0, chunk, 0, got);
    start = from;
    const size_t end = tail.size() - (tail.back() == '\n' ? 1 : 0);
    const size_t breakAt = end == 0 ? std::string::npos : tail.rfind('\n', end - 1);
    if (breakAt != std::string::npos || start == 0) {
      ended = tail.back() == '\n';
      line = tail.substr(breakAt == std::string::npos ? 0 : breakAt + 1, end - (breakAt == std::string::npos ? 0 : breakAt + 1));
      return 0;
    }
  }
}

}  // namespace

bool JournalPrepare(const std::string& chosen, std::string& path, std::string& reason) {
  path = chosen;
  if (path.empty()) {
    int error = 0;
    const std::string folder = FolderUserState("rs485setup", error);
    if (folder.empty()) {
      reason = MsgJournalProblem("journal.jsonl", FileErrorText(error), false);
      return false;
    }
    path = folder + "/journal.jsonl";
  }
  LockedFile file;
  if (const int error = LockedFileOpen(path.c_str(), kLockWaitMs, file); error != 0) {
    reason = MsgJournalProblem(path, FileErrorText(error), false);
    return false;
  }
  LockedFileClose(file);
  return true;
}

bool JournalAppendUnit(const std::string& path, const JournalUnit& unit, std::string& reason) {
  LockedFile file;
  int error = LockedFileOpen(path.c_str(), kLockWaitMs, file);
  std::string last;
  bool ended = true;
  if (error == 0) error = LastLine(file, last, ended);
  if (error == 0) {
    std::string computer = PlatformComputerName();
    std::string user = PlatformUserName();
    // A line cut by a crash stays a line of its own, which the chain then flags.
    const std::string line = std::string(ended ? "" : "\n") + "{\"time\":\"" + UtcNow() +
                             "\",\"computer\":" + JsonOrNull(computer) + ",\"user\":" + JsonOrNull(user) +
                             ",\"version\":\"" RS485_VERSION "\"," + UnitMembers(unit) + ",\"prev\":\"" +
                             (last.empty() && ended ? std::string(JournalFirstPrev)
                                                    : Sha256Hex(reinterpret_cast<const uint8_t*>(last.data()), last.size())) +
                             "\"}\n";
    error = LockedFileAppend(file, line.data(), line.size());
  }
  LockedFileClose(file);
  if (error != 0) reason = MsgJournalProblem(path, FileErrorText(error), true);
  return error == 0;
}

bool JournalReadLines(const std::string& path, std::vector<std::string>& lines, std::string& reason) {
  lines.clear();
  std::vector<uint8_t> bytes;
  if (const int error = FileReadAll(path.c_str(), kReadMax, bytes); error != 0) {
    reason = Problem(path, error);
    return false;
  }
  std::string text(bytes.begin(), bytes.end());
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return true;
}

size_t JournalVerify(const std::vector<std::string>& lines, std::string& why) {
  std::string expected = JournalFirstPrev;
  for (size_t k = 0; k < lines.size(); ++k) {
    Json line;
    if (!JsonParse(lines[k], line) || line.kind != Json::Object) {
      why = "не объект JSON";
      return k + 1;
    }
    if (TextOf(line["prev"]) != expected) {
      why = k == 0 ? "первая строка не начинает цепочку"
                   : "хеш предыдущей строки не совпадает: строка изменена, удалена или переставлена";
      return k + 1;
    }
    expected = Sha256Hex(reinterpret_cast<const uint8_t*>(lines[k].data()), lines[k].size());
  }
  return 0;
}
