#include "ctl/arguments.h"

#include <cctype>
#include <vector>

#include "ops/settings.h"
#include "ctl/output.h"
#include "ports/port_table.h"

namespace {

constexpr int32_t kSettleMaxMs = 600000;

ParseResult Usage(const std::string& problem) {
  CtlWrite(stderr, "rs485ctl: " + problem + "\nПодробнее: rs485ctl --help\n");
  return ParseBad;
}

bool AllDigits(const std::string& text, size_t maxLength) {
  if (text.empty() || text.size() > maxLength) return false;
  for (const char c : text)
    if (c < '0' || c > '9') return false;
  return true;
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// A baud rate the converter holds exactly: taken in and shown again by the
// window's own mapping, it comes back as given. So 14450 (kept as 14400) and
// 5700 (shown as 5760) are refused rather than changed behind the user's back.
bool IsBaudRate(const std::string& text) {
  uint16_t baud100 = 0;
  if (!AllDigits(text, 9) || text[0] == '0' || !SettingsParseBaud(text, baud100)) return false;
  DeviceSettings probe{};
  SettingsSetBaud100(probe, baud100);
  return SettingsToView(probe).baudRate == text;
}

}  // namespace

ParseResult ParseArguments(int argc, char** argv, Options& options) {
  std::vector<std::string> positional;
  bool optionsEnded = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
      positional.push_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    std::string value;
    bool hasValue = false;
    const size_t equals = arg.find('=');
    if (arg.rfind("--", 0) == 0 && equals != std::string::npos) {
      value = arg.substr(equals + 1);
      arg.resize(equals);
      hasValue = true;
    }
    // The option's value: after '=' or the next argument.
    auto takeValue = [&]() -> bool {
      if (hasValue) return true;
      if (i + 1 >= argc) return false;
      value = argv[++i];
      return true;
    };
    const bool isFlag = arg == "-h" || arg == "--help" || arg == "--json";
    if (isFlag && hasValue) return Usage(arg + " не принимает значения");

    if (arg == "-h" || arg == "--help") {
      return ParseHelp;
    } else if (arg == "--json") {
      options.json = true;
    } else if (arg == "--port") {
      if (!takeValue() || value.empty() || value[0] == '-') return Usage("--port требует имя порта");
      if (value.size() >= PortNameSize) return Usage("слишком длинное имя порта");
      options.port = value;
    } else if (arg == "--trace") {
      if (!takeValue() || value.empty() || (value[0] == '-' && value != "-"))
        return Usage("--trace требует имя файла или - (стандартный поток ошибок)");
      options.trace = value;
    } else if (arg == "--baud") {
      if (!takeValue() || !IsBaudRate(value))
        return Usage("--baud: скорость в бит/с, кратная 100, от 100 до 6553500, или 5760");
      options.baud = value;
    } else if (arg == "--parity") {
      options.parityRow = -1;
      if (takeValue())
        for (int row = 0; row < ParityRows; ++row)
          if (Lower(value) == CtlParityNames[row]) options.parityRow = row;
      if (options.parityRow < 0) return Usage("--parity: none, even, odd, mark или space");
    } else if (arg == "--bits") {
      options.dataBitsRow = -1;
      if (takeValue() && value.size() == 1)
        for (int row = 0; row < DataBitsRows; ++row)
          if (value[0] - '0' == DataBitsValues[row]) options.dataBitsRow = row;
      if (options.dataBitsRow < 0) return Usage("--bits: 7, 8 или 9");
    } else if (arg == "--stop") {
      if (!takeValue() || (value != "1" && value != "2")) return Usage("--stop: 1 или 2");
      options.stopBits = value[0] - '0';
    } else if (arg == "--echo") {
      if (!takeValue() || (value != "on" && value != "off")) return Usage("--echo: on или off");
      options.echo = value == "on" ? 1 : 0;
    } else if (arg == "--settle-ms") {
      if (!takeValue() || !AllDigits(value, 6) || std::stol(value) > kSettleMaxMs)
        return Usage("--settle-ms: от 0 до 600000 мс");
      options.settleMs = static_cast<int32_t>(std::stol(value));
      options.settleGiven = true;
    } else {
      return Usage("неизвестный параметр " + arg);
    }
  }

  if (positional.empty()) return Usage("не задана команда");
  options.command = positional[0];
  const std::string& command = options.command;
  if (command != "list" && command != "locate" && command != "read" && command != "write" && command != "flash" &&
      command != "doctor")
    return Usage("неизвестная команда " + command);
  const bool changesSettings = !options.baud.empty() || options.parityRow >= 0 || options.dataBitsRow >= 0 ||
                               options.stopBits != 0 || options.echo >= 0;
  if (changesSettings && command != "write")
    return Usage("--baud, --parity, --bits, --stop и --echo относятся только к команде write");
  if (options.settleGiven && command != "flash") return Usage("--settle-ms относится только к команде flash");
  if (!options.port.empty() && (command == "list" || command == "locate"))
    return Usage("--port не относится к команде " + command);
  if (command == "flash") {
    if (positional.size() < 2 || positional[1].empty()) return Usage("flash требует имя файла прошивки");
    options.file = positional[1];
  }
  const size_t expected = command == "flash" ? 2 : 1;
  if (positional.size() > expected) return Usage("лишний аргумент " + positional[expected]);
  return ParseRun;
}
