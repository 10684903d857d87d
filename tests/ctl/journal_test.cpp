// The journal of rs485ctl's write and flash against simulated converters on
// pseudo-terminals: a chained line per unit, what breaks the chain, writers
// at once, a journal that cannot be used, the image's hash, the reports.

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "ctl_fixture.h"
#include "ops/messages.h"
#include "ops/sha256.h"
#include "sim/sim_serve.h"
#include "support/scratch_dir.h"

namespace {

using Args = std::vector<std::string>;

std::vector<std::string> LinesOf(const std::string& text) {
  std::vector<std::string> lines;
  for (size_t at = 0, next; (next = text.find('\n', at)) != std::string::npos; at = next + 1)
    lines.push_back(text.substr(at, next - at));
  return lines;
}

std::string HashOf(const std::string& line) {
  return Sha256Hex(reinterpret_cast<const uint8_t*>(line.data()), line.size());
}

class CtlJournal : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(sim.Ok()); }

  CtlRun Ctl(Args args, const std::string& port = std::string()) {
    args.insert(args.begin(), {"--port", port.empty() ? sim.PortName() : port, "--journal", journal});
    return RunCtl(args);
  }
  std::vector<std::string> Journal() { return LinesOf(ReadText(journal)); }
  void Rewrite(const std::vector<std::string>& lines) {
    std::ofstream out(journal, std::ios::binary | std::ios::trunc);
    for (const std::string& line : lines) out << line << '\n';
  }
  size_t Requests() { return sim.Converter().Snapshot().requests.size(); }

  ScratchDir dir;
  SimDevice sim;
  const std::string journal = dir.path() + "/journal.jsonl";
  const Data image = MakeImage(272 * 2 + 100);
};

TEST_F(CtlJournal, EveryUnitGetsOneLineChainedToTheLineBefore) {
  WriteFile("fw.bin", image);
  const std::string sha = Sha256Hex(image.data(), image.size());
  const CtlRun write = Ctl({"write", "--parity", "odd"});
  ASSERT_EQ(write.exitCode, 0) << Describe(write);
  const CtlRun flash = Ctl({"--json", "flash", "fw.bin", "--settle-ms", "100"});
  ASSERT_EQ(flash.exitCode, 0) << Describe(flash);
  Json result;
  ASSERT_TRUE(OneJsonObject(flash.out, result));
  EXPECT_EQ(result["sha256"].text, sha);
  // Refused before the converter is touched: no unit, no line.
  EXPECT_EQ(Ctl({"flash", "missing.bin"}).exitCode, 6);

  const std::vector<std::string> lines = Journal();
  ASSERT_EQ(lines.size(), 2u) << ReadText(journal);
  Json w, f;
  ASSERT_TRUE(JsonParse(lines[0], w));
  ASSERT_TRUE(JsonParse(lines[1], f));
  EXPECT_EQ(w["prev"].text, std::string(64, '0'));
  EXPECT_EQ(f["prev"].text, HashOf(lines[0]));
  EXPECT_EQ(w["operation"].text, "write");
  EXPECT_EQ(w["port"].text, sim.PortName());
  EXPECT_EQ(w["before"]["raw"].text, "60 00 00 08 4E 80");
  EXPECT_EQ(w["after"]["parity"].text, "odd");
  EXPECT_EQ(w["after"]["raw"].text, "60 00 00 08 4F 80");
  EXPECT_TRUE(w["verified"].boolean);
  EXPECT_EQ(w["result"].text, "ok");
  EXPECT_EQ(w["time"].text.size(), 24u) << w["time"].text;  // 2026-12-08T01:23:45.678Z
  EXPECT_FALSE(w["user"].text.empty());
  EXPECT_FALSE(w["computer"].text.empty());
  EXPECT_EQ(f["operation"].text, "flash");
  EXPECT_EQ(f["image"]["file"].text, "fw.bin");
  EXPECT_EQ(f["image"]["size"].number, static_cast<double>(image.size()));
  EXPECT_EQ(f["image"]["sha256"].text, sha);
  EXPECT_EQ(f["steps"].items.at(0)["step"].text, "flash");

  const CtlRun verify = RunCtl({"report", journal, "--verify"});
  EXPECT_EQ(verify.exitCode, 0) << Describe(verify);
  EXPECT_EQ(verify.out, MsgJournalWhole(2) + "\n");
}

TEST_F(CtlJournal, AnEditedRemovedOrMovedLineIsNamedByItsNumber) {
  for (int k = 0; k < 3; ++k) ASSERT_EQ(Ctl({"write", "--baud", std::to_string(9600 * (k + 1))}).exitCode, 0);
  const std::vector<std::string> whole = Journal();
  ASSERT_EQ(whole.size(), 3u);
  std::string edited = whole[1];
  edited.replace(edited.find("\"ok\""), 4, "\"OK\"");
  struct Case {
    const char* name;
    std::vector<std::string> lines;
    int broken;  // the first line whose chain does not hold
  } cases[] = {
      {"a line edited", {whole[0], edited, whole[2]}, 3},
      {"a line removed", {whole[0], whole[2]}, 2},
      {"the first line removed", {whole[1], whole[2]}, 1},
      {"two lines swapped", {whole[0], whole[2], whole[1]}, 2},
      {"a line cut short", {whole[0], whole[1], whole[2].substr(0, 40)}, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Rewrite(c.lines);
    const CtlRun verify = RunCtl({"--json", "report", journal, "--verify"});
    EXPECT_EQ(verify.exitCode, 8) << Describe(verify);
    Json said;
    ASSERT_TRUE(OneJsonObject(verify.out, said));
    EXPECT_FALSE(said["whole"].boolean);
    EXPECT_EQ(said["line"].number, c.broken) << verify.out;
    const CtlRun text = RunCtl({"report", journal, "--verify"});
    EXPECT_NE(text.out.find("Строка " + std::to_string(c.broken) + ":"), std::string::npos) << text.out;
  }
}

// Two programs, each writing to its own converter, append to one journal at
// the same time: every line is there, whole, and the chain holds.
TEST_F(CtlJournal, TwoProgramsWritingAtOnceLoseNoLine) {
  SimDevice other;
  ASSERT_TRUE(other.Ok());
  constexpr int kEach = 8;
  const auto writes = [&](const std::string& port) {
    for (int k = 0; k < kEach; ++k) EXPECT_EQ(Ctl({"write", "--echo", k % 2 ? "on" : "off"}, port).exitCode, 0);
  };
  std::thread first(writes, sim.PortName());
  std::thread second(writes, other.PortName());
  first.join();
  second.join();
  const std::vector<std::string> lines = Journal();
  EXPECT_EQ(lines.size(), 2u * kEach);
  const CtlRun verify = RunCtl({"report", journal, "--verify"});
  EXPECT_EQ(verify.exitCode, 0) << Describe(verify);
  size_t onOther = 0;
  for (const std::string& line : lines) onOther += line.find(JsonString(other.PortName())) != std::string::npos;
  EXPECT_EQ(onOther, static_cast<size_t>(kEach));
}

TEST_F(CtlJournal, AJournalThatCannotBeOpenedTouchesNoConverter) {
  WriteFile("fw.bin", image);
  std::filesystem::create_directory("folder");
  struct Case {
    const char* name;
    std::string journal;
    Args args;
  } cases[] = {
      {"a write, the journal's folder missing", "no/such/folder/j.jsonl", {"write", "--echo", "off"}},
      {"a flash, the journal a folder", "folder", {"flash", "fw.bin"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Args args = {"--port", sim.PortName(), "--journal", c.journal};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const CtlRun run = RunCtl(args);
    EXPECT_EQ(run.exitCode, 2) << Describe(run);
    EXPECT_EQ(run.err.rfind(std::string(MsgJournalOpenFailed) + "\n" + c.journal + ": ", 0), 0u) << run.err;
    EXPECT_EQ(Requests(), 0u);
  }
  // With every converter at once too, before the search.
  const CtlRun all = RunCtl({"--journal", "folder", "write", "--all", "--echo", "off"});
  EXPECT_EQ(all.exitCode, 2) << Describe(all);
}

// A journal that takes no more bytes (a file size limit, as a full disk): the
// write was done and is shown, but the run fails and says why.
TEST_F(CtlJournal, ALineThatCannotBeWrittenFailsTheRun) {
  ASSERT_EQ(Ctl({"write", "--echo", "off"}).exitCode, 0);
  const std::string big(4096, ' ');
  std::ofstream(journal, std::ios::app) << big;
  const CtlRun run = RunProgram({"/bin/sh", "-c", "trap '' XFSZ; ulimit -f 4; exec \"$0\" \"$@\"", CtlPath(), "--port",
                                 sim.PortName(), "--journal", journal, "--json", "write", "--echo", "on"});
  EXPECT_EQ(run.exitCode, 7) << Describe(run);
  EXPECT_NE(run.err.find(MsgJournalWriteFailed), std::string::npos) << run.err;
  Json result;
  EXPECT_TRUE(OneJsonObject(run.out, result)) << run.out;
  EXPECT_EQ(sim.Converter().Settings()[5], 0x80);  // done all the same
}

TEST_F(CtlJournal, AnImageOfAnotherHashIsRefusedBeforeAnythingIsSent) {
  WriteFile("fw.bin", image);
  std::string sha = Sha256Hex(image.data(), image.size());
  std::string other = sha;
  other[0] = other[0] == '0' ? '1' : '0';
  const CtlRun refused = Ctl({"flash", "fw.bin", "--sha256", other});
  EXPECT_EQ(refused.exitCode, 6) << Describe(refused);
  EXPECT_NE(refused.err.find(MsgImageHashMismatch), std::string::npos) << refused.err;
  EXPECT_NE(refused.err.find(sha), std::string::npos) << refused.err;
  EXPECT_EQ(Requests(), 0u);
  EXPECT_TRUE(Journal().empty());
  for (char& c : sha) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  const CtlRun taken = Ctl({"flash", "fw.bin", "--sha256", sha, "--settle-ms", "100"});
  EXPECT_EQ(taken.exitCode, 0) << Describe(taken);
}

// CSV for a spreadsheet (RFC 4180, UTF-8 with its mark, CR LF) and one HTML
// page that fetches nothing.
TEST_F(CtlJournal, ReportsAreForASpreadsheetAndASinglePage) {
  ASSERT_EQ(Ctl({"write", "--echo", "off"}).exitCode, 0);
  SimFaults refuse;
  refuse.refuseWrites = true;
  sim.Converter().SetFaults(refuse);
  ASSERT_EQ(Ctl({"write", "--echo", "on"}).exitCode, 5);  // a failure with a Russian message and reason

  const CtlRun csv = RunCtl({"report", journal, "--csv"});
  ASSERT_EQ(csv.exitCode, 0) << Describe(csv);
  ASSERT_EQ(csv.out.rfind("\xEF\xBB\xBF", 0), 0u);
  ASSERT_EQ(csv.out.substr(csv.out.size() - 2), "\r\n");
  // Taken apart as a spreadsheet does: every row has the header's fields.
  std::vector<std::vector<std::string>> rows(1);
  bool quoted = false;
  std::string field;
  for (size_t i = 3; i < csv.out.size(); ++i) {
    const char c = csv.out[i];
    if (quoted && c == '"' && i + 1 < csv.out.size() && csv.out[i + 1] == '"') field += csv.out[++i];
    else if (c == '"') quoted = !quoted;
    else if (!quoted && c == ',') rows.back().push_back(std::exchange(field, {}));
    else if (!quoted && c == '\r' && csv.out[i + 1] == '\n') {
      rows.back().push_back(std::exchange(field, {}));
      rows.emplace_back();
      ++i;
    } else field += c;
  }
  rows.pop_back();
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0][0], "line");
  for (const auto& row : rows) EXPECT_EQ(row.size(), rows[0].size());
  const size_t error = std::find(rows[0].begin(), rows[0].end(), "error") - rows[0].begin();
  ASSERT_LT(error, rows[0].size());
  EXPECT_EQ(rows[2][error], MsgSettingsWriteFailed);
  // The refused write still tells what the converter held before it.
  const auto column = [&](const char* name) { return std::find(rows[0].begin(), rows[0].end(), name) - rows[0].begin(); };
  EXPECT_EQ(rows[2][column("raw_before")], "60 00 00 08 4E 00");

  const CtlRun html = RunCtl({"report", journal, "--html"});
  ASSERT_EQ(html.exitCode, 0) << Describe(html);
  EXPECT_NE(html.out.find(MsgSettingsWriteFailed), std::string::npos);
  EXPECT_NE(html.out.find("<style>"), std::string::npos);
  for (const char* outside : {"<script", "src=", "href=", "url(", "<link", "@import"})
    EXPECT_EQ(html.out.find(outside), std::string::npos) << outside;
}

TEST_F(CtlJournal, TheDefaultJournalIsInTheUsersStateFolder) {
  struct Case {
    const char* name;
    std::vector<std::string> env;
    std::string expected;
  } cases[] = {
      {"XDG_STATE_HOME", {"XDG_STATE_HOME=" + dir.path() + "/state", "HOME=" + dir.path() + "/home"},
       dir.path() + "/state/rs485setup/journal.jsonl"},
      {"no XDG_STATE_HOME", {"XDG_STATE_HOME=", "HOME=" + dir.path() + "/home"},
       dir.path() + "/home/.local/state/rs485setup/journal.jsonl"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ProgramRun run =
        RunToEnd({CtlPath(), "--port", sim.PortName(), "write", "--echo", "off"}, 30000, {.env = c.env});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(LinesOf(ReadText(c.expected)).size(), 1u);
  }
}

TEST_F(CtlJournal, JournalListsTheUnitsAskedFor) {
  ASSERT_EQ(Ctl({"write", "--echo", "off"}).exitCode, 0);
  ASSERT_EQ(Ctl({"write", "--echo", "on"}).exitCode, 0);
  struct Case {
    Args filter;
    size_t lines;
  } cases[] = {
      {{}, 2}, {{"--since", "2000-01-01"}, 2}, {{"--since", "2999-01-01T00:00Z"}, 0}, {{"--serial", "A1"}, 0},
  };
  for (const Case& c : cases) {
    Args args = {"--json", "journal", "--journal", journal};
    args.insert(args.end(), c.filter.begin(), c.filter.end());
    const CtlRun run = RunCtl(args);
    EXPECT_EQ(run.exitCode, 0) << Describe(run);
    EXPECT_EQ(LinesOf(run.out).size(), c.lines) << CtlCommandLine(args);
  }
}

}  // namespace
