// rs485ctl: the setup utility's operations from the command line, for scripts
// and production lines. It calls the very operations the window calls.

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/firmware_upload.h"
#include "app/messages.h"
#include "app/settings.h"
#include "ctl/output.h"
#include "discovery/com_port_list.h"
#include "discovery/device_locator.h"
#include "ports/ms_clock.h"
#include "ports/port_table.h"

namespace {

enum ExitCode {
  ExitOk = 0,
  ExitAbsent = 1,
  ExitUsage = 2,
  ExitPort = 3,
  ExitRead = 4,
  ExitWrite = 5,
  ExitFirmware = 6,
};

constexpr const char* kHelp =
    "Использование: rs485ctl [--port ИМЯ] [--json] КОМАНДА [ПАРАМЕТРЫ]\n"
    "\n"
    "Настройка преобразователя USB-RS-485 из командной строки.\n"
    "\n"
    "Команды:\n"
    "  list                  последовательные порты компьютера\n"
    "  locate                порт преобразователя (код 1, если он не подключён)\n"
    "  read                  прочитать настройки линии RS-485\n"
    "  write [ПАРАМЕТРЫ]     записать настройки; не заданное остаётся как было\n"
    "      --baud N          скорость обмена, бит/с\n"
    "      --parity P        чётность: none, even, odd, mark, space\n"
    "      --bits N          длина посылки: 7, 8, 9\n"
    "      --stop N          стоп-биты: 1, 2\n"
    "      --echo on|off     подавление эхо\n"
    "  flash ФАЙЛ            загрузить прошивку из файла\n"
    "\n"
    "Общие параметры:\n"
    "  --port ИМЯ   порт: ttyACM0, /dev/serial/by-id/..., TCPC_адрес:порт, TCPS_порт, STUB;\n"
    "               без него порт преобразователя ищется, как в окне программы\n"
    "  --json       вывод в JSON для сценариев\n"
    "  -h, --help   эта справка\n"
    "\n"
    "Коды завершения: 0 успех, 1 преобразователь не подключён, 2 ошибка в параметрах,\n"
    "3 ошибка порта, 4 ошибка чтения настроек, 5 ошибка записи настроек, 6 ошибка прошивки.\n";

struct Options {
  std::string command;
  std::string port;
  bool json = false;
  bool help = false;
  std::string file;  // flash
  // write: what was given (empty text / -1 when not)
  std::string baud;
  int parityRow = -1;
  int dataBitsRow = -1;
  int stopBits = 0;
  int echo = -1;
};

int Usage(const std::string& problem) {
  std::fprintf(stderr, "rs485ctl: %s\nПодробнее: rs485ctl --help\n", problem.c_str());
  return ExitUsage;
}

int IndexOf(const char* const* names, int count, const std::string& value) {
  for (int i = 0; i < count; ++i)
    if (value == names[i]) return i;
  return -1;
}

bool IsBaudRate(const std::string& text) {
  if (text.empty() || text.size() > 7) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  const long value = std::stol(text);
  return value >= 100 && value <= 6553500;
}

// Checks every argument before any port is touched. Returns ExitOk or ExitUsage.
int ParseArguments(int argc, char** argv, Options& options) {
  std::vector<std::string> positional;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    std::string value;
    bool hasValue = false;
    if (arg.rfind("--", 0) == 0 && arg.find('=') != std::string::npos) {
      value = arg.substr(arg.find('=') + 1);
      arg = arg.substr(0, arg.find('='));
      hasValue = true;
    }
    auto takeValue = [&](std::string& out) {
      if (hasValue) {
        out = value;
        return true;
      }
      if (i + 1 >= argc) return false;
      out = argv[++i];
      return true;
    };

    if (arg == "-h" || arg == "--help") {
      options.help = true;
    } else if (arg == "--json") {
      options.json = true;
    } else if (arg == "--port") {
      if (!takeValue(options.port) || options.port.empty()) return Usage("--port требует имя порта");
      if (options.port.size() >= PortNameSize) return Usage("слишком длинное имя порта");
    } else if (arg == "--baud") {
      if (!takeValue(options.baud) || !IsBaudRate(options.baud))
        return Usage("--baud требует скорость от 100 до 6553500 бит/с");
    } else if (arg == "--parity") {
      std::string name;
      if (!takeValue(name) || (options.parityRow = IndexOf(CtlParityNames, ParityRows, name)) < 0)
        return Usage("--parity: none, even, odd, mark или space");
    } else if (arg == "--bits") {
      std::string bits;
      if (!takeValue(bits) || (bits != "7" && bits != "8" && bits != "9")) return Usage("--bits: 7, 8 или 9");
      for (int row = 0; row < DataBitsRows; ++row)
        if (DataBitsValues[row] == bits[0] - '0') options.dataBitsRow = row;
    } else if (arg == "--stop") {
      std::string stop;
      if (!takeValue(stop) || (stop != "1" && stop != "2")) return Usage("--stop: 1 или 2");
      options.stopBits = stop[0] - '0';
    } else if (arg == "--echo") {
      std::string echo;
      if (!takeValue(echo) || (echo != "on" && echo != "off")) return Usage("--echo: on или off");
      options.echo = echo == "on" ? 1 : 0;
    } else if (arg.size() > 1 && arg[0] == '-') {
      return Usage("неизвестный параметр " + arg);
    } else {
      positional.push_back(arg);
    }
  }
  if (options.help) return ExitOk;
  if (positional.empty()) return Usage("не задана команда");
  options.command = positional[0];
  const bool isWrite = options.command == "write";
  const bool changesSettings =
      !options.baud.empty() || options.parityRow >= 0 || options.dataBitsRow >= 0 || options.stopBits != 0 || options.echo >= 0;
  if (changesSettings && !isWrite) return Usage("параметры настроек относятся только к команде write");
  if (options.command == "flash") {
    if (positional.size() != 2) return Usage("flash требует имя файла прошивки");
    options.file = positional[1];
    return ExitOk;
  }
  if (positional.size() != 1) return Usage("лишний аргумент " + positional[1]);
  if (options.command == "list" || options.command == "locate" || options.command == "read" || isWrite) return ExitOk;
  return Usage("неизвестная команда " + options.command);
}

// The port to work on: the one given, or the converter's as the window finds it.
bool ResolvePort(const Options& options, std::string& port) {
  if (!options.port.empty()) {
    port = options.port;
    return true;
  }
  char found[200];
  if (LocateDevicePort(found, sizeof found) == 0) return false;
  port = found;
  return true;
}

int Fail(const char* message, int code) {
  std::fprintf(stderr, "%s\n", message);
  return code;
}

int CommandList(const Options& options) {
  ComPortListBuild();
  std::vector<std::string> names;
  for (int k = 0; k < ComPortList.count; ++k) names.emplace_back(ComPortList.names[k]);
  PrintPortList(names, options.json);
  return ExitOk;
}

int CommandLocate(const Options& options) {
  std::string port;
  const bool found = ResolvePort(Options{}, port);
  PrintLocated(found ? port.c_str() : nullptr, options.json);
  if (!found) return Fail(MsgNoDevice, ExitAbsent);
  return ExitOk;
}

int ExitOfSettings(SettingsResult result) {
  switch (result) {
    case SettingsOk: return ExitOk;
    case SettingsPortOpenFailed: return ExitPort;
    case SettingsReadFailed: return ExitRead;
    case SettingsWriteFailed: return ExitWrite;
  }
  return ExitWrite;
}

int CommandReadOrWrite(const Options& options) {
  std::string port;
  if (!ResolvePort(options, port)) return Fail(MsgNoDevice, ExitAbsent);
  PortId portId = 0;
  DeviceSettings settings{};
  SettingsResult result = SettingsCheck(port.c_str(), portId, settings);
  if (result != SettingsOk) return Fail(SettingsMessage(result), ExitOfSettings(result));

  if (options.command == "write") {
    // The same round trip as the window: what was read, shown, changed, taken back.
    SettingsView view = SettingsToView(settings);
    if (!options.baud.empty()) view.baudRate = options.baud;
    if (options.parityRow >= 0) view.parityRow = options.parityRow;
    if (options.dataBitsRow >= 0) view.dataBitsRow = options.dataBitsRow;
    if (options.stopBits != 0) view.twoStopBits = options.stopBits == 2;
    if (options.echo >= 0) view.echoSuppression = options.echo == 1;
    SettingsFromView(view, settings);
    result = SettingsWrite(portId, settings);
    PortClose(portId);
    if (result != SettingsOk) return Fail(SettingsMessage(result), ExitOfSettings(result));
  } else {
    PortClose(portId);
  }
  PrintSettings(port, settings, options.command == "write", options.json);
  return ExitOk;
}

int CommandFlash(const Options& options) {
  std::string port;
  if (!ResolvePort(options, port)) return Fail(MsgNoDevice, ExitAbsent);
  FlashProgress progress(isatty(STDERR_FILENO) != 0);
  UploadHooks hooks;
  hooks.message = [&](const char* text) {
    progress.Interrupt();
    // "finished" ends every update that got going; the failures before it are
    // what a script needs to see.
    const bool toStdout = !options.json && std::strcmp(text, MsgFinished) == 0;
    std::fprintf(toStdout ? stdout : stderr, "%s\n", text);
    std::fflush(stdout);
  };
  hooks.progress = [&](UploadPhase phase, const UploadReport& sofar) { progress.Show(phase, sofar); };
  PortId portId = 0;
  const UploadReport report = FirmwareUpload(port.c_str(), portId, options.file.c_str(), hooks);
  progress.Interrupt();
  PrintFlashReport(port, options.file, report, options.json);
  switch (report.result) {
    case UploadDone: return ExitOk;
    case UploadPortOpenFailed: return ExitPort;
    default: return ExitFirmware;
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  const int parsed = ParseArguments(argc, argv, options);
  if (parsed != ExitOk) return parsed;
  if (options.help) {
    std::fputs(kHelp, stdout);
    return ExitOk;
  }

  PortLayerInit();
  MsClockStart();
  if (options.command == "list") return CommandList(options);
  if (options.command == "locate") return CommandLocate(options);
  if (options.command == "flash") return CommandFlash(options);
  return CommandReadOrWrite(options);
}
