#include "ctl/profile.h"

#include "fleet/fleet.h"

bool ProfileApply(const std::string& path, Options& options, std::string& problem) {
  FleetSettings settings{options.baud, options.parityRow, options.dataBitsRow, options.stopBits, options.echo,
                         options.verify};
  if (!FleetProfileRead(path, settings, problem)) return false;
  options.baud = settings.baud;
  options.parityRow = settings.parityRow;
  options.dataBitsRow = settings.dataBitsRow;
  options.stopBits = settings.stopBits;
  options.echo = settings.echo;
  return true;
}
