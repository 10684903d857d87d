// A plan as spreadsheets save it: read cell by cell, or refused with the row
// and column of its first problem before any converter is touched.

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "fleet/plan.h"
#include "ops/sha256.h"
#include "support/scratch_dir.h"

namespace {

// A row as the cases write it: "2 A1 @1-1.2 b19200 p1 d-1 s0 e-1 fw.bin".
std::string Said(const FleetPlanRow& r) {
  const std::string image = r.image.empty() ? "-" : r.image.substr(r.image.find_last_of('/') + 1);
  return std::to_string(r.row) + " " + r.serial + " @" + r.location + " b" + r.settings.baud + " p" +
         std::to_string(r.settings.parityRow) + " d" + std::to_string(r.settings.dataBitsRow) + " s" +
         std::to_string(r.settings.stopBits) + " e" + std::to_string(r.settings.echo) + " " + image;
}

class FleetPlanTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::ofstream("fw.bin") << "firmware";
    std::ofstream("empty.bin");
  }
  ScratchDir scratch;
  const std::string hash = Sha256Hex(reinterpret_cast<const uint8_t*>("firmware"), 8);
};

TEST_F(FleetPlanTest, ReadsWhatASpreadsheetSaves) {
  std::string upper = hash;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  const struct {
    const char* name;
    std::string text;
    std::vector<std::string> rows;
  } cases[] = {
      {"a byte-order mark, CRLF, blanks and any case",
       "\xEF\xBB\xBFserial, baud ,parity\r\nA1, 19200 ,EVEN\r\n", {"2 A1 @ b19200 p1 d-1 s0 e-1 -"}},
      {"quotes: a comma, a quote and a line break inside; rows counted as records",
       "serial,location\n\"A,1\",\"1-1.\"\"2\"\"\"\n\"B\n2\",\nC3,1-1.4\n",
       {"2 A,1 @1-1.\"2\" b p-1 d-1 s0 e-1 -", "3 B\n2 @ b p-1 d-1 s0 e-1 -", "4 C3 @1-1.4 b p-1 d-1 s0 e-1 -"}},
      {"semicolons, as a Russian spreadsheet saves it", "serial;bits;stop;echo\nA1;9;2;off\n",
       {"2 A1 @ b p-1 d2 s2 e0 -"}},
      {"empty cells and trailing empty rows", "serial,baud,parity\nA1,,\n\n,,\n", {"2 A1 @ b p-1 d-1 s0 e-1 -"}},
      {"an image beside the plan, its hash in capitals", "image,serial,sha256\nfw.bin,A1," + upper + "\n",
       {"2 A1 @ b p-1 d-1 s0 e-1 fw.bin"}},
      {"a header alone", "serial,image\n", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FleetPlan plan;
    FleetPlanProblem problem;
    ASSERT_TRUE(FleetPlanParse(c.text, scratch.path(), plan, problem)) << FleetPlanProblemText(problem);
    std::vector<std::string> rows;
    for (const FleetPlanRow& row : plan.rows) rows.push_back(Said(row));
    EXPECT_EQ(rows, c.rows);
    for (const FleetPlanRow& row : plan.rows)
      if (!row.image.empty()) {
        EXPECT_EQ(row.image, scratch.path() + "/fw.bin");
        EXPECT_EQ(row.sha256, hash);
      }
  }
}

TEST_F(FleetPlanTest, EachKindOfBadRowIsNamedByRowAndColumn) {
  const std::string other(64, 'a');
  const struct {
    std::string text;
    int32_t row;
    const char* column;  // empty: the row as a whole
  } cases[] = {
      {"serial,speed\nA1,1\n", 1, "speed"},
      {"serial,baud,baud\n", 1, "baud"},
      {"location\n1-1\n", 1, "serial"},
      {"serial,baud\nA1,14450\n", 2, "baud"},  // would be kept as 14400
      {"serial,parity\nA1,sideways\n", 2, "parity"},
      {"serial,bits\nA1,6\n", 2, "bits"},
      {"serial,stop\nA1,1.5\n", 2, "stop"},
      {"serial,echo\nA1,yes\n", 2, "echo"},
      {"serial,baud\n,9600\n", 2, "serial"},
      {"serial\nA1\nB2\nA1\n", 4, "serial"},
      {"serial,image\nA1,missing.bin\n", 2, "image"},
      {"serial,image\nA1,empty.bin\n", 2, "image"},
      {"serial,image,sha256\nA1,fw.bin," + other + "\n", 2, "sha256"},
      {"serial,image,sha256\nA1,fw.bin,abc\n", 2, "sha256"},
      {"serial,sha256\nA1," + hash + "\n", 2, "sha256"},  // a hash without an image
      {"serial,baud\nA1,9600,8\n", 2, ""},
      {"serial,location\n\"A1,1-1\n", 2, ""},
      {"serial,location\nA\"1,1-1\n", 2, ""},
      {"serial,location\n\"A1\"x,1-1\n", 2, ""},
      {"serial,baud\n\"A\n1\",9600\nB2,fast\n", 3, "baud"},  // a record over two lines is one row
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    FleetPlan plan;
    FleetPlanProblem problem;
    EXPECT_FALSE(FleetPlanParse(c.text, scratch.path(), plan, problem));
    EXPECT_EQ(problem.row, c.row) << problem.what;
    EXPECT_EQ(problem.column, c.column) << problem.what;
    EXPECT_FALSE(problem.what.empty());
    EXPECT_TRUE(plan.rows.empty());
  }
}

}  // namespace
