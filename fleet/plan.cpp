#include "fleet/plan.h"

#include <cstring>
#include <map>

#include "fleet/text_file.h"
#include "ops/firmware_upload.h"
#include "ops/settings.h"
#include "ops/sha256.h"
#include "platform/files.h"

namespace {

constexpr uint64_t kPlanMaxBytes = 16 * 1024 * 1024;

using Record = std::vector<std::string>;

// A CSV record at a time, as RFC 4180 has it; row counts records from 1.
class CsvReader {
 public:
  CsvReader(const std::string& text, char separator) : text_(text), separator_(separator) {}
  bool AtEnd() const { return at_ >= text_.size(); }
  int32_t Row() const { return row_; }

  // The next record; false with the problem when a quote is misplaced or left open.
  bool Next(Record& record, std::string& problem) {
    record.assign(1, std::string());
    ++row_;
    bool quoted = false;
    bool closed = false;  // the field's closing quote was seen
    for (; at_ < text_.size(); ++at_) {
      const char c = text_[at_];
      if (quoted) {
        if (c != '"') {
          record.back() += c;
        } else if (at_ + 1 < text_.size() && text_[at_ + 1] == '"') {
          record.back() += '"';
          ++at_;
        } else {
          quoted = false;
          closed = true;
        }
      } else if (c == separator_) {
        record.emplace_back();
        closed = false;
      } else if (c == '\n' || (c == '\r' && at_ + 1 < text_.size() && text_[at_ + 1] == '\n')) {
        at_ += c == '\r' ? 2 : 1;
        return true;
      } else if (closed) {
        problem = "после закрывающей кавычки ожидался разделитель";
        return false;
      } else if (c == '"' && record.back().empty()) {
        quoted = true;
      } else if (c == '"') {
        problem = "кавычка внутри значения без кавычек";
        return false;
      } else {
        record.back() += c;
      }
    }
    if (quoted) problem = "кавычка не закрыта до конца файла";
    return !quoted;
  }

 private:
  const std::string& text_;
  char separator_;
  size_t at_ = 0;
  int32_t row_ = 0;
};

// The header's separator: a semicolon when one comes before any comma.
char SeparatorOf(const std::string& text) {
  const size_t line = text.find_first_of("\r\n");
  const std::string header = text.substr(0, line);
  const size_t semicolon = header.find(';');
  return semicolon != std::string::npos && semicolon < header.find(',') ? ';' : ',';
}

bool Blank(const Record& record) {
  for (const std::string& cell : record)
    if (cell.find_first_not_of(" \t") != std::string::npos) return false;
  return true;
}

std::string Trimmed(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

bool AbsolutePath(const std::string& path) {
  return (!path.empty() && (path[0] == '/' || path[0] == '\\')) || (path.size() > 1 && path[1] == ':');
}

// One cell into the row; false with what is wrong with its value.
bool TakeCell(const std::string& column, const std::string& value, FleetPlanRow& row, std::string& problem) {
  if (column == "serial") {
    if (value.empty() || value.size() >= SerialIdSize) problem = "нужен серийный номер";
    row.serial = value;
  } else if (column == "location") {
    if (value.size() >= SerialIdSize) problem = "слишком длинное место подключения";
    row.location = value;
  } else if (value.empty()) {
    return true;  // an empty cell leaves its setting as the converter has it
  } else if (column == "baud") {
    if (!SettingsIsExactBaud(value)) problem = "скорость в бит/с, кратная 100, от 100 до 6553500, или 5760";
    row.settings.baud = value;
  } else if (column == "parity") {
    row.settings.parityRow = SettingsParityRow(value);
    if (row.settings.parityRow < 0) problem = "none, even, odd, mark или space";
  } else if (column == "bits") {
    for (int r = 0; r < DataBitsRows; ++r)
      if (value == std::to_string(DataBitsValues[r])) row.settings.dataBitsRow = r;
    if (row.settings.dataBitsRow < 0) problem = "7, 8 или 9";
  } else if (column == "stop") {
    if (value != "1" && value != "2") problem = "1 или 2";
    row.settings.stopBits = value[0] - '0';
  } else if (column == "echo") {
    if (value != "on" && value != "off") problem = "on или off";
    row.settings.echo = value == "on" ? 1 : 0;
  } else if (column == "image") {
    row.image = value;
  } else if (column == "sha256") {
    if (!Sha256IsHex(value)) problem = "64 шестнадцатеричные цифры";
    row.sha256 = value;
  }
  return problem.empty();
}

// An image as read when the plan was checked.
struct ImageSeen {
  std::string hash;
  uint64_t size = 0;
};

// Reads the row's image whole, as an update would read it, for its hash.
bool ImageHash(const FleetPlanRow& row, ImageSeen& seen, FleetPlanProblem& problem) {
  std::vector<uint8_t> image;
  std::string message;
  std::string reason;
  if (FirmwareImageLoad(row.image.c_str(), image, message, reason) != UploadDone) {
    problem = {row.row, "image", message + (reason.empty() ? "" : ". " + reason)};
    return false;
  }
  if (image.empty()) {
    problem = {row.row, "image", std::string(MsgFirmwareEmpty) + ": " + row.image};
    return false;
  }
  seen.hash = Sha256Hex(image.data(), image.size());
  seen.size = image.size();
  return true;
}

// The row's image checked, its path made whole and its hash noted; hashes:
// those of the images read for the rows before, by path.
bool CheckImage(FleetPlanRow& row, const std::string& folder, std::map<std::string, ImageSeen>& hashes,
                FleetPlanProblem& problem) {
  if (row.image.empty()) {
    if (!row.sha256.empty()) problem = {row.row, "sha256", "хеш задан без прошивки"};
    return row.sha256.empty();
  }
  if (!AbsolutePath(row.image) && !folder.empty()) row.image = folder + "/" + row.image;
  ImageSeen& seen = hashes[row.image];
  if (seen.hash.empty() && !ImageHash(row, seen, problem)) return false;
  const std::string& hash = seen.hash;
  std::string given = row.sha256;
  for (char& c : given) c = static_cast<char>(c >= 'A' && c <= 'F' ? c - 'A' + 'a' : c);
  if (!given.empty() && given != hash) {
    problem = {row.row, "sha256", "у файла " + row.image + " другой SHA-256: " + hash};
    return false;
  }
  row.sha256 = hash;
  row.imageSize = seen.size;
  return true;
}

}  // namespace

std::string FleetPlanProblemText(const FleetPlanProblem& problem) {
  std::string where;
  if (problem.row > 0) where = "строка " + std::to_string(problem.row);
  if (!problem.column.empty()) where += (where.empty() ? "" : ", ") + std::string("столбец ") + problem.column;
  return where.empty() ? problem.what : where + ": " + problem.what;
}

bool FleetPlanParse(const std::string& source, const std::string& folder, FleetPlan& plan, FleetPlanProblem& problem) {
  // Spreadsheets start a UTF-8 file with a byte-order mark.
  const std::string text = source.rfind("\xEF\xBB\xBF", 0) == 0 ? source.substr(3) : source;
  CsvReader reader(text, SeparatorOf(text));
  Record header;
  std::string wrong;
  if (!reader.Next(header, wrong)) {
    problem = {1, "", wrong};
    return false;
  }
  std::vector<std::string> columns;
  for (const std::string& cell : header) {
    const std::string name = Trimmed(cell);
    bool known = false;
    for (const char* c : FleetPlanColumns) known |= name == c;
    if (!known) {
      problem = {1, name, "неизвестный столбец; возможны: serial, location, baud, parity, bits, stop, echo, image, sha256"};
      return false;
    }
    for (const std::string& before : columns)
      if (before == name) {
        problem = {1, name, "столбец повторяется"};
        return false;
      }
    columns.push_back(name);
  }
  bool hasSerial = false;
  for (const std::string& name : columns) hasSerial |= name == "serial";
  if (!hasSerial) {
    problem = {1, "serial", "нет столбца serial"};
    return false;
  }

  FleetPlan read;
  std::map<std::string, ImageSeen> hashes;  // a line's plan names one image many times
  while (!reader.AtEnd()) {
    Record record;
    if (!reader.Next(record, wrong)) {
      problem = {reader.Row(), "", wrong};
      return false;
    }
    if (Blank(record)) continue;  // spreadsheets leave empty rows at the end
    if (record.size() > columns.size()) {
      problem = {reader.Row(), "", "значений больше, чем столбцов в заголовке"};
      return false;
    }
    FleetPlanRow row;
    row.row = reader.Row();
    record.resize(columns.size());
    for (size_t k = 0; k < columns.size(); ++k)
      if (!TakeCell(columns[k], Trimmed(record[k]), row, wrong)) {
        problem = {row.row, columns[k], "неверное значение \"" + Trimmed(record[k]) + "\": " + wrong};
        return false;
      }
    for (const FleetPlanRow& before : read.rows)
      if (before.serial == row.serial) {
        problem = {row.row, "serial", "серийный номер " + row.serial + " уже есть в строке " + std::to_string(before.row)};
        return false;
      }
    if (!CheckImage(row, folder, hashes, problem)) return false;
    read.rows.push_back(std::move(row));
  }
  read.path = plan.path;
  plan = std::move(read);
  return true;
}

bool FleetPlanRead(const std::string& path, FleetPlan& plan, FleetPlanProblem& problem) {
  std::string text;
  std::string what;
  if (!FleetTextFileRead(path, kPlanMaxBytes, "16 МиБ", text, what)) {
    problem = {0, "", what};
    return false;
  }
  plan.path = path;
  return FleetPlanParse(text, FileFolderOf(path.c_str()), plan, problem);
}

const FleetPlanRow* FleetPlanFind(const FleetPlan& plan, const ConverterPort& converter) {
  for (const FleetPlanRow& row : plan.rows)
    if (row.serial == converter.serial && (row.location.empty() || row.location == converter.location)) return &row;
  return nullptr;
}

FleetUnitJob FleetPlanUnitJob(const FleetPlanRow& row, const std::vector<FleetStep>& steps, bool verify) {
  FleetUnitJob job;
  job.settings = row.settings;
  job.settings.verify = verify;
  job.image = row.image;
  job.planRow = row.row;
  job.sha256 = row.sha256;
  job.imageSize = row.imageSize;
  for (const FleetStep step : steps)
    if ((step != FleetStep::Flash || !row.image.empty()) && (step != FleetStep::Write || FleetSettingsGiven(row.settings)))
      job.steps.push_back(step);
  if (job.steps.empty()) job.steps.push_back(FleetStep::Read);
  return job;
}

std::function<bool(const ConverterPort&, FleetUnitJob&)> FleetPlanLookup(std::shared_ptr<const FleetPlan> plan,
                                                                         std::vector<FleetStep> steps, bool verify) {
  return [plan = std::move(plan), steps = std::move(steps), verify](const ConverterPort& converter, FleetUnitJob& unit) {
    const FleetPlanRow* row = FleetPlanFind(*plan, converter);
    if (row != nullptr) unit = FleetPlanUnitJob(*row, steps, verify);
    return row != nullptr;
  };
}
