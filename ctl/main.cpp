// rs485ctl: the setup utility's operations from the command line, for scripts
// and production lines. It calls the very operations the window calls.

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "ctl/arguments.h"
#include "ctl/audit.h"
#include "ctl/doctor.h"
#include "ctl/fleet.h"
#include "ctl/output.h"
#include "ctl/profile.h"
#include "ctl/report.h"
#include "fleet/journal.h"
#include "fleet/fleet.h"
#include "ops/firmware_upload.h"
#include "ops/messages.h"
#include "ops/settings.h"
#include "ops/sha256.h"
#include "ops/trace.h"
#include "discovery/com_port_list.h"
#include "discovery/device_locator.h"
#include "platform/console.h"
#include "platform/interrupt.h"
#include "platform/program_entry.h"
#include "platform/time.h"
#include "ports/ms_clock.h"
#include "ports/port_table.h"

namespace {

// The help; %d is the seconds a TCP port is given to connect.
constexpr const char* kHelpFormat =
    "Использование: rs485ctl [--port ИМЯ | --serial НОМЕР | --location МЕСТО | --ports ФАЙЛ] [--json] КОМАНДА [ПАРАМЕТРЫ]\n"
    "\n"
    "Настройка преобразователя USB-RS-485 из командной строки.\n"
    "\n"
    "Команды:\n"
    "  list                  последовательные порты компьютера\n"
    "  locate                порт преобразователя (код 1, если он не подключён)\n"
    "      --all             все подключённые: порт, серийный номер, место подключения\n"
    "                        (код 3, если у какого-то нет последовательного порта)\n"
    "  read                  прочитать настройки линии RS-485\n"
    "  write [ПАРАМЕТРЫ]     прочитать настройки, изменить заданное, записать и\n"
    "                        прочитать снова для проверки; не заданное остаётся как было\n"
    "      --from ФАЙЛ       настройки из профиля: то, что печатает read --json\n"
    "      --no-verify       не проверять записанное\n"
    "      --dry-run         только показать, что изменится; ничего не записывать\n"
    "      --baud N          скорость обмена, бит/с: кратная 100 (до 6553500) или 5760\n"
    "      --parity P        чётность: none, even, odd, mark, space\n"
    "      --bits N          длина посылки: 7, 8, 9\n"
    "      --stop N          стоп-биты: 1, 2\n"
    "      --echo on|off     подавление эхо\n"
    "  flash ФАЙЛ            загрузить прошивку из файла\n"
    "      --settle-ms N     ожидание преобразователя после входа в режим обновления\n"
    "                        и после выхода из него, мс (по умолчанию 5000)\n"
    "      --sha256 СУММА    прошивать, только если SHA-256 файла такая (и в watch --flash)\n"
    "  doctor                проверить, что мешает работе с преобразователем:\n"
    "                        подключение, права, правило udev, ModemManager,\n"
    "                        другие программы, ответ (код 1 предупреждение, 3 ошибка)\n"
    "  watch                 ждать подключения преобразователей и обслуживать каждый\n"
    "                        новый: прошивка, затем настройки с проверкой, строка\n"
    "                        на каждый; до Ctrl+C\n"
    "      --flash ФАЙЛ      прошивка для каждого\n"
    "      --from ФАЙЛ       профиль настроек для каждого (а также --baud и др.)\n"
    "      --plan ФАЙЛ       свои настройки и прошивка для каждого серийного номера (CSV)\n"
    "  audit                 прочитать настройки всех подключённых и сравнить (ничего\n"
    "                        не записывается); код 9, если что-то отличается\n"
    "      --plan ФАЙЛ       с планом (CSV: serial, location, baud, parity, bits, stop,\n"
    "                        echo, image, sha256); или --from ФАЙЛ, или --baud и др.\n"
    "      --csv             таблица CSV для электронных таблиц\n"
    "  journal               записи журнала: строка на каждый обслуженный преобразователь\n"
    "      --since ВРЕМЯ     только с этого времени UTC (2026-12-08T14:30)\n"
    "      --serial НОМЕР    только этого преобразователя\n"
    "  report [ЖУРНАЛ]       отчёт по журналу:\n"
    "      --csv             таблица CSV (UTF-8, для электронных таблиц)\n"
    "      --html            страница HTML\n"
    "      --verify          проверить цепочку журнала (код 8, если она нарушена)\n"
    "\n"
    "Общие параметры:\n"
    "  --port ИМЯ   порт: ttyACM0, /dev/serial/by-id/..., TCPC_адрес:порт, TCPS_порт,\n"
    "               rfc2217://узел:порт, STUB;\n"
    "               без него порт преобразователя ищется, как в окне программы;\n"
    "               с TCPC_ и rfc2217:// соединение, с TCPS_ подключение ожидается до %d с\n"
    "  --serial НОМЕР   преобразователь с этим серийным номером USB\n"
    "  --location МЕСТО преобразователь в этом месте подключения\n"
    "               (1-1.3, Port_#0003.Hub_#0001, как в locate --all);\n"
    "               без них при нескольких подключённых команда не выполняется (код 3)\n"
    "  --all        read, write, flash: все найденные преобразователи параллельно;\n"
    "               код завершения худший из них; write и flash с --plan ФАЙЛ:\n"
    "               каждому свою строку плана, не названные в плане не затрагиваются\n"
    "  --ports ФАЙЛ read, write, flash, audit: каждый порт из ФАЙЛА\n"
    "               (имя порта в строке, # комментарий) параллельно, как --all\n"
    "  --jobs N     с --all и --ports: не больше N одновременно (1-256; по умолчанию\n"
    "               все найденные для --all и 8 для --ports)\n"
    "  --json       результат одним объектом JSON для сценариев; с --all и в watch\n"
    "               строки JSON: ход прошивки, результат по каждому, итог\n"
    "  --journal ФАЙЛ журнал для write, flash, watch и journal (по умолчанию в папке\n"
    "               состояния пользователя: rs485setup/journal.jsonl)\n"
    "  --trace ФАЙЛ записывать обмен с преобразователем по байтам в ФАЙЛ\n"
    "               (- стандартный поток ошибок)\n"
    "  -h, --help   эта справка\n"
    "  --           дальше только аргументы (имя файла, начинающееся с -)\n"
    "\n"
    "Сообщения и ход прошивки выводятся в стандартный поток ошибок.\n"
    "\n"
    "Коды завершения: 0 успех, 1 преобразователь не подключён, 2 ошибка в параметрах,\n"
    "3 ошибка порта или подключено несколько преобразователей, а один не выбран,\n"
    "4 ошибка чтения настроек, 5 ошибка записи настроек (или записанное не подтвердилось),\n"
    "6 ошибка прошивки, 7 результат не удалось вывести (или записать в журнал),\n"
    "8 цепочка журнала нарушена, 9 настройки отличаются (audit),\n"
    "130 прошивка прервана (Ctrl+C).\n";

// The converter a write or flash run alone chose: what its journal line names.
ConverterPort gChosen{};

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

// The port to work on: the one given, or the converter's found as the window
// finds it (the one chosen by --serial and --location). ExitOk when there is
// one; otherwise the exit code, after telling why.
int ResolvePort(const Options& options, std::string& port) {
  if (!options.port.empty()) {
    port = options.port;
    std::snprintf(gChosen.port, sizeof gChosen.port, "%s", port.c_str());
    return ExitOk;
  }
  ConverterList found;
  LocateConvertersPlugged(found);
  ConverterListKeep(found, options.serial.c_str(), options.location.c_str());
  if (found.count == 1 && found.converters[0].port[0] == '\0')
    return Fail(options, nullptr, MsgPortOpenFailed, ExitPort, MsgConverterWithoutPort);
  if (found.count == 1) {
    port = found.converters[0].port;
    gChosen = found.converters[0];
    return ExitOk;
  }
  if (found.count == 0) {
    const bool chosen = !options.serial.empty() || !options.location.empty();
    return Fail(options, nullptr, MsgNoDevice, ExitAbsent,
                chosen ? MsgNoSuchConverter(options.serial, options.location) : std::string());
  }
  // Never the first of several: an update must not go to the wrong unit.
  PrintSeveral(found, options.serial, options.json);
  return ExitPort;
}

int CommandList(const Options& options) {
  ComPortListBuild();
  std::vector<std::string> names;
  for (int k = 0; k < ComPortList.count; ++k) names.emplace_back(ComPortList.names[k]);
  PrintPortList(names, options.json);
  return ExitOk;
}

int CommandLocate(const Options& options) {
  if (options.all) {
    ConverterList found;
    LocateConvertersPlugged(found);
    ConverterListKeep(found, options.serial.c_str(), options.location.c_str());
    PrintConverters(found, options.json);
    if (found.count == 0) CtlWrite(stderr, std::string(MsgNoDevice) + "\n");
    // One without a serial port is listed, and cannot be used.
    for (int32_t k = 0; k < found.count; ++k)
      if (found.converters[k].port[0] == '\0') return ExitPort;
    return found.count > 0 ? ExitOk : ExitAbsent;
  }
  std::string port;
  if (const int code = ResolvePort(options, port); code != ExitOk) return code;
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

// A write is done when the converter keeps what was written: the record read
// back must be the one sent.
int VerifyAndClose(const Options& options, const std::string& port, PortId portId, const DeviceSettings& written,
                   const DeviceSettings& before) {
  DeviceSettings back{};
  const SettingsResult read = SettingsRead(portId, back, PauseBetweenCalls);
  PortClose(portId);
  if (read != SettingsOk)
    return Fail(options, port.c_str(), MsgSettingsWriteFailed, ExitWrite,
                MsgVerifyUnread + std::string(" ") + PortFailureReason(PortLastFailure()));
  const std::vector<const char*> differs = SettingsDifferences(written, back);
  if (!differs.empty()) {
    std::string fields;
    for (const char* field : differs) fields += (fields.empty() ? "" : ", ") + std::string(field);
    const std::string reason = MsgVerifyDiffers(fields);
    CtlWrite(stderr, std::string(MsgSettingsWriteFailed) + "\n" + reason + "\n");
    PrintVerifyFailed(port, reason, differs, options.json);
    return ExitWrite;
  }
  PrintSettings(port, back, true, options.json, stdout, 1, &before);
  return ExitOk;
}

int CommandReadOrWrite(const Options& options) {
  std::string port;
  if (const int code = ResolvePort(options, port); code != ExitOk) return code;
  PortLayerInit();
  MsClockStart();
  PortId portId = 0;
  DeviceSettings settings{};
  // The pause after a channel call lets the window's next click find the
  // converter ready; after the last call of a command nobody comes next.
  SettingsResult result = SettingsCheck(port.c_str(), portId, settings, PauseBetweenCalls);
  if (result != SettingsOk)
    return Fail(options, port.c_str(), SettingsMessage(result), ExitOfSettings(result), ReasonOf(result));

  const bool write = options.command == "write";
  const DeviceSettings before = settings;
  const FleetSettings given{options.baud, options.parityRow, options.dataBitsRow, options.stopBits, options.echo,
                            options.verify};
  if (write && options.dryRun) {
    PortClose(portId);
    PrintDryRun(port, FleetDriftOf(settings, given), options.json);
    return ExitOk;
  }
  if (write) {
    CtlNoteRecordBefore(before);
    // The window's round trip: the record read, shown, changed, taken back.
    settings = FleetSettingsApplied(settings, given);
    result = SettingsWrite(portId, settings, options.verify ? PauseAfterEveryCall : PauseBetweenCalls);
    if (result == SettingsOk && options.verify) return VerifyAndClose(options, port, portId, settings, before);
  }
  PortClose(portId);
  if (result != SettingsOk)
    return Fail(options, port.c_str(), SettingsMessage(result), ExitOfSettings(result), ReasonOf(result));
  PrintSettings(port, settings, write, options.json, stdout, write ? 0 : -1, write ? &before : nullptr);
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
  // The image's identity: the one the user named, or it is not sent.
  const ImageIdentity identity{image.size(), Sha256Hex(image.data(), image.size())};
  if (!options.sha256.empty() && options.sha256 != identity.sha256)
    return Fail(options, nullptr, MsgImageHashMismatch, ExitFirmware,
                MsgImageHashReason(options.file, identity.sha256, options.sha256));

  // The port layer (and its banner in port.out) only once there is a port to open.
  std::string port;
  if (const int code = ResolvePort(options, port); code != ExitOk) return code;
  PortLayerInit();
  MsClockStart();
  // Interrupted, the update still tells the converter to leave its update mode.
  PlatformInterruptCatch();
  FlashProgress progress(PlatformStderrIsTerminal() && !options.worker, options.worker, port);
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
  // The name it ended on: the converter may have come back under another.
  PrintFlashReport(report.port, options.file, identity, report, failure, failureReason, options.json);
  switch (report.result) {
    case UploadDone: return ExitOk;
    case UploadPortOpenFailed: return ExitPort;
    case UploadInterrupted: return ExitInterrupted;
    default: return ExitFirmware;
  }
}

// A worker's release of a converter that another worker left in its update
// mode (its worker died, or was ended by a second request to stop): the
// converter, found by serial number and place (or its port, known by
// neither) within --settle-ms, is told to leave the update mode. Its one
// line says whether it was; exit code 3 when it was not found or its port
// did not open.
int CommandLeave(const Options& options) {
  ConverterPort converter{};
  std::snprintf(converter.port, sizeof converter.port, "%s", options.port.c_str());
  std::snprintf(converter.serial, sizeof converter.serial, "%s", options.serial.c_str());
  std::snprintf(converter.location, sizeof converter.location, "%s", options.location.c_str());
  PortLayerInit();
  MsClockStart();
  std::string why;
  const bool left = FirmwareLeaveUpdateMode(converter, options.settleMs, why);
  CtlWriteLine(std::string("{\"left\":") + (left ? "true" : "false") + ",\"reason\":" + JsonOrNull(why) + "}");
  return left ? ExitOk : ExitPort;
}

int RunOne(const Options& options) {
  return options.command == "flash" ? CommandFlash(options) : CommandReadOrWrite(options);
}

// A write or flash of one converter: the journal is opened before the
// converter is touched, and the result is shown once its line is on the disk.
int RunJournaled(const Options& options) {
  std::string journal;
  std::string reason;
  if (!JournalPrepare(options.journal, journal, reason)) return Fail(options, nullptr, MsgJournalOpenFailed, ExitUsage, reason);
  CtlHoldStdout(true);
  const uint32_t started = PlatformTickMs();
  int code = RunOne(options);
  if (gChosen.port[0] != '\0') {
    JournalUnit unit;
    unit.operation = options.command;
    unit.serial = gChosen.serial;
    unit.location = gChosen.location;
    Json result;
    JsonParse(CtlLastResult(), result);
    // The name the update ended on.
    unit.port = result["port"].kind == Json::String ? result["port"].text : gChosen.port;
    unit.steps = {{options.command, code, CtlLastResult()}};
    if (options.command == "flash") unit.image = options.file;
    unit.result = code == ExitOk ? "ok" : code == ExitInterrupted ? "interrupted" : "failed";
    unit.exitCode = code;
    unit.error = result["error"].kind == Json::String ? result["error"].text : std::string();
    unit.reason = result["reason"].kind == Json::String ? result["reason"].text : std::string();
    unit.durationMs = PlatformTickMs() - started;
    if (!JournalAppendUnit(journal, unit, reason)) {
      CtlWrite(stderr, std::string(MsgJournalWriteFailed) + "\n" + reason + "\n");
      code = std::max(code, static_cast<int>(ExitOutput));
    }
  }
  CtlHoldStdout(false);
  return code;
}

int Run(const Options& options) {
  // Listing and locating read the system's lists only; no port is opened.
  if (options.command == "list") return CommandList(options);
  if (options.command == "locate") return CommandLocate(options);
  if (options.command == "watch") return CommandWatch(options);
  if (options.command == "audit" || (options.dryRun && (options.all || !options.portsFile.empty())))
    return CommandAudit(options);
  if (options.all || !options.portsFile.empty()) return CommandAll(options);
  // A worker hears a request to stop from its parent too, as the end of its
  // standard input. Its read or write is short: it ends in order, however
  // many requests reached it (a third ends it, for an exchange that hangs);
  // its update stops (a second request ends it at once, and its parent tells
  // the converter to leave the update mode, by a leave worker). That release
  // hears no stop channel: it is short, and a third request ends it.
  if (options.worker) {
    if (options.command != "leave") PlatformInterruptOnInputEnd();
    PlatformInterruptCount();
  }
  if (options.command == "leave") return CommandLeave(options);
  if (options.command == "doctor") return CommandDoctor(options);
  if (options.command == "journal") return CommandJournal(options);
  if (options.command == "report") return CommandReport(options);
  // A dry run changes nothing: there is nothing to record.
  if (options.command == "read" || options.worker || options.dryRun) return RunOne(options);
  return RunJournaled(options);
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
  std::string problem;
  if (!options.profile.empty() && !ProfileApply(options.profile, options, problem)) {
    CtlWrite(stderr, "rs485ctl: профиль " + options.profile + ": " + problem + "\n");
    return ExitUsage;
  }
  // The ports of a fleet are all checked before the first is served.
  if (!options.portsFile.empty() && !FleetPortsRead(options.portsFile, options.ports, problem)) {
    CtlWrite(stderr, "rs485ctl: порты " + options.portsFile + ": " + problem + "\n");
    return ExitUsage;
  }
  // Both serial number and place: twins share the one.
  if (options.worker)
    CtlSetStderrLabel("[" + (options.serial.empty() && options.location.empty() ? options.port
                             : options.serial + (options.serial.empty() || options.location.empty() ? "" : " ") +
                                   options.location) +
                      "] ");
  // Before the converter is touched: a trace that cannot be written, or that
  // names the port itself, is refused first.
  std::string message;
  std::string reason;
  if (!options.trace.empty() && !TraceStart(options.trace.c_str(), options.port.c_str(), message, reason)) {
    CtlWrite(stderr, message + "\n" + reason + "\n");
    return ExitUsage;
  }
  const int code = CheckOutput(Run(options));
  // The operation ran to its end either way; its trace may not have.
  if (const std::string problem = TraceProblem(); !problem.empty())
    CtlWrite(stderr, std::string(MsgTraceIncomplete) + "\n" + problem + "\n");
  TraceStop();
  return code;
}
