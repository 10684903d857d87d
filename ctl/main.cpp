// rs485ctl: the setup utility's operations from the command line, for scripts
// and production lines. It calls the very operations the window calls.

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "ctl/arguments.h"
#include "ctl/doctor.h"
#include "ctl/output.h"
#include "ops/firmware_upload.h"
#include "ops/messages.h"
#include "ops/settings.h"
#include "ops/trace.h"
#include "discovery/com_port_list.h"
#include "discovery/device_locator.h"
#include "platform/console.h"
#include "platform/interrupt.h"
#include "platform/program_entry.h"
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
  ExitOutput = 7,
  ExitInterrupted = 130,  // as a shell reports a program ended by Ctrl+C
};

// The help; %d is the seconds a TCP port is given to connect.
constexpr const char* kHelpFormat =
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
    "  doctor                проверить, что мешает работе с преобразователем:\n"
    "                        подключение, права, правило udev, ModemManager,\n"
    "                        другие программы, ответ (код 1 предупреждение, 3 ошибка)\n"
    "\n"
    "Общие параметры:\n"
    "  --port ИМЯ   порт: ttyACM0, /dev/serial/by-id/..., TCPC_адрес:порт, TCPS_порт,\n"
    "               rfc2217://узел:порт, STUB;\n"
    "               без него порт преобразователя ищется, как в окне программы;\n"
    "               с TCPC_ и rfc2217:// соединение, с TCPS_ подключение ожидается до %d с\n"
    "  --json       результат одним объектом JSON для сценариев\n"
    "  --trace ФАЙЛ записывать обмен с преобразователем по байтам в ФАЙЛ\n"
    "               (- стандартный поток ошибок)\n"
    "  -h, --help   эта справка\n"
    "  --           дальше только аргументы (имя файла, начинающееся с -)\n"
    "\n"
    "Сообщения и ход прошивки выводятся в стандартный поток ошибок.\n"
    "\n"
    "Коды завершения: 0 успех, 1 преобразователь не подключён, 2 ошибка в параметрах,\n"
    "3 ошибка порта, 4 ошибка чтения настроек, 5 ошибка записи настроек, 6 ошибка прошивки,\n"
    "7 результат не удалось вывести, 130 прошивка прервана (Ctrl+C).\n";

int Fail(const Options& options, const char* port, const char* message, int code,
         const std::string& reason = std::string()) {
  CtlWrite(stderr, std::string(message) + "\n" + (reason.empty() ? "" : reason + "\n"));
  PrintError(port, message, reason, options.json);
  return code;
}

// Why the port did not open, or why its exchange may have failed.
std::string ReasonOf(SettingsResult result) {
  return result == SettingsOk ? std::string() : PortFailureReason(PortLastFailure());
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
  // The pause after a channel call lets the window's next click find the
  // converter ready; after the last call of a command nobody comes next.
  SettingsResult result = SettingsCheck(port.c_str(), portId, settings, PauseBetweenCalls);
  if (result != SettingsOk)
    return Fail(options, port.c_str(), SettingsMessage(result), ExitOfSettings(result), ReasonOf(result));

  const bool write = options.command == "write";
  if (write) {
    // The window's round trip: the record read, shown, changed, taken back.
    // A list left without a row keeps its byte as read, so an unknown parity
    // or data-bit count survives a write that does not name it; the baud rate
    // is taken back only when given (arguments.cpp checked it).
    SettingsView view = SettingsToView(settings);
    view.parityRow = options.parityRow;
    view.dataBitsRow = options.dataBitsRow;
    if (options.stopBits != 0) view.twoStopBits = options.stopBits == 2;
    if (options.echo >= 0) view.echoSuppression = options.echo == 1;
    SettingsApplyLineView(view, settings);
    uint16_t baud100 = 0;
    if (!options.baud.empty() && SettingsParseBaud(options.baud, baud100)) SettingsSetBaud100(settings, baud100);
    result = SettingsWrite(portId, settings, PauseBetweenCalls);
  }
  PortClose(portId);
  if (result != SettingsOk)
    return Fail(options, port.c_str(), SettingsMessage(result), ExitOfSettings(result), ReasonOf(result));
  PrintSettings(port, settings, write, options.json);
  return ExitOk;
}

int CommandFlash(const Options& options) {
  // The image is read whole before the converter is touched: a mistyped name
  // or an empty file must not leave the converter waiting in its update mode,
  // and a file that changes while it is sent must not be half old, half new.
  std::vector<uint8_t> image;
  std::string message;
  std::string reason;
  if (FirmwareImageLoad(options.file.c_str(), image, message, reason) != UploadDone)
    return Fail(options, nullptr, message.c_str(), ExitFirmware, reason);
  if (image.empty()) return Fail(options, nullptr, MsgFirmwareEmpty, ExitFirmware);

  PortLayerInit();
  MsClockStart();
  std::string port;
  if (!ResolvePort(options, port)) return Fail(options, nullptr, MsgNoDevice, ExitAbsent);
  // Interrupted, the update still tells the converter to leave its update mode.
  PlatformInterruptCatch();
  FlashProgress progress(PlatformStderrIsTerminal());
  std::string failure;  // the first failure message the update showed
  std::string failureReason;  // and the reason shown with it
  UploadHooks hooks;
  hooks.message = [&](const char* text, const std::string& why) {
    progress.Interrupt();
    CtlWrite(stderr, std::string(text) + "\n" + (why.empty() ? "" : why + "\n"));
    if (failure.empty() && std::strcmp(text, MsgFinished) != 0) {
      failure = text;
      failureReason = why;
    }
  };
  hooks.progress = [&](UploadPhase phase, const UploadReport& sofar) { progress.Show(phase, sofar); };
  hooks.stopRequested = [] { return PlatformInterrupted(); };
  hooks.reopenDelayMs = options.settleMs;
  hooks.finishDelayMs = options.settleMs;
  PortId portId = 0;
  const UploadReport report = FirmwareUploadImage(port.c_str(), portId, image, hooks);
  progress.Interrupt();
  PrintFlashReport(port, options.file, report, failure, failureReason, options.json);
  switch (report.result) {
    case UploadDone: return ExitOk;
    case UploadPortOpenFailed: return ExitPort;
    case UploadInterrupted: return ExitInterrupted;
    default: return ExitFirmware;
  }
}

int Run(const Options& options) {
  // Listing and locating read the device registry only; no port is opened.
  if (options.command == "list") return CommandList(options);
  if (options.command == "locate") return CommandLocate(options);
  if (options.command == "flash") return CommandFlash(options);
  if (options.command == "doctor") return CommandDoctor(options);
  PortLayerInit();
  MsClockStart();
  return CommandReadOrWrite(options);
}

// A result that could not be written is no success, whatever was done.
int CheckOutput(int code) {
  if (!CtlOutputFailed() && std::fflush(stdout) == 0 && std::ferror(stdout) == 0) return code;
  CtlWrite(stderr, "rs485ctl: не удалось вывести результат\n");
  return code == ExitOk ? ExitOutput : code;
}

}  // namespace

int ProgramMain(int argc, char** argv) {
  // Before any file is opened: a closed standard output must not become the log.
  PlatformStdStreamsInit();
  Options options;
  switch (ParseArguments(argc, argv, options)) {
    case ParseHelp:
      CtlWrite(stdout, CtlFormat(kHelpFormat, static_cast<int>(PortLinkWaitMs / 1000)));
      return CheckOutput(ExitOk);
    case ParseBad: return ExitUsage;
    case ParseRun: break;
  }
  // Before the converter is touched: a trace that cannot be written is refused first.
  std::string message;
  std::string reason;
  if (!options.trace.empty() && !TraceStart(options.trace.c_str(), message, reason)) {
    CtlWrite(stderr, message + "\n" + reason + "\n");
    return ExitUsage;
  }
  const int code = CheckOutput(Run(options));
  TraceStop();
  return code;
}
