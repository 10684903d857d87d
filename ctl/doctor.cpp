#include "ctl/doctor.h"

#include <string>

#include "ctl/output.h"
#include "ops/messages.h"
#include "ports/ms_clock.h"
#include "ports/port_table.h"

namespace {

constexpr size_t kVerdictColumns = 10;

// The verdict's word, padded to a column of its own.
std::string VerdictColumn(DoctorVerdict verdict) {
  std::string word = MsgDoctorVerdicts[verdict];
  size_t columns = 0;
  for (const char c : word) columns += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return word + std::string(kVerdictColumns > columns ? kVerdictColumns - columns : 1, ' ');
}

}  // namespace

void PrintDoctorReport(const DoctorReport& report, bool json, FILE* out) {
  if (json) {
    std::string checks;
    for (const DoctorCheck& check : report.checks)
      checks += std::string(checks.empty() ? "" : ",") + "{\"check\":\"" + check.id + "\",\"verdict\":\"" +
                DoctorVerdictName(check.verdict) + "\",\"title\":" + JsonString(check.title) +
                ",\"detail\":" + JsonString(check.detail) + ",\"advice\":" + JsonOrNull(check.advice) + "}";
    CtlWrite(out, "{\"port\":" + JsonOrNull(report.port) + ",\"verdict\":\"" + DoctorVerdictName(DoctorOverall(report)) +
                      "\",\"checks\":[" + checks + "]}\n");
    return;
  }
  std::string text;
  for (const DoctorCheck& check : report.checks) {
    text += VerdictColumn(check.verdict) + check.title + ": " + check.detail + "\n";
    if (!check.advice.empty()) text += std::string(kVerdictColumns, ' ') + check.advice + "\n";
  }
  CtlWrite(out, text);
}

int CommandDoctor(const Options& options) {
  if (options.port.empty()) {
    // Chosen as every command chooses: of several, which one is the user's
    // to say; one asked for that is not there is not plugged in (exit 1).
    ConverterList found;
    LocateConvertersPlugged(found);
    ConverterListKeep(found, options.serial.c_str(), options.location.c_str());
    if (found.count > 1) {
      PrintSeveral(found, options.serial, options.json);
      return ExitPort;
    }
    if (found.count == 0 && (!options.serial.empty() || !options.location.empty())) {
      const std::string reason = MsgNoSuchConverter(options.serial, options.location);
      CtlWrite(stderr, std::string(MsgNoDevice) + "\n" + reason + "\n");
      PrintError(nullptr, MsgNoDevice, reason, options.json);
      return ExitAbsent;
    }
  }
  PortLayerInit();
  MsClockStart();
  const DoctorReport report = DoctorRun(options.port, options.serial, options.location);
  PrintDoctorReport(report, options.json);
  return DoctorExitCode(report);
}
