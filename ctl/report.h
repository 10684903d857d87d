#pragma once
// rs485ctl's reading of the journal: `journal` lists its units, `report`
// makes a CSV table or an HTML page of them, or checks its chain.

#include "ctl/arguments.h"

// Exit code of a journal whose chain is broken (report, and report --csv or
// --html, which still make their report).
constexpr int ExitJournalBroken = 8;

// journal [--since TIME] [--serial S] [--location P]: a line per unit (with
// --json the journal's own lines), oldest first.
int CommandJournal(const Options& options);

// report [JOURNAL] --csv | --html | --verify.
int CommandReport(const Options& options);
