// The converter's udev rule, read the way udev reads a rules file. systemd 252
// has no `udevadm verify`, so a mistyped key, operator or quote would only show
// as a converter without its link or access after installing. The README, the
// install guide and the manual pages must advise what the rule really does.

#include <gtest/gtest.h>

#include <cctype>
#include <fstream>
#include <map>
#include <set>
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
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

bool IsMatch(const std::string& op) { return op == "==" || op == "!="; }

// Which operators udev takes for each key, and whether it needs {attribute}.
struct KeyRule {
  bool match, assign, attr;
};
const std::map<std::string, KeyRule> kKeys = {
    {"ACTION", {true, false, false}},    {"DEVPATH", {true, false, false}},
    {"KERNEL", {true, false, false}},    {"SUBSYSTEM", {true, false, false}},
    {"DRIVER", {true, false, false}},    {"KERNELS", {true, false, false}},
    {"SUBSYSTEMS", {true, false, false}}, {"DRIVERS", {true, false, false}},
    {"ATTRS", {true, false, true}},      {"TAGS", {true, false, false}},
    {"RESULT", {true, false, false}},    {"PROGRAM", {true, false, false}},
    {"CONST", {true, false, true}},      {"ATTR", {true, true, true}},
    {"SYSCTL", {true, true, true}},      {"ENV", {true, true, true}},
    {"TAG", {true, true, false}},        {"NAME", {true, true, false}},
    {"SYMLINK", {true, true, false}},    {"OWNER", {false, true, false}},
    {"GROUP", {false, true, false}},     {"MODE", {false, true, false}},
    {"OPTIONS", {false, true, false}},   {"RUN", {false, true, false}},
    {"IMPORT", {false, true, true}},     {"LABEL", {false, true, false}},
    {"GOTO", {false, true, false}},
};

// One rule line: KEY[{attr}] OP "value", separated by commas. Returns an
// empty string or what udev would refuse.
std::string ParseRule(const std::string& line, Rule& rule) {
  size_t i = 0;
  auto skipSpace = [&] { while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i; };
  while (true) {
    skipSpace();
    Token token;
    while (i < line.size() && (std::isalnum(static_cast<unsigned char>(line[i])) || line[i] == '_')) token.key += line[i++];
    auto known = kKeys.find(token.key);
    if (known == kKeys.end()) return "unknown key '" + token.key + "' at column " + std::to_string(i);
    if (i < line.size() && line[i] == '{') {
      size_t close = line.find('}', i);
      if (close == std::string::npos) return "unclosed { after " + token.key;
      token.attr = line.substr(i + 1, close - i - 1);
      i = close + 1;
    }
    if (known->second.attr && token.attr.empty()) return token.key + " needs {attribute}";
    for (const char* op : {"==", "!=", "+=", "-=", ":=", "="}) {
      if (line.compare(i, std::string(op).size(), op) == 0) { token.op = op; break; }
    }
    if (token.op.empty()) return "no operator after " + token.key;
    i += token.op.size();
    if (IsMatch(token.op) ? !known->second.match : !known->second.assign)
      return token.key + " does not take " + token.op;
    if (i >= line.size() || line[i] != '"') return "value of " + token.key + " not quoted";
    for (++i; i < line.size() && line[i] != '"'; ++i) {
      if (line[i] == '\\' && i + 1 < line.size()) ++i;
      token.value += line[i];
    }
    if (i >= line.size()) return "unterminated value of " + token.key;
    ++i;
    rule.push_back(token);
    skipSpace();
    if (i == line.size()) return "";
    if (line[i] != ',') return "missing comma after " + token.key;
    ++i;
  }
}

std::vector<Rule> ParseRulesFile(const std::string& text) {
  std::vector<Rule> rules;
  std::istringstream lines(text);
  std::string line, joined;
  int number = 0;
  while (std::getline(lines, line)) {
    ++number;
    if (!line.empty() && line.back() == '\\') {
      joined += line.substr(0, line.size() - 1);
      continue;
    }
    joined += line;
    size_t start = joined.find_first_not_of(" \t");
    if (start != std::string::npos && joined[start] != '#') {
      Rule rule;
      std::string error = ParseRule(joined.substr(start), rule);
      EXPECT_EQ(error, "") << "line " << number << ": " << joined;
      rules.push_back(rule);
    }
    joined.clear();
  }
  return rules;
}

bool Has(const Rule& rule, const Token& token) {
  for (const Token& t : rule)
    if (t == token) return true;
  return false;
}

const std::string kSource = RS485_SOURCE_DIR;
const std::string kRuleName = "70-rs485setup.rules";

class UdevRule : public ::testing::Test {
 protected:
  std::vector<Rule> rules = ParseRulesFile(ReadFile(kSource + "/packaging/" + kRuleName));
};

TEST_F(UdevRule, ParserRefusesWhatUdevRefuses) {
  for (const char* bad : {R"(SUBSYSTEM="tty")", R"(ATTRS=="16c0")", R"(SUBSYSTEMS=="tty" TAG+="uaccess")",
                          R"(Tag+="uaccess")", R"(SYMLINK+=rs485)", R"(ENV{X}="1)", R"(GROUP=="dialout")"}) {
    Rule rule;
    EXPECT_NE(ParseRule(bad, rule), "") << bad;
  }
}

TEST_F(UdevRule, EveryLineMatchesOnlyTheConvertersTty) {
  ASSERT_FALSE(rules.empty());
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
      if (t.key == "SYMLINK" || t.key == "TAG") {
        EXPECT_TRUE(IsMatch(t.op) || t.op == "+=") << t.key << t.op;
      }
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
  for (const char* doc : {"README.md", "docs/install.md", "packaging/man/rs485setup.1", "packaging/man/rs485ctl.1"}) {
    std::string text = ReadFile(kSource + "/" + doc);
    // Manual pages write a hyphen as \-.
    for (size_t at; (at = text.find("\\-")) != std::string::npos;) text.erase(at, 1);
    for (const char* word : {"uaccess", "dialout", "rs485-converter", "70-rs485setup.rules"}) {
      EXPECT_NE(text.find(word), std::string::npos) << doc << " does not mention " << word;
    }
    // The manual pages and the guide name the rule where the package puts it.
    if (std::string(doc) != "README.md") {
      EXPECT_NE(text.find(rulePath), std::string::npos) << doc;
    }
  }
  // The README's ModemManager line must be a part of the rule.
  std::string readme = ReadFile(kSource + "/README.md");
  size_t at = readme.find("ENV{ID_MM_DEVICE_IGNORE}");
  ASSERT_NE(at, std::string::npos);
  size_t begin = readme.rfind('`', at) + 1, end = readme.find('`', at);
  Rule quoted;
  ASSERT_EQ(ParseRule(readme.substr(begin, end - begin), quoted), "");
  for (const Token& token : quoted) {
    EXPECT_TRUE(Has(rules.at(0), token)) << token.key << token.op << token.value;
  }
}

}  // namespace
