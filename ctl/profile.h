#pragma once
// Profiles: the settings as `rs485ctl read --json` prints them, applied by
// `write --from FILE` and `watch --from FILE`. A profile is checked whole
// before any port is touched.

#include <string>

#include "ctl/arguments.h"

// Reads the profile at path into the settings of options that the command
// line left unnamed. false, with the problem in the user's words, when the
// file cannot be read, is not one JSON object, or holds a key or value that
// is not a setting the converter takes (nothing is changed then).
bool ProfileApply(const std::string& path, Options& options, std::string& problem);
