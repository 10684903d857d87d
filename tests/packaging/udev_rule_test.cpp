// The converter's udev rule, read the way udev reads a rules file. systemd 252
// has no `udevadm verify`, so a mistyped key, operator or quote would only show
// as a converter without its link or access after installing. The README, the
// install guide and the manual pages must advise what the rule really does.

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <cctype>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Token {
  std::string key, attr, op, value;
  bool operator==(const Token&) const = default;
};
using Rule = std::vector<Token>;

std::string ReadFile(const std::string& path) {
  std::stringstream text;
  text << std::ifstream(path).rdbuf();
  return text.str();
}

bool IsMatch(const std::string& op) { return op == "==" || op == "!="; }
bool Listed(const char* keys, const std::string& key) { return std::string(keys).find(" " + key + " ") != std::string::npos; }
// Which keys udev takes with a match (==, !=), with an assignment, and with {attribute}.
const char* kMatchKeys = " ACTION DEVPATH KERNEL SUBSYSTEM DRIVER KERNELS SUBSYSTEMS DRIVERS ATTRS TAGS RESULT PROGRAM"
                         " CONST TEST ATTR SYSCTL ENV TAG NAME SYMLINK ";
const char* kAssignKeys = " ATTR SYSCTL ENV TAG NAME SYMLINK OWNER GROUP MODE OPTIONS RUN IMPORT LABEL GOTO ";
const char* kAttrKeys = " ATTRS CONST ATTR SYSCTL ENV IMPORT ";

// One rule line: KEY[{attr}] OP "value", separated by commas. Returns an
// empty string, or what udev would refuse.
std::string ParseRule(const std::string& line, Rule& rule) {
  size_t i = 0;
  auto skipSpace = [&] { while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i; };
  for (skipSpace(); i < line.size(); skipSpace()) {
    Token t;
    while (i < line.size() && (std::isupper(static_cast<unsigned char>(line[i])) || line[i] == '_')) t.key += line[i++];
    if (i < line.size() && line[i] == '{') {
      size_t close = line.find('}', i);
      if (close == std::string::npos) return "unclosed { after " + t.key;
      t.attr = line.substr(i + 1, close - i - 1);
      i = close + 1;
    }
    size_t quote = line.find('"', i);
    if (quote == std::string::npos) return "value of " + t.key + " not quoted";
    t.op = line.substr(i, quote - i);
    if (!Listed(" == != += -= := = ", t.op)) return "no operator but '" + t.op + "' after " + t.key;
    for (i = quote + 1; i < line.size() && line[i] != '"'; ++i) {
      if (line[i] == '\\' && i + 1 < line.size()) ++i;
      t.value += line[i];
    }
    if (i++ >= line.size()) return "unterminated value of " + t.key;
    if (!Listed(IsMatch(t.op) ? kMatchKeys : kAssignKeys, t.key)) return t.key + " does not take " + t.op;
    if (Listed(kAttrKeys, t.key) ? t.attr.empty() : !t.attr.empty() && !Listed(" RUN TEST ", t.key))
      return t.key + ": {attribute} wrong";
    rule.push_back(t);
    skipSpace();
    if (i < line.size() && line[i++] != ',') return "missing comma after " + t.key;
  }
  return "";
}

const std::string kSource = RS485_SOURCE_DIR;
const std::string kRuleName = "70-rs485setup.rules";

class UdevRule : public ::testing::Test {
 protected:
  void SetUp() override {
    std::istringstream lines(ReadFile(kSource + "/packaging/" + kRuleName));
    for (std::string line; std::getline(lines, line);) {
      if (line.empty() || line[0] == '#') continue;
      rules.emplace_back();
      ASSERT_EQ(ParseRule(line, rules.back()), "") << line;
    }
    ASSERT_FALSE(rules.empty());
  }
  static bool Has(const Rule& rule, const Token& token) {
    return std::find(rule.begin(), rule.end(), token) != rule.end();
  }
  std::vector<Rule> rules;
};

TEST_F(UdevRule, EveryLineMatchesOnlyTheConvertersTty) {
  for (const Rule& rule : rules) {
    // sysfs spells the ids in lower case; "16C0" would never match.
    EXPECT_TRUE(Has(rule, {"SUBSYSTEM", "", "==", "tty"}));
    EXPECT_TRUE(Has(rule, {"ATTRS", "idVendor", "==", "16c0"}));
    EXPECT_TRUE(Has(rule, {"ATTRS", "idProduct", "==", "4e04"}));
  }
}

TEST_F(UdevRule, GivesAccessKeepsModemManagerAwayAndAddsLinks) {
  bool access = false, ignored = false, link = false, serialLink = false;
  for (const Rule& rule : rules) {
    access |= Has(rule, {"TAG", "", "+=", "uaccess"});
    ignored |= Has(rule, {"ENV", "ID_MM_DEVICE_IGNORE", "=", "1"});
    link |= Has(rule, {"SYMLINK", "", "+=", "rs485-converter"});
    serialLink |= Has(rule, {"SYMLINK", "", "+=", "rs485-converter-$env{ID_SERIAL_SHORT}"}) &&
                  Has(rule, {"ENV", "ID_SERIAL_SHORT", "==", "?*"});
    for (const Token& t : rule) {
      // "=" on these would drop the links and tags of other rules (/dev/serial/by-id).
      EXPECT_FALSE((t.key == "SYMLINK" || t.key == "TAG") && t.op == "=") << t.key;
      // The node keeps its group dialout and mode 0660, as the docs say.
      EXPECT_TRUE(t.key != "GROUP" && t.key != "MODE" && t.key != "OWNER") << t.key;
    }
  }
  EXPECT_TRUE(access && ignored && link && serialLink);
  // uaccess becomes an ACL in 73-seat-late.rules; only tags set before it count.
  EXPECT_LT(std::stoi(kRuleName), 73);
}

TEST_F(UdevRule, DocsAdviseWhatTheRuleDoes) {
  const std::string rulePath = "/usr/" RS485_UDEV_RULES_DIR "/" + kRuleName;
  for (std::string doc : {"README.md", "docs/install.md", "packaging/man/rs485setup.1", "packaging/man/rs485ctl.1"}) {
    std::string text = ReadFile(kSource + "/" + doc);
    // Manual pages write a hyphen as \-.
    for (size_t at; (at = text.find("\\-")) != std::string::npos;) text.erase(at, 1);
    for (const char* word : {"uaccess", "dialout", "rs485-converter", kRuleName.c_str()}) {
      EXPECT_NE(text.find(word), std::string::npos) << doc << " does not mention " << word;
    }
    // The guide and the manual pages name the rule where the package puts it.
    EXPECT_TRUE(doc == "README.md" || text.find(rulePath) != std::string::npos) << doc;
  }
  // The guide's ModemManager line for systems without the package is a part of the rule.
  std::string readme = ReadFile(kSource + "/docs/behaviour.md");
  size_t at = readme.find("ENV{ID_MM_DEVICE_IGNORE}");
  ASSERT_NE(at, std::string::npos);
  size_t begin = readme.rfind('`', at) + 1;
  Rule quoted;
  ASSERT_EQ(ParseRule(readme.substr(begin, readme.find('`', at) - begin), quoted), "");
  for (const Token& token : quoted) {
    EXPECT_TRUE(Has(rules.at(0), token)) << token.key << token.op << token.value;
  }
}

}  // namespace
