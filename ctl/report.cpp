#include "ctl/report.h"

#include <map>
#include <string>
#include <vector>

#include "ctl/output.h"
#include "fleet/journal.h"
#include "ops/json.h"
#include "ops/messages.h"
#include "platform/console.h"

namespace {

// One unit of the journal, with its line's number.
struct Entry {
  size_t line = 0;
  Json unit;
};

std::string Text(const Json& value) {
  switch (value.kind) {
    case Json::String: return value.text;
    case Json::Number: return value.text;
    case Json::Bool: return value.boolean ? "true" : "false";
    default: return std::string();
  }
}

// The journal's lines and its units. false after telling why it cannot be read.
bool Load(const Options& options, std::vector<std::string>& lines, std::vector<Entry>& entries) {
  std::string path = options.journal;
  std::string reason;
  // The default journal is made when missing: an empty journal is a whole one.
  if ((path.empty() && !JournalPrepare(path, path, reason)) || !JournalReadLines(path, lines, reason)) {
    CtlWrite(stderr, std::string(MsgJournalOpenFailed) + "\n" + reason + "\n");
    PrintError(nullptr, MsgJournalOpenFailed, reason, options.json);
    return false;
  }
  for (size_t k = 0; k < lines.size(); ++k) {
    Entry entry{k + 1, Json{}};
    if (JsonParse(lines[k], entry.unit) && entry.unit.kind == Json::Object) entries.push_back(std::move(entry));
  }
  return true;
}

// The class of a result's cell: only these, whatever a line holds.
const char* ResultClass(const std::string& result) {
  return result == "ok" ? "ok" : result == "interrupted" ? "interrupted" : "failed";
}

const char* VerdictText(const std::string& result) {
  return result == "ok" ? "ОК" : result == "interrupted" ? "ПРЕРВАНО" : "ОШИБКА";
}

std::string Dash(const std::string& text) { return text.empty() ? "-" : text; }

// The steps as "flash, write".
std::string StepsText(const Json& unit) {
  std::string steps;
  for (const Json& step : unit["steps"].items) steps += (steps.empty() ? "" : ", ") + Text(step["step"]);
  return steps;
}

std::string Html(const std::string& text) {
  std::string out;
  for (const char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
  return out;
}

// The columns of the CSV table, with how each is taken from a unit.
struct Column {
  const char* name;
  std::string (*of)(const Entry& entry);
};

const Column kColumns[] = {
    {"line", [](const Entry& e) { return std::to_string(e.line); }},
    {"time", [](const Entry& e) { return Text(e.unit["time"]); }},
    {"computer", [](const Entry& e) { return Text(e.unit["computer"]); }},
    {"user", [](const Entry& e) { return Text(e.unit["user"]); }},
    {"version", [](const Entry& e) { return Text(e.unit["version"]); }},
    {"operation", [](const Entry& e) { return Text(e.unit["operation"]); }},
    {"serial", [](const Entry& e) { return Text(e.unit["serial"]); }},
    {"location", [](const Entry& e) { return Text(e.unit["location"]); }},
    {"port", [](const Entry& e) { return Text(e.unit["port"]); }},
    {"steps", [](const Entry& e) { return StepsText(e.unit); }},
    {"result", [](const Entry& e) { return Text(e.unit["result"]); }},
    {"exit_code", [](const Entry& e) { return Text(e.unit["exit_code"]); }},
    {"error", [](const Entry& e) { return Text(e.unit["error"]); }},
    {"reason", [](const Entry& e) { return Text(e.unit["reason"]); }},
    {"image", [](const Entry& e) { return Text(e.unit["image"]["file"]); }},
    {"image_size", [](const Entry& e) { return Text(e.unit["image"]["size"]); }},
    {"image_sha256", [](const Entry& e) { return Text(e.unit["image"]["sha256"]); }},
    {"raw_before", [](const Entry& e) { return Text(e.unit["before"]["raw"]); }},
    {"raw_after", [](const Entry& e) { return Text(e.unit["after"]["raw"]); }},
    {"baud", [](const Entry& e) { return Text(e.unit["after"]["baud"]); }},
    {"parity", [](const Entry& e) { return Text(e.unit["after"]["parity"]); }},
    {"data_bits", [](const Entry& e) { return Text(e.unit["after"]["data_bits"]); }},
    {"stop_bits", [](const Entry& e) { return Text(e.unit["after"]["stop_bits"]); }},
    {"echo_suppression", [](const Entry& e) { return Text(e.unit["after"]["echo_suppression"]); }},
    {"verified", [](const Entry& e) { return Text(e.unit["verified"]); }},
    {"duration_ms", [](const Entry& e) { return Text(e.unit["duration_ms"]); }},
};

std::string CsvReport(const std::vector<Entry>& entries) {
  // The byte-order mark and CR LF: a spreadsheet then takes it as UTF-8.
  std::string out = "\xEF\xBB\xBF";
  for (const Column& column : kColumns) out += std::string(&column == kColumns ? "" : ",") + column.name;
  out += "\r\n";
  for (const Entry& entry : entries) {
    for (const Column& column : kColumns) out += (&column == kColumns ? "" : ",") + CtlCsvCell(column.of(entry));
    out += "\r\n";
  }
  return out;
}

// The page's own style; nothing is fetched from anywhere.
constexpr const char* kStyle =
    "body{font-family:sans-serif;margin:1.5em;color:#222}"
    "table{border-collapse:collapse;margin-bottom:1.5em}"
    "th,td{border:1px solid #bbb;padding:.25em .5em;text-align:left;vertical-align:top}"
    "th{background:#eee}td.ok{background:#dfd}td.failed{background:#fdd}td.interrupted{background:#ffd}"
    ".hash{font-family:monospace;font-size:.85em}";

std::string Cell(const std::string& text, const char* cls = nullptr) {
  return std::string("<td") + (cls != nullptr ? std::string(" class=\"") + cls + "\"" : "") + ">" + Html(text) + "</td>";
}

std::string HtmlReport(const std::vector<Entry>& entries, size_t lines, size_t broken, const std::string& why) {
  std::map<std::string, int32_t> byResult;
  struct Image {
    std::string files;
    int32_t units = 0;
    int32_t ok = 0;
  };
  std::map<std::string, Image> byImage;
  for (const Entry& entry : entries) {
    const std::string result = Text(entry.unit["result"]);
    ++byResult[result];
    const std::string hash = Text(entry.unit["image"]["sha256"]);
    if (hash.empty()) continue;
    Image& image = byImage[hash];
    const std::string file = Text(entry.unit["image"]["file"]);
    if (image.files.find(file) == std::string::npos) image.files += (image.files.empty() ? "" : ", ") + file;
    ++image.units;
    image.ok += result == "ok";
  }
  std::string out = std::string("<!DOCTYPE html>\n<html lang=\"ru\">\n<head>\n<meta charset=\"utf-8\">\n") +
                    "<title>Журнал преобразователей</title>\n<style>" + kStyle + "</style>\n</head>\n<body>\n" +
                    "<h1>Журнал преобразователей</h1>\n<p>Строк: " + std::to_string(lines) + ", преобразователей: " +
                    std::to_string(entries.size()) + ". " +
                    Html(broken == 0 ? MsgJournalWhole(lines) : std::string(MsgJournalBroken) + ". " + MsgJournalBrokenAt(broken, why)) +
                    "</p>\n<h2>По результатам</h2>\n<table>\n<tr><th>Результат</th><th>Преобразователей</th></tr>\n";
  for (const auto& [result, count] : byResult)
    out += "<tr>" + Cell(VerdictText(result), ResultClass(result)) + Cell(std::to_string(count)) + "</tr>\n";
  out += "</table>\n<h2>По прошивкам</h2>\n<table>\n<tr><th>SHA-256</th><th>Файл</th><th>Преобразователей</th>"
         "<th>Успешно</th></tr>\n";
  for (const auto& [hash, image] : byImage)
    out += "<tr><td class=\"hash\">" + Html(hash) + "</td>" + Cell(image.files) + Cell(std::to_string(image.units)) +
           Cell(std::to_string(image.ok)) + "</tr>\n";
  out += "</table>\n<h2>Преобразователи</h2>\n<table>\n<tr><th>Строка</th><th>Время (UTC)</th><th>Серийный номер</th>"
         "<th>Место</th><th>Порт</th><th>Операция</th><th>Результат</th><th>Прошивка</th><th>SHA-256</th>"
         "<th>Запись до</th><th>Запись после</th><th>Проверено</th><th>Ошибка</th><th>Компьютер</th>"
         "<th>Пользователь</th><th>Время, мс</th></tr>\n";
  for (const Entry& e : entries) {
    const Json& u = e.unit;
    const std::string result = Text(u["result"]);
    const std::string error = Text(u["error"]) + (Text(u["reason"]).empty() ? "" : ": " + Text(u["reason"]));
    out += "<tr>" + Cell(std::to_string(e.line)) + Cell(Text(u["time"])) + Cell(Text(u["serial"])) +
           Cell(Text(u["location"])) + Cell(Text(u["port"])) + Cell(Text(u["operation"]) + " (" + StepsText(u) + ")") +
           Cell(VerdictText(result), ResultClass(result)) + Cell(Text(u["image"]["file"])) +
           "<td class=\"hash\">" + Html(Text(u["image"]["sha256"])) + "</td>" + Cell(Text(u["before"]["raw"])) +
           Cell(Text(u["after"]["raw"])) + Cell(u["verified"].kind == Json::Bool ? (u["verified"].boolean ? "да" : "нет") : "") +
           Cell(error) + Cell(Text(u["computer"])) + Cell(Text(u["user"])) + Cell(Text(u["duration_ms"])) + "</tr>\n";
  }
  return out + "</table>\n</body>\n</html>\n";
}

}  // namespace

int CommandJournal(const Options& options) {
  std::vector<std::string> lines;
  std::vector<Entry> entries;
  if (!Load(options, lines, entries)) return ExitUsage;
  for (const Entry& entry : entries) {
    const Json& u = entry.unit;
    // Times are written alike, so that text order is time order.
    if (!options.since.empty() && Text(u["time"]) < options.since) continue;
    if (!options.serial.empty() && Text(u["serial"]) != options.serial) continue;
    if (!options.location.empty() && Text(u["location"]) != options.location) continue;
    if (options.json) {
      CtlWriteLine(lines[entry.line - 1]);
      continue;
    }
    const std::string error = Text(u["error"]) + (Text(u["reason"]).empty() ? "" : ": " + Text(u["reason"]));
    const std::string image = Text(u["image"]["file"]);
    std::string detail = (image.empty() ? "" : image + " " + Text(u["image"]["sha256"]).substr(0, 12) + " ") +
                         (Text(u["after"]["raw"]).empty() ? "" : "запись " + Text(u["after"]["raw"]) + " ") + error;
    if (!detail.empty() && detail.back() == ' ') detail.pop_back();
    CtlWriteLine(Text(u["time"]) + "\t" + VerdictText(Text(u["result"])) + "\t" + Dash(Text(u["serial"])) + "\t" +
                 Dash(Text(u["location"])) + "\t" + Dash(Text(u["port"])) + "\t" + Text(u["operation"]) + "\t" +
                 detail);
  }
  return ExitOk;
}

int CommandReport(const Options& options) {
  std::vector<std::string> lines;
  std::vector<Entry> entries;
  if (!Load(options, lines, entries)) return ExitUsage;
  std::string why;
  const size_t broken = JournalVerify(lines, why);
  const std::string verdict = broken == 0 ? MsgJournalWhole(lines.size()) : MsgJournalBrokenAt(broken, why);
  if (options.report == "verify") {
    if (options.json)
      CtlWriteLine("{\"whole\":" + std::string(broken == 0 ? "true" : "false") + ",\"lines\":" +
                   std::to_string(lines.size()) + ",\"line\":" + (broken == 0 ? "null" : std::to_string(broken)) +
                   ",\"reason\":" + (broken == 0 ? "null" : JsonString(why)) + "}");
    else
      CtlWriteLine(broken == 0 ? verdict : std::string(MsgJournalBroken) + "\n" + verdict);
  } else {
    PlatformStdoutBinary();
    CtlWrite(stdout, options.report == "csv" ? CsvReport(entries) : HtmlReport(entries, lines.size(), broken, why));
    if (broken != 0) CtlWrite(stderr, std::string(MsgJournalBroken) + "\n" + verdict + "\n");
  }
  return broken == 0 ? ExitOk : ExitJournalBroken;
}
