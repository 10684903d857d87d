#pragma once
// A plan: each converter's own settings and image, by serial number (and
// place), from a CSV file as a spreadsheet saves it. It is checked whole,
// images included, before any converter is touched; the fleet engine then
// gives each converter its row, and leaves alone one the plan does not name.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "discovery/device_locator.h"
#include "fleet/fleet.h"

// The columns a plan's header may name, as rs485ctl's options are named.
inline constexpr const char* FleetPlanColumns[] = {"serial", "location", "baud", "parity", "bits",
                                                   "stop",   "echo",     "image", "sha256"};

struct FleetPlanRow {
  int32_t row = 0;       // in the file, the header being row 1
  std::string serial;
  std::string location;  // empty: any place
  FleetSettings settings;
  std::string image;     // the image's path (relative ones taken from the plan's folder); empty: no update
  std::string sha256;    // the image's, as read when the plan was checked
  uint64_t imageSize = 0;
};

struct FleetPlan {
  std::string path;
  std::vector<FleetPlanRow> rows;
};

// What is wrong with a plan: where (row as above, 0 for the file as a whole;
// the column's name, empty when the row as a whole) and what.
struct FleetPlanProblem {
  int32_t row = 0;
  std::string column;
  std::string what;
};

// The problem in the user's words: "строка 3, столбец baud: …".
std::string FleetPlanProblemText(const FleetPlanProblem& problem);

// Takes a plan's text (CSV: quotes, commas and line breaks inside quotes,
// CRLF or LF, a byte-order mark or none; a header naming a semicolon first is
// read with semicolons, as a spreadsheet in a Russian locale saves it); images
// are looked for from folder and read whole. false with the first problem: an
// unknown or repeated column, no serial column, a row with more cells than
// the header, a bad value, a serial number named twice, an image missing,
// unreadable, empty or with another SHA-256 than its row gives.
bool FleetPlanParse(const std::string& text, const std::string& folder, FleetPlan& plan, FleetPlanProblem& problem);

// Reads and checks the plan at path, as FleetPlanParse.
bool FleetPlanRead(const std::string& path, FleetPlan& plan, FleetPlanProblem& problem);

// The row that serves converter: its serial number matched, and its place
// where the row gives one; nullptr when the plan does not name it.
const FleetPlanRow* FleetPlanFind(const FleetPlan& plan, const ConverterPort& converter);

// A unit's own job under a plan: of the job's steps, the update only with an
// image and the write only with settings in the row; a read when neither is left.
FleetUnitJob FleetPlanUnitJob(const FleetPlanRow& row, const std::vector<FleetStep>& steps, bool verify);

// The plan as a FleetJob takes it: each converter the plan names gets its
// row's unit job of steps (writes read back unless verify is false).
std::function<bool(const ConverterPort&, FleetUnitJob&)> FleetPlanLookup(std::shared_ptr<const FleetPlan> plan,
                                                                         std::vector<FleetStep> steps, bool verify);
