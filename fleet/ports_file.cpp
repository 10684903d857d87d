#include <cstdint>
#include <map>

#include "fleet/fleet.h"
#include "fleet/text_file.h"
#include "ports/port_table.h"

namespace {

constexpr uint64_t kPortsFileMaxBytes = 1 << 20;

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

std::string Trimmed(const std::string& text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && IsBlank(text[begin])) ++begin;
  while (end > begin && IsBlank(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

}  // namespace

bool FleetPortsRead(const std::string& path, std::vector<std::string>& ports, std::string& problem) {
  std::string text;
  if (!FleetTextFileRead(path, kPortsFileMaxBytes, "1 МиБ", text, problem)) return false;
  // Notepad ends its lines in CR LF.
  std::vector<std::string> names;
  std::map<std::string, int> lineOf;  // each name's line
  int number = 0;
  for (size_t at = 0; at <= text.size();) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    at = end + 1;
    ++number;
    if (const size_t hash = line.find('#'); hash != std::string::npos) line.resize(hash);
    const std::string name = Trimmed(line);
    if (name.empty()) continue;
    const std::string where = "строка " + std::to_string(number) + ": ";
    // A name is one word: a second one is a line with two ports, or a typo.
    for (const char c : name)
      if (IsBlank(c) || c == '\0') {
        problem = where + "в строке больше одного имени порта: " + name;
        return false;
      }
    if (name.size() >= static_cast<size_t>(PortNameSize)) {
      problem = where + "слишком длинное имя порта";
      return false;
    }
    if (name[0] == '-') {
      problem = where + "имя порта не может начинаться с -: " + name;
      return false;
    }
    if (const auto named = lineOf.find(name); named != lineOf.end()) {
      problem = where + "порт " + name + " уже назван в строке " + std::to_string(named->second);
      return false;
    }
    lineOf[name] = number;
    names.push_back(name);
  }
  if (names.empty()) {
    problem = "в файле нет ни одного порта";
    return false;
  }
  ports = std::move(names);
  return true;
}
