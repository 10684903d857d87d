#include "ops/doctor.h"

#include <algorithm>

#include "discovery/com_port_list.h"
#include "discovery/device_locator.h"
#include "ops/messages.h"
#include "ops/settings.h"
#include "platform/diagnostics.h"
#include "ports/port_table.h"

namespace {

// What the package installs: its udev rule, and the link that rule makes.
constexpr const char* kRuleName = "70-rs485setup.rules";
constexpr const char* kLinkName = "rs485-converter";

void Add(DoctorReport& report, const char* id, const char* title, DoctorVerdict verdict, const std::string& detail,
         const std::string& advice = std::string()) {
  report.checks.push_back({id, verdict, title, detail, advice});
}

// The converter's port as the window finds it (the one asked for), or why
// there is none.
void CheckConverter(DoctorReport& report, const std::string& serial, const std::string& location) {
  ConverterList found;
  LocateConvertersPlugged(found);
  const bool converters = found.count > 0;
  ConverterListKeep(found, serial.c_str(), location.c_str());
  // The first with a port, as the window finds it; else one without.
  for (int32_t k = 0; k < found.count; ++k) {
    if (found.converters[k].port[0] == '\0') continue;
    report.port = found.converters[k].port;
    Add(report, "converter", MsgDoctorConverter, DoctorOk, MsgDoctorConverterPort(report.port));
    return;
  }
  if (found.count > 0) {
    Add(report, "converter", MsgDoctorConverter, DoctorFailed, MsgDoctorNoSerialPort, MsgDoctorDriverAdvice);
    return;
  }
  if (converters) {
    Add(report, "converter", MsgDoctorConverter, DoctorFailed, MsgNoSuchConverter(serial, location), MsgDoctorPlugIn);
    return;
  }
  ConverterSighting seen;
  LocateDeviceSighting(seen);
  if (seen.instances == 0)
    Add(report, "converter", MsgDoctorConverter, DoctorFailed, MsgDoctorNoUsbDevice, MsgDoctorPlugIn);
  else if (seen.port[0] == '\0')
    Add(report, "converter", MsgDoctorConverter, DoctorFailed, MsgDoctorNoSerialPort, MsgDoctorDriverAdvice);
  else
    Add(report, "converter", MsgDoctorConverter, DoctorFailed, MsgDoctorPortNotListed(seen.port),
        MsgDoctorReplugAdvice);
}

void CheckRule(DoctorReport& report, const DiagSystemFacts& system, const DiagPortFacts& node) {
  if (system.ruleFile[0] == '\0') {
    Add(report, "udev_rule", MsgDoctorRule, DoctorWarning, MsgDoctorRuleMissing, MsgDoctorRuleInstallAdvice);
    return;
  }
  // The rule shows on the node by its link, or by the mark it leaves for ModemManager.
  const bool applies = node.udevKnown && (node.linked || node.mmIgnore);
  if (node.node && node.udevKnown && !applies)
    Add(report, "udev_rule", MsgDoctorRule, DoctorWarning, MsgDoctorRuleNotApplied(system.ruleFile),
        MsgDoctorRuleReloadAdvice);
  else
    Add(report, "udev_rule", MsgDoctorRule, DoctorOk, MsgDoctorRuleInstalled(system.ruleFile, applies));
}

void CheckModemManager(DoctorReport& report, const DiagSystemFacts& system, const DiagPortFacts& node) {
  if (!system.modemManager)
    Add(report, "modemmanager", MsgDoctorModemManager, DoctorOk, MsgDoctorMmAbsent);
  else if (node.mmIgnore)
    Add(report, "modemmanager", MsgDoctorModemManager, DoctorOk, MsgDoctorMmIgnores);
  else
    Add(report, "modemmanager", MsgDoctorModemManager, DoctorWarning, MsgDoctorMmProbes, MsgDoctorMmAdvice);
}

// Opens the port and reads the settings: who holds it, whether it opens (for
// TCP: connects), whether the converter answers.
void CheckExchange(DoctorReport& report, bool localDevice) {
  PortId portId = 0;
  DeviceSettings settings{};
  const SettingsResult result = SettingsCheck(report.port.c_str(), portId, settings, PauseBetweenCalls);
  PortClose(portId);
  const PortFailure& failure = PortLastFailure();
  const bool held = result == SettingsPortOpenFailed && failure.kind == PortFailBusy;
  if (localDevice || held) {
    if (held)
      Add(report, "holder", MsgDoctorHolder, DoctorFailed, MsgDoctorHeldBy(failure.holder.program, failure.holder.pid),
          MsgDoctorHeldAdvice);
    else
      Add(report, "holder", MsgDoctorHolder, DoctorOk, MsgDoctorNotHeld);
  }
  if (held) return;
  if (result == SettingsPortOpenFailed) {
    Add(report, "port", MsgDoctorPort, DoctorFailed, MsgPortOpenFailed, PortFailureReason(failure));
    return;
  }
  // A port that opened may still tell why its exchanges fail (a server that
  // took no line settings, or answers nothing at all): the operations show
  // that reason, and so does the check.
  const std::string reason = PortFailureReason(failure);
  Add(report, "port", MsgDoctorPort, reason.empty() ? DoctorOk : DoctorWarning, MsgDoctorPortOpened(report.port),
      reason);
  if (result == SettingsOk)
    Add(report, "answer", MsgDoctorAnswer, DoctorOk,
        MsgDoctorSettingsRead(SettingsToView(settings).baudRate, SettingsRawText(settings)));
  else
    Add(report, "answer", MsgDoctorAnswer, DoctorFailed, MsgSettingsReadFailed,
        reason.empty() ? MsgDoctorAnswerAdvice : reason);
}

}  // namespace

DoctorReport DoctorRun(const std::string& portName, const std::string& serial, const std::string& location) {
  DoctorReport report;
  report.port = portName;
  if (portName.empty()) CheckConverter(report, serial, location);

  DiagPortFacts node;
  if (!report.port.empty()) DiagPort(report.port.c_str(), kLinkName, node);
  DiagSystemFacts system;
  DiagSystem(kRuleName, system);
  // The system's checks concern the converter on this computer: the one
  // searched for, or a device named; a TCP port is none of them.
  const bool local = portName.empty() || node.node;
  if (node.node && node.permissionsKnown) report.checks.push_back(DoctorAccessCheck(node));
  const bool mayOpen = !(node.node && node.permissionsKnown) || node.mayOpen;
  if (local && system.udevRules) CheckRule(report, system, node);
  if (local && system.processesKnown) CheckModemManager(report, system, node);
  if (!report.port.empty() && mayOpen) CheckExchange(report, node.node);
  return report;
}

DoctorCheck DoctorAccessCheck(const DiagPortFacts& node) {
  std::string how;
  if (node.mayOpen)
    how = node.privileged     ? MsgDoctorViaRoot
          : node.owns         ? MsgDoctorViaOwner
          : node.seatAccess   ? MsgDoctorViaSeat
          : node.inGroupNow   ? MsgDoctorViaGroup(node.group)
                              : MsgDoctorViaOthers;
  const std::string detail = MsgDoctorNode(node.path, node.owner, node.group, node.mode, node.user, how);
  if (node.mayOpen) return {"access", DoctorOk, MsgDoctorAccess, detail, ""};
  // Joining the node's group helps only when that group may read and write
  // it, and the administrators' group is no group to join.
  constexpr uint32_t kGroupReadWrite = 0060;
  const bool groupHelps = (node.mode & kGroupReadWrite) == kGroupReadWrite && !node.rootGroup && !node.inGroupNow;
  return {"access", DoctorFailed, MsgDoctorAccess, detail,
          groupHelps ? MsgDoctorAccessAdvice(node.group, node.inGroupListed)
                     : MsgDoctorModeAdvice(node.path, node.group, node.mode, node.rootGroup)};
}

DoctorVerdict DoctorOverall(const DoctorReport& report) {
  DoctorVerdict worst = DoctorOk;
  for (const DoctorCheck& check : report.checks) worst = std::max(worst, check.verdict);
  return worst;
}

int DoctorExitCode(const DoctorReport& report) {
  static constexpr int kExitCodes[] = {0, 1, 3};
  return kExitCodes[DoctorOverall(report)];
}

const char* DoctorVerdictName(DoctorVerdict verdict) {
  static constexpr const char* kNames[] = {"ok", "warning", "failed"};
  return kNames[verdict];
}
