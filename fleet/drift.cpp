#include "fleet/drift.h"

#include <cstdio>
#include <cstring>

DeviceSettings FleetSettingsApplied(const DeviceSettings& read, const FleetSettings& settings) {
  // The window's round trip: the record shown, changed, taken back. A list
  // left without a row keeps its byte as read, so an unknown parity or
  // data-bit count survives a write that does not name it.
  DeviceSettings written = read;
  SettingsView view = SettingsToView(read);
  view.parityRow = settings.parityRow;
  view.dataBitsRow = settings.dataBitsRow;
  if (settings.stopBits != 0) view.twoStopBits = settings.stopBits == 2;
  if (settings.echo >= 0) view.echoSuppression = settings.echo == 1;
  SettingsApplyLineView(view, written);
  uint16_t baud100 = 0;
  if (!settings.baud.empty() && SettingsParseBaud(settings.baud, baud100)) SettingsSetBaud100(written, baud100);
  return written;
}

namespace {

std::string FieldText(const DeviceSettings& record, const char* field) {
  const SettingsView view = SettingsToView(record);
  const std::string name = field;
  if (name == "baud") return view.baudRate;
  const char* letter = record.Parity != 0 ? std::strchr(ParityLetters, record.Parity) : nullptr;
  if (name == "parity" && letter != nullptr) return ParityNames[letter - ParityLetters];
  if (name == "data_bits") return std::to_string(record.DataBits);
  if (name == "stop_bits") return view.twoStopBits ? "2" : "1";
  if (name == "echo_suppression") return view.echoSuppression ? "on" : "off";
  char hex[3];
  // A byte the window does not show, or a parity it does not know.
  std::snprintf(hex, sizeof hex, "%02X", name == "spare" ? record.Spare : name == "parity" ? record.Parity : record.Flags);
  return hex;
}

}  // namespace

std::vector<FleetDrift> FleetDriftOf(const DeviceSettings& read, const FleetSettings& settings) {
  const DeviceSettings wanted = FleetSettingsApplied(read, settings);
  std::vector<FleetDrift> drift;
  for (const char* field : SettingsDifferences(wanted, read))
    drift.push_back({field, FieldText(read, field), FieldText(wanted, field)});
  return drift;
}

bool FleetRecordFromRaw(const std::string& raw, DeviceSettings& settings) {
  uint8_t bytes[sizeof(DeviceSettings)];
  size_t at = 0;
  for (uint8_t& byte : bytes) {
    unsigned value = 0;
    int used = 0;
    if (std::sscanf(raw.c_str() + at, " %2x%n", &value, &used) != 1) return false;
    byte = static_cast<uint8_t>(value);
    at += static_cast<size_t>(used);
  }
  if (raw.find_first_not_of(' ', at) != std::string::npos) return false;
  std::memcpy(&settings, bytes, sizeof bytes);
  return true;
}
