#include "ctl/arguments.h"

#include <vector>

#include "ops/settings.h"
#include "ops/sha256.h"
#include "ctl/output.h"
#include "platform/serial_ports.h"
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

// A time as the journal writes it, or its leading part: a date, then
// optionally hours and minutes, seconds, and a Z.
bool TimeIsIso(std::string& text) {
  if (!text.empty() && text.back() == 'Z') text.pop_back();
  static const char kShape[] = "dddd-dd-ddTdd:dd:dd";
  if (text.size() != 10 && text.size() != 16 && text.size() != 19) return false;
  for (size_t i = 0; i < text.size(); ++i)
    if (kShape[i] == 'd' ? text[i] < '0' || text[i] > '9' : text[i] != kShape[i]) return false;
  return true;
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
    const bool isFlag = arg == "-h" || arg == "--help" || arg == "--json" || arg == "--all" || arg == "--no-verify" ||
                        arg == "--worker" || arg == "--dry-run" || arg == "--csv" || arg == "--html" || arg == "--verify";
    if (isFlag && hasValue) return Usage(arg + " не принимает значения");

    if (arg == "-h" || arg == "--help") {
      return ParseHelp;
    } else if (arg == "--json") {
      options.json = true;
    } else if (arg == "--port") {
      if (!takeValue() || value.empty() || value[0] == '-') return Usage("--port требует имя порта");
      if (value.size() >= PortNameSize) return Usage("слишком длинное имя порта");
      options.port = value;
    } else if (arg == "--serial" || arg == "--location") {
      if (!takeValue() || value.empty() || value.size() >= SerialIdSize)
        return Usage(arg + (arg == "--serial" ? " требует серийный номер" : " требует место подключения (как в locate --all)"));
      (arg == "--serial" ? options.serial : options.location) = value;
    } else if (arg == "--ports") {
      if (!takeValue() || value.empty()) return Usage("--ports требует имя файла со списком портов");
      options.portsFile = value;
    } else if (arg == "--jobs") {
      if (!takeValue() || !AllDigits(value, 3) || std::stol(value) < 1 || std::stol(value) > kJobsMax)
        return Usage("--jobs: от 1 до " + std::to_string(kJobsMax));
      options.jobs = static_cast<int32_t>(std::stol(value));
    } else if (arg == "--all") {
      options.all = true;
    } else if (arg == "--worker") {
      options.worker = true;
    } else if (arg == "--no-verify") {
      options.verify = false;
    } else if (arg == "--dry-run") {
      options.dryRun = true;
    } else if (arg == "--plan") {
      if (!takeValue() || value.empty()) return Usage("--plan требует имя файла плана");
      options.plan = value;
    } else if (arg == "--from" || arg == "--flash") {
      if (!takeValue() || value.empty()) return Usage(arg + " требует имя файла");
      (arg == "--from" ? options.profile : options.image) = value;
    } else if (arg == "--csv" || arg == "--html" || arg == "--verify") {
      if (!options.report.empty() && options.report != arg.substr(2))
        return Usage("--csv, --html и --verify вместе не задаются");
      options.report = arg.substr(2);
    } else if (arg == "--journal") {
      if (!takeValue() || value.empty()) return Usage("--journal требует имя файла");
      options.journal = value;
    } else if (arg == "--sha256") {
      if (!takeValue() || !Sha256IsHex(value)) return Usage("--sha256: 64 шестнадцатеричные цифры");
      for (char& c : value) c = static_cast<char>(c >= 'A' && c <= 'F' ? c - 'A' + 'a' : c);
      options.sha256 = value;
    } else if (arg == "--since") {
      if (!takeValue() || !TimeIsIso(value))
        return Usage("--since: время UTC как 2026-12-08, 2026-12-08T14:30 или 2026-12-08T14:30:05");
      options.since = value;
    } else if (arg == "--trace") {
      if (!takeValue() || value.empty() || (value[0] == '-' && value != "-"))
        return Usage("--trace требует имя файла или - (стандартный поток ошибок)");
      options.trace = value;
    } else if (arg == "--baud") {
      if (!takeValue() || !SettingsIsExactBaud(value))
        return Usage("--baud: скорость в бит/с, кратная 100, от 100 до 6553500, или 5760");
      options.baud = value;
    } else if (arg == "--parity") {
      options.parityRow = takeValue() ? SettingsParityRow(value) : -1;
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
  // leave is a worker's only (docs/worker.md): the release of a converter
  // another worker left in its update mode.
  if (command != "list" && command != "locate" && command != "read" && command != "write" && command != "flash" &&
      command != "doctor" && command != "watch" && command != "journal" && command != "report" && command != "audit" &&
      !(command == "leave" && options.worker))
    return Usage("неизвестная команда " + command);
  const bool changesSettings = !options.baud.empty() || options.parityRow >= 0 || options.dataBitsRow >= 0 ||
                               options.stopBits != 0 || options.echo >= 0;
  // An audit compares with settings as a write takes them.
  const bool setsUp = command == "write" || command == "watch" || command == "audit";
  if (changesSettings && !setsUp)
    return Usage("--baud, --parity, --bits, --stop и --echo относятся только к командам write, watch и audit");
  if (!options.profile.empty() && !setsUp) return Usage("--from относится только к командам write, watch и audit");
  if (!options.verify && command != "write" && command != "watch")
    return Usage("--no-verify относится только к командам write и watch");
  if (options.dryRun && command != "write") return Usage("--dry-run относится только к команде write");
  // --csv: a report's form, or an audit's.
  options.csv = options.report == "csv" && command == "audit";
  if (options.csv && options.json) return Usage("--csv и --json вместе не задаются");
  if (!options.plan.empty()) {
    if (command != "watch" && command != "audit" && !((command == "write" || command == "flash") && options.all))
      return Usage("--plan относится к write --all, flash --all, watch и audit");
    // The plan gives each converter all it gets.
    if (changesSettings || !options.profile.empty() || !options.image.empty())
      return Usage("--plan задаёт настройки и прошивку каждого: --from, --flash, --baud и другие с ним не задаются");
  }
  if (command == "audit" && options.plan.empty() && options.profile.empty() && !changesSettings)
    return Usage("audit требует --plan, --from или настройки (--baud и другие), с которыми сравнивать");
  if (!options.image.empty() && command != "watch") return Usage("--flash относится только к команде watch");
  if (!options.sha256.empty() && command != "flash" && !(command == "watch" && !options.image.empty()))
    return Usage("--sha256 относится только к командам flash и watch --flash");
  if (!options.journal.empty() && command != "write" && command != "flash" && command != "watch" &&
      command != "journal")
    return Usage("--journal относится только к командам write, flash, watch и journal");
  if (!options.since.empty() && command != "journal") return Usage("--since относится только к команде journal");
  if (options.report == "csv" && command != "report" && command != "audit")
    return Usage("--csv относится только к командам report и audit");
  if (!options.report.empty() && command != "report" && !options.csv)
    return Usage("--html и --verify относятся только к команде report");
  if (command == "report" && options.report.empty()) return Usage("report требует --csv, --html или --verify");
  const bool reads = command == "journal" || command == "report";
  if (reads && (options.all || !options.port.empty() || !options.trace.empty()))
    return Usage("--all, --port и --trace не относятся к команде " + command);
  if (command == "report" && (!options.serial.empty() || !options.location.empty()))
    return Usage("--serial и --location не относятся к команде report");
  if (options.settleGiven && command != "flash" && command != "watch" && command != "leave")
    return Usage("--settle-ms относится только к командам flash и watch");
  if (!options.port.empty() && (command == "list" || command == "locate" || command == "watch" || command == "audit"))
    return Usage("--port не относится к команде " + command);
  const bool chooses = !options.serial.empty() || !options.location.empty();
  if (chooses && (command == "list" || command == "watch"))
    return Usage("--serial и --location не относятся к команде " + command);
  if (chooses && !options.port.empty()) return Usage("--port и --serial или --location вместе не задаются");
  // An audit reads every converter found anyway.
  if (options.all && !CommandServesAll(command) && command != "locate" && command != "audit")
    return Usage("--all относится только к командам locate, read, write, flash и audit");
  if (options.all && !options.port.empty()) return Usage("--port и --all вместе не задаются");
  if (!options.portsFile.empty()) {
    if (!CommandServesAll(command) && command != "audit")
      return Usage("--ports относится только к командам read, write, flash и audit");
    // A plan names converters by serial number, which a port alone does not tell.
    if (!options.plan.empty()) return Usage("--plan и --ports вместе не задаются");
    if (options.all || !options.port.empty() || chooses)
      return Usage("--ports не задаётся вместе с --port, --serial, --location и --all");
  }
  const bool several = options.all || !options.portsFile.empty();
  if (options.jobs > 0 && !(several && (CommandServesAll(command) || command == "audit")))
    return Usage("--jobs относится только к --all и --ports команд read, write, flash и audit");
  // Several workers cannot share one trace file; standard error they can.
  if ((several || command == "watch" || command == "audit") && !options.trace.empty() && options.trace != "-")
    return Usage("с --all, --ports, в watch и audit --trace пишет только в стандартный поток ошибок (--trace -)");
  // With a plan each converter's image is its row's.
  const bool takesFile = command == "flash" && options.plan.empty();
  if (takesFile) {
    if (positional.size() < 2 || positional[1].empty()) return Usage("flash требует имя файла прошивки");
    options.file = positional[1];
  }
  // report's journal: named, or the one --journal names elsewhere.
  if (command == "report" && positional.size() >= 2) options.journal = positional[1];
  const size_t expected = takesFile || (command == "report" && positional.size() >= 2) ? 2 : 1;
  if (positional.size() > expected) return Usage("лишний аргумент " + positional[expected]);
  return ParseRun;
}

bool CommandServesAll(const std::string& command) {
  return command == "read" || command == "write" || command == "flash";
}
