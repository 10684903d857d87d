#include <cstdint>

#include "fleet/fleet.h"
#include "fleet/text_file.h"
#include "ops/json.h"
#include "ops/settings.h"

namespace {

constexpr uint64_t kProfileMaxBytes = 65536;

constexpr const char* kSettingKeys[] = {"baud", "parity", "data_bits", "stop_bits", "echo_suppression"};
// What read --json prints beside the settings: taken, never applied.
constexpr const char* kInformational[] = {"port", "written", "verified", "raw", "serial", "location", "event"};

bool Known(const std::string& key) {
  for (const char* k : kSettingKeys)
    if (key == k) return true;
  for (const char* k : kInformational)
    if (key == k) return true;
  return false;
}

// A number written exactly as one of allowed.
bool OneOf(const Json& value, std::initializer_list<const char*> allowed) {
  for (const char* a : allowed)
    if (value.kind == Json::Number && value.text == a) return true;
  return false;
}

// One member into settings, unless they already hold that setting.
bool Apply(const std::string& key, const Json& value, FleetSettings& settings) {
  if (key == "baud") {
    if (value.kind != Json::Number || !SettingsIsExactBaud(value.text)) return false;
    if (settings.baud.empty()) settings.baud = value.text;
  } else if (key == "parity") {
    const int row = value.kind == Json::String ? SettingsParityRow(value.text) : -1;
    if (row < 0) return false;
    if (settings.parityRow < 0) settings.parityRow = row;
  } else if (key == "data_bits") {
    if (!OneOf(value, {"7", "8", "9"})) return false;
    if (settings.dataBitsRow < 0)
      for (int row = 0; row < DataBitsRows; ++row)
        if (DataBitsValues[row] == value.text[0] - '0') settings.dataBitsRow = row;
  } else if (key == "stop_bits") {
    if (!OneOf(value, {"1", "2"})) return false;
    if (settings.stopBits == 0) settings.stopBits = value.text[0] - '0';
  } else if (key == "echo_suppression") {
    if (value.kind != Json::Bool) return false;
    if (settings.echo < 0) settings.echo = value.boolean ? 1 : 0;
  } else {
    return value.kind != Json::Array && value.kind != Json::Object;  // what read prints beside, as it prints it
  }
  return true;
}

}  // namespace

bool FleetProfileRead(const std::string& path, FleetSettings& settings, std::string& problem) {
  std::string text;
  if (!FleetTextFileRead(path, kProfileMaxBytes, "64 КиБ", text, problem)) return false;
  Json profile;
  if (!JsonParse(text, profile, &problem)) return false;
  if (profile.kind != Json::Object) {
    problem = "ожидался объект JSON";
    return false;
  }
  const auto& members = profile.members;
  for (size_t i = 0; i < members.size(); ++i) {
    const std::string& key = members[i].key;
    if (!Known(key)) {
      problem = "неизвестный ключ \"" + key + "\"";
      return false;
    }
    for (size_t k = 0; k < i; ++k)
      if (members[k].key == key) {
        problem = "ключ \"" + key + "\" повторяется";
        return false;
      }
  }
  FleetSettings applied = settings;
  for (const Json::Member& m : members)
    if (!Apply(m.key, m.value, applied)) {
      problem = "неверное значение ключа \"" + m.key + "\"";
      return false;
    }
  settings = applied;
  return true;
}
