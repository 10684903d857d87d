#pragma once
// The audit and write --dry-run: each converter's settings read (with --all
// and audit through the fleet engine, a worker each, in parallel) and
// compared with what its plan row, the profile or the options would write.
// Nothing is written.

#include <memory>
#include <string>
#include <vector>

#include "ctl/arguments.h"
#include "fleet/drift.h"
#include "fleet/plan.h"

// Reads and checks options.plan whole, images included, when one is given,
// into job: each converter its row's part of job.steps. ExitOk, or
// ExitUsage after telling the row and column that are wrong.
int PlanLoad(const Options& options, FleetJob& job, std::shared_ptr<const FleetPlan>* kept = nullptr);

// audit, and write --dry-run --all: a line per converter (text, JSON Lines or
// CSV), then the summary. audit ends with ExitDrift when a converter differs
// and none failed; a failure's code wins.
int CommandAudit(const Options& options);

// write --dry-run on one converter: what a write would change of the record read.
void PrintDryRun(const std::string& port, const std::vector<FleetDrift>& drift, bool json);
