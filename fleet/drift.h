#pragma once
// What a write of some settings would change in a record read from a
// converter: for the audit (a converter that drifted from its plan) and for
// write --dry-run (what would be written).

#include <string>
#include <vector>

#include "fleet/fleet.h"
#include "ops/settings.h"

// The record a write of settings makes of the one read: what is unset, Spare
// and the flag bits nobody names stay as read.
DeviceSettings FleetSettingsApplied(const DeviceSettings& read, const FleetSettings& settings);

// One field that differs, named as rs485ctl's JSON names it, with its value
// as read and as wanted, both as the options take them ("19200", "even", "on").
struct FleetDrift {
  const char* field;
  std::string found;
  std::string wanted;
};

// The fields in which read differs from what a write of settings would make
// of it; empty when the converter already has them.
std::vector<FleetDrift> FleetDriftOf(const DeviceSettings& read, const FleetSettings& settings);

// The record from its bytes in hex as read prints them ("60 00 00 08 4E 80");
// false when the text is not six such bytes.
bool FleetRecordFromRaw(const std::string& raw, DeviceSettings& settings);
