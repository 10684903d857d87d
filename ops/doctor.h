#pragma once
// rs485ctl doctor: what stands between the user and the converter, checked
// step by step, each check ok, a warning or failed, with what to do. The
// system's facts come from platform/diagnostics.h, the search from discovery/,
// the read from SettingsCheck. A check whose facts a system cannot tell (the
// udev rule on Windows, the rights of a TCP port) is left out.

#include <string>
#include <vector>

#include "platform/diagnostics.h"

enum DoctorVerdict { DoctorOk, DoctorWarning, DoctorFailed };

struct DoctorCheck {
  const char* id;  // converter, access, udev_rule, modemmanager, holder, port, answer
  DoctorVerdict verdict;
  const char* title;
  std::string detail;  // what was found
  std::string advice;  // what to do; empty when nothing
};

struct DoctorReport {
  std::string port;  // the port checked; empty when none was found
  std::vector<DoctorCheck> checks;
};

// Checks portName, or, when it is empty, the converter's port found as the
// window finds it: the first converter found with that serial number and at
// that place (an empty one of the two: any). Opens the port for one settings
// read (when nothing has shown it cannot be opened) and closes it again.
DoctorReport DoctorRun(const std::string& portName, const std::string& serial = std::string(),
                       const std::string& location = std::string());

// The access check of a device node from its facts (DiagPort): ok when this
// user may open it for reading and writing, else failed with what to do.
DoctorCheck DoctorAccessCheck(const DiagPortFacts& node);

// The worst verdict of the checks.
DoctorVerdict DoctorOverall(const DoctorReport& report);

// 0 when every check passed, 1 when one warns, 3 when the converter cannot be used.
int DoctorExitCode(const DoctorReport& report);

// "ok", "warning", "failed".
const char* DoctorVerdictName(DoctorVerdict verdict);
