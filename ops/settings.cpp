#include "ops/settings.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <memory>

#include "platform/time.h"
#include "ports/port_io.h"
#include "protocol/device_channel.h"

namespace {

constexpr uint32_t kSettingsAddress = 0;
constexpr uint32_t kApplyAddress = 0x8FFFFF;  // the one-byte write after a settings write
constexpr uint8_t kCheckCrc = 2;

constexpr int32_t kCallPauseMs = 10;

// Runs a channel operation until it is finished, with the pause the converter
// is given after every call; pauseAtEnd false leaves out the one after the
// final call.
template <class Operation>
int PollChannel(Operation operation, bool pauseAtEnd = true) {
  for (;;) {
    const int result = operation();
    if (result != ResultPending && !pauseAtEnd) return result;
    PlatformSleepMs(kCallPauseMs);
    if (result != ResultPending) return result;
  }
}

}  // namespace

uint16_t SettingsBaud100(const DeviceSettings& settings) {
  return static_cast<uint16_t>(settings.Baud100[0] | (settings.Baud100[1] << 8));
}

void SettingsSetBaud100(DeviceSettings& settings, uint16_t baud100) {
  settings.Baud100[0] = static_cast<uint8_t>(baud100);
  settings.Baud100[1] = static_cast<uint8_t>(baud100 >> 8);
}

std::string SettingsRawText(const DeviceSettings& settings) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(&settings);
  std::string out;
  for (size_t i = 0; i < sizeof settings; ++i) {
    char hex[4];
    std::snprintf(hex, sizeof hex, i == 0 ? "%02X" : " %02X", bytes[i]);
    out += hex;
  }
  return out;
}

bool SettingsParseRaw(const std::string& text, DeviceSettings& settings) {
  if (text.size() != 3 * sizeof settings - 1) return false;
  auto* bytes = reinterpret_cast<uint8_t*>(&settings);
  for (size_t i = 0; i < sizeof settings; ++i) {
    unsigned value = 0;
    for (size_t k = 0; k < 2; ++k) {
      const char c = text[3 * i + k];
      const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
      if (digit < 0) return false;
      value = value * 16 + static_cast<unsigned>(digit);
    }
    if (i + 1 < sizeof settings && text[3 * i + 2] != ' ') return false;
    bytes[i] = static_cast<uint8_t>(value);
  }
  return true;
}

SettingsView SettingsToView(const DeviceSettings& settings) {
  SettingsView view;
  const uint16_t baud100 = SettingsBaud100(settings);
  // 5760 baud does not divide by 100; the converter keeps it as 57.
  view.baudRate = baud100 == 57 ? "5760" : std::to_string(static_cast<uint32_t>(baud100) * 100);
  view.echoSuppression = (settings.Flags & EchoSuppression) != 0;
  view.twoStopBits = (settings.Flags & TwoStopBits) != 0;
  view.parityRow = 0;
  for (int row = 1; row < ParityRows; ++row)
    if (settings.Parity == static_cast<uint8_t>(ParityLetters[row])) view.parityRow = row;
  view.dataBitsRow = settings.DataBits == 8 ? 0 : settings.DataBits == 7 ? 1 : 2;
  return view;
}

bool SettingsParseBaud(const std::string& text, uint16_t& baud100) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) ++begin;
  while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
  if (begin == end || end - begin > 7) return false;
  uint32_t baud = 0;
  for (size_t i = begin; i < end; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    baud = baud * 10 + static_cast<uint32_t>(text[i] - '0');
  }
  if (baud < SettingsMinBaud || baud > SettingsMaxBaud) return false;
  baud100 = static_cast<uint16_t>(baud / 100);
  return true;
}

bool SettingsIsExactBaud(const std::string& text) {
  if (text.empty() || text.size() > 9 || text[0] == '0') return false;
  for (const char c : text)
    if (c < '0' || c > '9') return false;
  uint16_t baud100 = 0;
  if (!SettingsParseBaud(text, baud100)) return false;
  DeviceSettings probe{};
  SettingsSetBaud100(probe, baud100);
  return SettingsToView(probe).baudRate == text;
}

int SettingsParityRow(const std::string& name) {
  std::string lower = name;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (int row = 0; row < ParityRows; ++row)
    if (lower == ParityNames[row]) return row;
  return -1;
}

bool SettingsFromView(const SettingsView& view, DeviceSettings& settings) {
  uint16_t baud100 = 0;
  if (!SettingsParseBaud(view.baudRate, baud100)) return false;
  SettingsSetBaud100(settings, baud100);
  SettingsApplyLineView(view, settings);
  return true;
}

void SettingsApplyLineView(const SettingsView& view, DeviceSettings& settings) {
  settings.Flags = static_cast<uint8_t>(settings.Flags & ~(EchoSuppression | TwoStopBits));
  if (view.echoSuppression) settings.Flags |= EchoSuppression;
  if (view.twoStopBits) settings.Flags |= TwoStopBits;
  if (view.parityRow >= 0 && view.parityRow < ParityRows)
    settings.Parity = static_cast<uint8_t>(ParityLetters[view.parityRow]);
  if (view.dataBitsRow >= 0 && view.dataBitsRow < DataBitsRows)
    settings.DataBits = DataBitsValues[view.dataBitsRow];
}

const char* SettingsMessage(SettingsResult result) {
  switch (result) {
    case SettingsOk: return MsgOk;
    case SettingsPortOpenFailed: return MsgPortOpenFailed;
    case SettingsReadFailed: return MsgSettingsReadFailed;
    case SettingsWriteFailed: return MsgSettingsWriteFailed;
  }
  return MsgOk;
}

SettingsResult SettingsCheck(const char* portName, PortId& portId, DeviceSettings& settings, CallPause pause) {
  if (!OpenPortForExchange(portName, portId)) return SettingsPortOpenFailed;
  if (SettingsRead(portId, settings, pause) == SettingsOk) return SettingsOk;
  PortClose(portId);
  portId = 0;
  return SettingsReadFailed;
}

SettingsResult SettingsRead(PortId portId, DeviceSettings& settings, CallPause pause) {
  // Read into a scratch record: bytes that fail their CRC never reach the
  // caller's record.
  DeviceSettings received{};
  auto channel = std::make_unique<DeviceChannel>(portId);
  channel->BusAddress = ConverterBusAddress;
  const int result = PollChannel(
      [&] {
        return channel->ReadMemory(kSettingsAddress, 0, sizeof received, reinterpret_cast<uint8_t*>(&received),
                                   kCheckCrc, 0);
      },
      pause == PauseAfterEveryCall);
  if (result != ResultOk) return SettingsReadFailed;
  settings = received;
  return SettingsOk;
}

std::vector<const char*> SettingsDifferences(const DeviceSettings& wanted, const DeviceSettings& got) {
  const uint8_t otherFlags = static_cast<uint8_t>(~(EchoSuppression | TwoStopBits));
  const struct {
    const char* name;
    bool differs;
  } fields[] = {
      {"baud", SettingsBaud100(wanted) != SettingsBaud100(got)},
      {"parity", wanted.Parity != got.Parity},
      {"data_bits", wanted.DataBits != got.DataBits},
      {"stop_bits", ((wanted.Flags ^ got.Flags) & TwoStopBits) != 0},
      {"echo_suppression", ((wanted.Flags ^ got.Flags) & EchoSuppression) != 0},
      {"spare", wanted.Spare != got.Spare},
      {"flags", ((wanted.Flags ^ got.Flags) & otherFlags) != 0},
  };
  std::vector<const char*> names;
  for (const auto& field : fields)
    if (field.differs) names.push_back(field.name);
  return names;
}

SettingsResult SettingsWrite(PortId portId, const DeviceSettings& settings, CallPause pause) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(&settings);
  auto channel = std::make_unique<DeviceChannel>(portId);
  channel->BusAddress = ConverterBusAddress;
  if (PollChannel([&] { return channel->WriteMemory(kSettingsAddress, 0, bytes, sizeof settings); }) != ResultOk)
    return SettingsWriteFailed;
  // The converter's answer to this one is not examined; its first data byte is
  // the low byte of the baud rate, as the converter has always been sent.
  PollChannel([&] { return channel->WriteMemory(kApplyAddress, 0, bytes, 1); }, pause == PauseAfterEveryCall);
  return SettingsOk;
}
