// rs485ctl: the setup utility's operations from the command line, for scripts
// and production lines. It calls the very operations the window calls.

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/firmware_upload.h"
#include "app/messages.h"
#include "app/settings.h"
#include "ctl/arguments.h"
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

constexpr const char* kEmptyImage = "Файл прошивки пуст";

constexpr const char* kHelp =
    "Использование: rs485ctl [--port ИМЯ] [--json] КОМАНДА [ПАРАМЕТРЫ]\n"
    "\n"
    "Настройка преобразователя USB-RS-485 из командной строки.\n"
    "\n"
    "Команды:\n"
    "  list                  последовательные порты компьютера\n"
    "  locate                порт преобразователя (код 1, если он не подключён)\n"
    "  read                  прочитать настройки линии RS-485\n"
    "  write [ПАРАМЕТРЫ]     прочитать настройки, изменить заданное и записать;\n"
    "                        не заданное остаётся как было\n"
    "      --baud N          скорость обмена, бит/с: кратная 100 (до 6553500) или 5760\n"
    "      --parity P        чётность: none, even, odd, mark, space\n"
    "      --bits N          длина посылки: 7, 8, 9\n"
    "      --stop N          стоп-биты: 1, 2\n"
    "      --echo on|off     подавление эхо\n"
    "  flash ФАЙЛ            загрузить прошивку из файла\n"
    "      --settle-ms N     ожидание преобразователя после входа в режим обновления\n"
    "                        и после выхода из него, мс (по умолчанию 5000)\n"
    "\n"
    "Общие параметры:\n"
    "  --port ИМЯ   порт: ttyACM0, /dev/serial/by-id/..., TCPC_адрес:порт, TCPS_порт, STUB;\n"
    "               без него порт преобразователя ищется, как в окне программы;\n"
    "               с TCPC_ соединение, с TCPS_ подключение ожидается до 10 с\n"
    "  --json       результат одним объектом JSON для сценариев\n"
    "  -h, --help   эта справка\n"
    "  --           дальше только аргументы (имя файла, начинающееся с -)\n"
    "\n"
    "Сообщения и ход прошивки выводятся в стандартный поток ошибок.\n"
    "\n"
    "Коды завершения: 0 успех, 1 преобразователь не подключён, 2 ошибка в параметрах,\n"
    "3 ошибка порта, 4 ошибка чтения настроек, 5 ошибка записи настроек, 6 ошибка прошивки.\n";

int Fail(const Options& options, const char* port, const char* message, int code) {
  std::fprintf(stderr, "%s\n", message);
  PrintError(port, message, options.json);
  return code;
}

// The port to work on: the one given, or the converter's as the window finds it.
bool ResolvePort(const Options& options, std::string& port) {
  if (!options.port.empty()) {
    port = options.port;
    return true;
  }
  char found[PortNameSize];
  if (LocateDevicePort(found, sizeof found) == 0) return false;
  port = found;
  return true;
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
  if (!ResolvePort(options, port)) return Fail(options, nullptr, MsgNoDevice, ExitAbsent);
  PrintLocated(port, options.json);
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
  if (!ResolvePort(options, port)) return Fail(options, nullptr, MsgNoDevice, ExitAbsent);
  PortId portId = 0;
  DeviceSettings settings{};
  SettingsResult result = SettingsCheck(port.c_str(), portId, settings);
  if (result != SettingsOk) return Fail(options, port.c_str(), SettingsMessage(result), ExitOfSettings(result));

  const bool write = options.command == "write";
  if (write) {
    // The window's round trip: the record read, shown, changed, taken back.
    // A list left without a row keeps its byte as read, so an unknown parity
    // or data-bit count survives a write that does not name it.
    SettingsView view = SettingsToView(settings);
    if (!options.baud.empty()) view.baudRate = options.baud;
    view.parityRow = options.parityRow;
    view.dataBitsRow = options.dataBitsRow;
    if (options.stopBits != 0) view.twoStopBits = options.stopBits == 2;
    if (options.echo >= 0) view.echoSuppression = options.echo == 1;
    SettingsFromView(view, settings);
    result = SettingsWrite(portId, settings);
  }
  PortClose(portId);
  if (result != SettingsOk) return Fail(options, port.c_str(), SettingsMessage(result), ExitOfSettings(result));
  PrintSettings(port, settings, write, options.json);
  return ExitOk;
}

// The image is looked at before the converter is touched: a mistyped name or
// an empty file must not leave the converter waiting in its update mode.
int CheckImage(const Options& options) {
  const char* name = options.file.c_str();
  struct stat info {};
  std::FILE* file = nullptr;
  if (stat(name, &info) == 0 && S_ISREG(info.st_mode)) file = std::fopen(name, "rb");
  if (file == nullptr) return Fail(options, nullptr, FirmwareOpenFailedText(name).c_str(), ExitFirmware);
  std::fclose(file);
  if (info.st_size == 0) return Fail(options, nullptr, kEmptyImage, ExitFirmware);
  return ExitOk;
}

int CommandFlash(const Options& options) {
  std::string port;
  if (!ResolvePort(options, port)) return Fail(options, nullptr, MsgNoDevice, ExitAbsent);
  FlashProgress progress(isatty(STDERR_FILENO) != 0);
  std::string failure;  // the first failure message the update showed
  UploadHooks hooks;
  hooks.message = [&](const char* text) {
    progress.Interrupt();
    std::fprintf(stderr, "%s\n", text);
    if (failure.empty() && std::strcmp(text, MsgFinished) != 0) failure = text;
  };
  hooks.progress = [&](UploadPhase phase, const UploadReport& sofar) { progress.Show(phase, sofar); };
  hooks.reopenDelayMs = options.settleMs;
  hooks.finishDelayMs = options.settleMs;
  PortId portId = 0;
  const UploadReport report = FirmwareUpload(port.c_str(), portId, options.file.c_str(), hooks);
  progress.Interrupt();
  PrintFlashReport(port, options.file, report, failure, options.json);
  switch (report.result) {
    case UploadDone: return ExitOk;
    case UploadPortOpenFailed: return ExitPort;
    default: return ExitFirmware;
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  switch (ParseArguments(argc, argv, options)) {
    case ParseHelp: std::fputs(kHelp, stdout); return ExitOk;
    case ParseBad: return ExitUsage;
    case ParseRun: break;
  }
  // Listing and locating read the device registry only; no port is opened.
  if (options.command == "list") return CommandList(options);
  if (options.command == "locate") return CommandLocate(options);
  if (options.command == "flash") {
    const int image = CheckImage(options);
    if (image != ExitOk) return image;
  }

  PortLayerInit();
  MsClockStart();
  if (options.command == "flash") return CommandFlash(options);
  return CommandReadOrWrite(options);
}
